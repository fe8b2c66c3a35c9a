// The foreign call: DLLFUNC of a 20-parameter function beside a direct call of it,
// with typed, unprefixed and no arguments, so that the cost of preparing the words
// can be seen to follow the arguments given; a typed call beside GETINT; and a call
// that faults.
#include "bench.h"

typedef DWORD(__stdcall* Words20Fn)(DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                    DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                    DWORD, DWORD);

void BenchVars(BenchLibrary& lib) {
    const int calls = 100000;
    const int runs = 7;
    std::string path = BenchDir() + "\\trakx-testlib.dll";
    HMODULE testlib = LoadLibraryA(path.c_str());
    auto words20 = reinterpret_cast<Words20Fn>(GetProcAddress(testlib, "Words20"));
    lib.Command({"DLLLOAD", "1", path});
    lib.Command({"DLLINITFUNC", "1", "1", "Words20"});

    volatile DWORD sink = 0;
    double direct = MedianSeconds(runs, [&] {
        for (int i = 0; i < calls; ++i)
            sink = sink + words20(i, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19);
    }) / calls;

    auto timeBlock = [&](const std::string& block) {
        return MedianSeconds(runs, [&] {
            for (int i = 0; i < calls; ++i) lib.funcProc(block.data());
        }) / calls;
    };
    std::vector<std::string> typed = {"DLLFUNC", "Words20", "INT"};
    std::vector<std::string> plain = {"DLLFUNC", "Words20", "INT"};
    for (int i = 0; i < 20; ++i) {
        typed.push_back("INT:" + std::to_string(i * 1000));
        plain.push_back(std::to_string(i * 1000));
    }
    double withTyped = timeBlock(MakeBlock(typed));
    double withPlain = timeBlock(MakeBlock(plain));
    double withNone = timeBlock(MakeBlock({"DLLFUNC", "Words20", "INT"}));
    double getint = timeBlock(MakeBlock({"GETINT", "3"}));
    // The typed call of a declared int f(int, int, int): parsed once, converted per call.
    lib.Command({"DLLDECLARE", "1", "1", "int Sum3(int a, int b, int c)"});
    double typedCall = timeBlock(MakeBlock({"DLLCALL", "1", "1000", "-2000", "0x7FFF"}));
    double typedByName = timeBlock(MakeBlock({"DLLCALL", "Sum3", "1000", "-2000", "0x7FFF"}));

    // A callee that faults: the system's exception dispatch and the unwind back to
    // the call thunk, far slower than a call, so timed over fewer calls.
    lib.Command({"DLLINITFUNC", "1", "2", "StoreInt"});
    const int faultingCalls = 2000;
    std::string faulting = MakeBlock({"DLLFUNC", "StoreInt", "INT", "INT:0", "INT:1"});
    double fault = MedianSeconds(3, [&] {
        for (int i = 0; i < faultingCalls; ++i) lib.funcProc(faulting.data());
    }) / faultingCalls;

    Report("direct call of Words20", direct * 1e9, "ns/call");
    Report("DLLFUNC Words20, 20 INT: arguments", withTyped * 1e9, "ns/call");
    Report("DLLFUNC Words20, 20 unprefixed arguments", withPlain * 1e9, "ns/call");
    Report("DLLFUNC Words20, no arguments", withNone * 1e9, "ns/call");
    Report("FuncProc GETINT (frame and call-data reset)", getint * 1e9, "ns/call");
    Report("DLLCALL 1: int Sum3(int, int, int)", typedCall * 1e9, "ns/call");
    Report("DLLCALL Sum3 (by name)", typedByName * 1e9, "ns/call");
    Report("DLLCALL int Sum3(int, int, int) / GETINT", typedCall / getint, "x");
    Report("DLLFUNC StoreInt through a null pointer (faults)", fault * 1e9, "ns/call");
    Report("DLLFUNC 20 INT: / direct call", withTyped / direct, "x");
    Report("DLLFUNC 20 unprefixed / direct call", withPlain / direct, "x");
    Report("DLLFUNC no arguments / direct call", withNone / direct, "x");
    lib.Command({"DLLUNLOAD", "1"});
    FreeLibrary(testlib);
}
