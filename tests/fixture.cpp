#include "fixture.h"

#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
void (*TrakxTest::eventHook)(const char* name);
std::vector<RecordedBox> TrakxTest::boxes;

static void __cdecl RecordEvent(const char* name) {
    TrakxTest::events.push_back(name ? name : "(null)");
    if (TrakxTest::eventHook) TrakxTest::eventHook(name);
}

static int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    TrakxTest::boxes.push_back({owner, text ? text : "", caption ? caption : "", style});
    return IDOK;
}

HeapControl g_heap;

static bool TakeAllocation() {
    if (g_heap.allocationsLeft == 0) return false;
    if (g_heap.allocationsLeft > 0) --g_heap.allocationsLeft;
    return true;
}

static void* __cdecl ControlledMalloc(size_t n) { return TakeAllocation() ? malloc(n) : nullptr; }

static void* __cdecl ControlledRealloc(void* p, size_t n) {
    if (!TakeAllocation()) return nullptr;
    if (!g_heap.moveOnRealloc || !p || !n) return realloc(p, n);
    // A fresh block every time. The old one is never freed (a test makes few) but
    // filled with a text of its own, so that a pointer still aimed at it reads
    // "stale" every time instead of failing only now and then.
    size_t old = _msize(p);
    void* moved = malloc(n);
    if (!moved) return nullptr;
    memcpy(moved, p, old < n ? old : n);
    static const char kStale[] = "stale";
    for (size_t i = 0; i + 1 < old; ++i) static_cast<char*>(p)[i] = kStale[i % 5];
    static_cast<char*>(p)[old - 1] = '\0';
    return moved;
}

// A message box that slips past the patched import (another import, another entry
// point) would wait for a click no test run makes: it fails the test at once and is
// answered.
static LRESULT CALLBACK CatchStrayBoxes(int code, WPARAM wParam, LPARAM lParam) {
    HWND box = reinterpret_cast<HWND>(wParam);
    std::string caption, text;
    if (code == HCBT_ACTIVATE && ReadMessageBox(box, &caption, &text)) {
        ADD_FAILURE() << "a message box was shown past the recorder: [" << caption << "] " << text;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
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

std::string TestLibraryPath() { return BinaryDir() + "\\trakx-testlib.dll"; }


std::string ReadAll(const std::string& path) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return "(missing)";
    std::string data;
    char buffer[65536];
    DWORD n;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n) data.append(buffer, n);
    CloseHandle(f);
    return data;
}

void WriteAll(const std::string& path, const std::string& data) {
    HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    if (!data.empty()) WriteFile(f, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(f);
    ASSERT_EQ(written, data.size()) << path;
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
    eventHook = nullptr;
    boxes.clear();
    g_heap = HeapControl();
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
    boxHook = SetWindowsHookExA(WH_CBT, CatchStrayBoxes, nullptr, GetCurrentThreadId());
    ASSERT_NE(boxHook, nullptr);
    window = CreateWindowA(kWindowClass, "TRAKX test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 420, 320,
                           nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    PumpMessages();
    Load();
    ASSERT_EQ(CallInit(WindowInitText().c_str()), "KX");
}

void TrakxTest::TearDown() {
    Unpatch();
    g_heap = HeapControl();
    Unload();
    if (window && IsWindow(window)) DestroyWindow(window);
    PumpMessages();
    window = nullptr;
    if (boxHook) UnhookWindowsHookEx(boxHook);
    boxHook = nullptr;
}

void TrakxTest::Load() {
    library = LoadLibraryA((BinaryDir() + "\\TRAKX.dll").c_str());
    ASSERT_NE(library, nullptr) << "TRAKX.dll not found beside the test program";
    // Stays for the library's life, the unload sequence included.
    ASSERT_NE(PatchImport(library, "user32.dll", "MessageBoxA", reinterpret_cast<void*>(RecordMessageBox)), nullptr)
        << "TRAKX.dll imports no MessageBoxA: its boxes could not be recorded";
    TrakxExports exports;
    ASSERT_TRUE(LoadTrakxExports(library, &exports));
    init = exports.init;
    commandProc = exports.commandProc;
    funcProc = exports.funcProc;
    statProc = exports.statProc;
}

void TrakxTest::Unload() {
    // The import table goes with the module: patches end here.
    patches.clear();
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

int TrakxTest::CommandKeepingBlock(const std::vector<std::string>& words) {
    std::string block = MakeBlock(words), copy = block;
    int answer = commandProc(block.data());
    EXPECT_EQ(block, copy) << "the host's block was written";
    return answer;
}

std::string TrakxTest::FunctionKeepingBlock(const std::vector<std::string>& words) {
    std::string block = MakeBlock(words), copy = block;
    const char* answer = funcProc(block.data());
    EXPECT_EQ(block, copy) << "the host's block was written";
    bool inBlock = answer >= block.data() && answer < block.data() + block.size();
    EXPECT_FALSE(inBlock) << "the answer points into the host's block";
    return answer && !inBlock ? answer : "(null)";
}

::testing::AssertionResult TrakxTest::Patch(const char* dll, const char* function, void* replacement) {
    if (!library) return ::testing::AssertionFailure() << "no library to patch " << function << " in";
    void* previous = PatchImport(library, dll, function, replacement);
    if (!previous) return ::testing::AssertionFailure() << "TRAKX.dll imports no " << dll << "!" << function;
    // Only the first patch of an import knows the real target.
    for (const ImportPatchRecord& p : patches)
        if (lstrcmpiA(p.dll, dll) == 0 && lstrcmpA(p.function, function) == 0) return ::testing::AssertionSuccess();
    patches.push_back({dll, function, previous});
    return ::testing::AssertionSuccess();
}

void TrakxTest::Unpatch() {
    if (library)
        for (const ImportPatchRecord& p : patches) PatchImport(library, p.dll, p.function, p.previous);
    patches.clear();
}

::testing::AssertionResult TrakxTest::PatchHeap() {
    g_heap = HeapControl();
    ::testing::AssertionResult m = Patch("msvcrt.dll", "malloc", reinterpret_cast<void*>(ControlledMalloc));
    if (!m) return m;
    return Patch("msvcrt.dll", "realloc", reinterpret_cast<void*>(ControlledRealloc));
}

void TrakxTest::ExpectBoxes(size_t count, const std::string& text, const std::string& caption, UINT style) {
    EXPECT_EQ(boxes.size(), count) << "boxes shown, expected: [" << caption << "] " << text;
    for (const RecordedBox& box : boxes) {
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(box.caption, caption);
        EXPECT_EQ(box.style, style);
        EXPECT_EQ(box.owner, nullptr);
    }
    boxes.clear();
}

// Deletes everything inside a folder, keeping the folder.
static void EmptyFolder(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        std::string path = folder + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            EmptyFolder(path);
            RemoveDirectoryA(path.c_str());
        } else {
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

std::string TrakxTest::Scratch() {
    if (scratch.empty()) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string base = BinaryDir() + "\\scratch";
        CreateDirectoryA(base.c_str(), nullptr);
        scratch = base + "\\" + info->test_suite_name() + "." + info->name();
        for (char& c : scratch)
            if (c == '/') c = '_';
        CreateDirectoryA(scratch.c_str(), nullptr);
        // What a failed earlier run left behind must not decide this run.
        EmptyFolder(scratch);
    }
    return scratch;
}

// ---- registers around FuncProc (fixture.h) -----------------------------------------
extern "C" {
Registers g_watchBefore, g_watchAfter;
DWORD g_watchSavedEsp;
const char* __cdecl CallWatched(FunctionFn function, const char* block);
}
asm(".text\n"
    ".globl _CallWatched\n"
    "_CallWatched:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl %esp, _g_watchSavedEsp\n"
    "    movl $0x11111111, %ebx\n"
    "    movl $0x22222222, %esi\n"
    "    movl $0x33333333, %edi\n"
    "    pushfl\n"
    "    popl _g_watchBefore+20\n"
    "    fnstenv _g_watchBefore+24\n"  // fnstenv masks the exceptions: load it back
    "    fldenv _g_watchBefore+24\n"
    "    stmxcsr _g_watchBefore+52\n"
    "    movl 8(%ebp), %eax\n"   // the FuncProc to watch
    "    pushl 12(%ebp)\n"       // its one argument, the block
    "    movl %esp, _g_watchBefore\n"
    "    movl %ebx, _g_watchBefore+4\n"
    "    movl %esi, _g_watchBefore+8\n"
    "    movl %edi, _g_watchBefore+12\n"
    "    movl %ebp, _g_watchBefore+16\n"
    "    call *%eax\n"
    "    movl %esp, _g_watchAfter\n"
    "    movl %ebx, _g_watchAfter+4\n"
    "    movl %esi, _g_watchAfter+8\n"
    "    movl %edi, _g_watchAfter+12\n"
    "    movl %ebp, _g_watchAfter+16\n"
    "    movl _g_watchSavedEsp, %esp\n"
    "    pushfl\n"
    "    popl _g_watchAfter+20\n"
    "    fnstenv _g_watchAfter+24\n"
    "    fnclex\n"              // recorded; still pending, it would end the test
    "    fldcw _g_watchAfter+24\n"
    "    stmxcsr _g_watchAfter+52\n"
    "    cld\n"                  // the test's own code needs it clear, whatever came back
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");

// Whether FuncProc came back with the host's stack and registers as a normal return
// leaves them: ESP, EBX, ESI, EDI, EBP, the direction flag clear, the x87 stack empty.
void ExpectHostStateKept(const std::string& what) {
    EXPECT_EQ(g_watchAfter.esp, g_watchBefore.esp) << what;
    EXPECT_EQ(g_watchAfter.ebx, g_watchBefore.ebx) << what;
    EXPECT_EQ(g_watchAfter.esi, g_watchBefore.esi) << what;
    EXPECT_EQ(g_watchAfter.edi, g_watchBefore.edi) << what;
    EXPECT_EQ(g_watchAfter.ebp, g_watchBefore.ebp) << what;
    EXPECT_EQ(g_watchAfter.flags & DirectionFlag, 0u) << what;
    EXPECT_EQ(g_watchAfter.FpuTags(), AllX87RegistersEmpty) << what;
}

