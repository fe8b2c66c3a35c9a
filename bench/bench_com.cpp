// Automation: a property read through COMPROP beside the same read through
// IDispatch::Invoke from C++ (the name looked up once, as the library caches it), on
// the test library's object and on the scripting runtime's dictionary, both
// in-process.
#include <oaidl.h>

#include "bench.h"

typedef HRESULT(__stdcall* RegisterFn)();

// Seconds per IDispatch::Invoke of the property, its result cleared each time.
static double DirectRead(IDispatch* object, const wchar_t* name, int calls, int runs) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return 0;
    volatile LONG sink = 0;
    return MedianSeconds(runs, [&] {
        for (int i = 0; i < calls; ++i) {
            VARIANT result;
            VariantInit(&result);
            DISPPARAMS none = {nullptr, nullptr, 0, 0};
            object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
            sink = sink + V_I4(&result);
            VariantClear(&result);
        }
    }) / calls;
}

void BenchCom(BenchLibrary& lib) {
    const int calls = 100000;
    const int runs = 7;
    HMODULE testlib = LoadLibraryA((BenchDir() + "\\trakx-testlib.dll").c_str());
    auto registerClass = reinterpret_cast<RegisterFn>(GetProcAddress(testlib, "AutomationRegister"));
    if (!registerClass || FAILED(registerClass())) {
        printf("(the test library's automation object could not be registered: skipped)\n");
        return;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    struct Object {
        const char* progid;
        const wchar_t* wideProgid;
    } objects[] = {{"Trakx.Automation", L"Trakx.Automation"}, {"Scripting.Dictionary", L"Scripting.Dictionary"}};
    for (const Object& object : objects) {
        CLSID clsid;
        IDispatch* dispatch = nullptr;
        if (FAILED(CLSIDFromProgID(object.wideProgid, &clsid)) ||
            FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                    reinterpret_cast<void**>(&dispatch))) ||
            lib.Command({"COMCREATE", "1", object.progid}) != 0) {
            printf("(%s is not available: skipped)\n", object.progid);
            continue;
        }
        double direct = DirectRead(dispatch, L"Count", calls, runs);
        std::string block = MakeBlock({"COMPROP", "1", "Count"});
        double keyword = MedianSeconds(runs, [&] {
            for (int i = 0; i < calls; ++i) lib.funcProc(block.data());
        }) / calls;
        dispatch->Release();
        lib.Command({"COMRELEASE", "1"});
        Report(std::string("IDispatch::Invoke ") + object.progid + " Count from C++", direct * 1e9, "ns/call");
        Report(std::string("COMPROP 1 Count on ") + object.progid, keyword * 1e9, "ns/call");
        Report(std::string("  ratio COMPROP / Invoke (") + object.progid + ")", keyword / direct, "x");
    }
    CoUninitialize();
}
