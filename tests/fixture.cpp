#include "fixture.h"

#include <stdio.h>

// A crash must end the test program at once with a message: the system's crash
// dialog would wait for a person that a test run does not have.
std::string g_crashNote;

static LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    const char* test = "(outside a test)";
    if (const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info()) test = t->name();
    fprintf(stderr, "\nCRASH: exception 0x%08lX at %p in test %s\n", info->ExceptionRecord->ExceptionCode,
            info->ExceptionRecord->ExceptionAddress, test);
    if (!g_crashNote.empty()) fprintf(stderr, "while: %s\n", g_crashNote.c_str());
    // The return addresses of the frame chain, with the module each lies in.
    auto frame = reinterpret_cast<DWORD*>(info->ContextRecord->Ebp);
    DWORD eip = info->ContextRecord->Eip;
    for (int depth = 0; depth < 16 && eip; ++depth) {
        HMODULE module = nullptr;
        char name[MAX_PATH] = "?";
        if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCSTR>(eip), &module))
            GetModuleFileNameA(module, name, MAX_PATH);
        fprintf(stderr, "  %08lX %s+%lX\n", eip, name, eip - reinterpret_cast<DWORD>(module));
        MEMORY_BASIC_INFORMATION mbi;
        if (!frame || !VirtualQuery(frame, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT) break;
        eip = frame[1];
        frame = reinterpret_cast<DWORD*>(frame[0]);
    }
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

static const bool g_crashReporting = [] {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
    return true;
}();

std::vector<std::string> TrakxTest::events;
std::vector<RecordedBox> TrakxTest::boxes;

static void __cdecl RecordEvent(const char* name) { TrakxTest::events.push_back(name ? name : "(null)"); }

static int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    TrakxTest::boxes.push_back({owner, text ? text : "", caption ? caption : "", style});
    return IDOK;
}

void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto base = reinterpret_cast<BYTE*>(module);
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return nullptr;
    for (auto desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name; ++desc) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + desc->Name), dll) != 0) continue;
        auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<char*>(byName->Name), function) != 0) continue;
            DWORD oldProtect;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &oldProtect);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<DWORD_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void*), oldProtect, &oldProtect);
            return previous;
        }
    }
    return nullptr;
}

std::string BinaryDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of("\\/"));
}

void PutClipboardText(const std::string& text) {
    for (int attempt = 0; attempt < 50 && !OpenClipboard(nullptr); ++attempt) Sleep(10);
    EmptyClipboard();
    HGLOBAL data = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    memcpy(GlobalLock(data), text.c_str(), text.size() + 1);
    GlobalUnlock(data);
    SetClipboardData(CF_TEXT, data);
    CloseClipboard();
}

void EmptyTheClipboard() {
    for (int attempt = 0; attempt < 50 && !OpenClipboard(nullptr); ++attempt) Sleep(10);
    EmptyClipboard();
    CloseClipboard();
}

void PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

static const char kWindowClass[] = "TrakxTestWindow";

static LRESULT CALLBACK TestWindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    return DefWindowProcA(w, m, wp, lp);
}

void TrakxTest::SetUp() {
    events.clear();
    boxes.clear();
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = TestWindowProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kWindowClass;
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        RegisterClassA(&wc);
        registered = true;
    }
    window = CreateWindowA(kWindowClass, "TRAKX test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 420, 320,
                           nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    PumpMessages();
    Load();
    ASSERT_EQ(CallInit(WindowInitText().c_str()), "KX");
}

void TrakxTest::TearDown() {
    Unload();
    if (window && IsWindow(window)) DestroyWindow(window);
    PumpMessages();
    window = nullptr;
}

void TrakxTest::Load() {
    library = LoadLibraryA((BinaryDir() + "\\TRAKX.dll").c_str());
    ASSERT_NE(library, nullptr) << "TRAKX.dll not found beside the test program";
    PatchImport(library, "user32.dll", "MessageBoxA", reinterpret_cast<void*>(RecordMessageBox));
    TrakxExports exports;
    ASSERT_TRUE(LoadTrakxExports(library, &exports));
    init = exports.init;
    commandProc = exports.commandProc;
    funcProc = exports.funcProc;
    statProc = exports.statProc;
}

void TrakxTest::Unload() {
    if (library) FreeLibrary(library);
    library = nullptr;
}

std::string TrakxTest::CallInit(const char* initText, int* maxArgs, int* maxString) {
    int args = -1, size = -1;
    const char* answer = init(0, RecordEvent, initText, maxArgs ? maxArgs : &args, maxString ? maxString : &size);
    return answer ? answer : "(null)";
}

void TrakxTest::Reload(const char* initText) {
    Unload();
    Load();
    CallInit(initText);
}

std::string TrakxTest::WindowInitText() const {
    return std::to_string(reinterpret_cast<UINT_PTR>(window));
}

int TrakxTest::Command(const std::vector<std::string>& words) {
    std::string block = MakeBlock(words);
    return commandProc(block.data());
}

const char* TrakxTest::FunctionRaw(const std::vector<std::string>& words) {
    std::string block = MakeBlock(words);
    return funcProc(block.data());
}

std::string TrakxTest::Function(const std::vector<std::string>& words) {
    const char* answer = FunctionRaw(words);
    return answer ? answer : "(null)";
}

int TrakxTest::Status() { return statProc(); }

std::string TrakxTest::Scratch() {
    if (scratch.empty()) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string base = BinaryDir() + "\\scratch";
        CreateDirectoryA(base.c_str(), nullptr);
        scratch = base + "\\" + info->test_suite_name() + "." + info->name();
        for (char& c : scratch)
            if (c == '/') c = '_';
        CreateDirectoryA(scratch.c_str(), nullptr);
    }
    return scratch;
}
