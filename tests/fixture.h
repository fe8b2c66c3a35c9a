// The test fixture: loads TRAKX.dll afresh for each test and drives it only through
// its four exports, with a real visible window whose handle goes into the init text,
// as a host does. Message boxes the library shows are recorded instead of shown.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "trakx_host.h"


struct RecordedBox {
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
};

// Points the import `function` of `dll` in `module` at `replacement`; answers the
// previous target, or null when the module does not import it.
void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement);

// Folder of the test programs, the library and the test library.
std::string BinaryDir();
// The test library beside the test programs.
std::string TestLibraryPath();


// Whole files: the bytes of a file ("(missing)" when it cannot be opened), and a
// file made with exactly these bytes.
std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& data);

// Puts text on the clipboard (CF_TEXT); an empty vector of text leaves it empty.
void PutClipboardText(const std::string& text);
void EmptyTheClipboard();

// A note printed if the test program crashes (for instance the call being made).
extern std::string g_crashNote;

// Dispatches the thread's pending window messages.
void PumpMessages();

// The library's heap calls, once PatchHeap has pointed them here. Each malloc or
// realloc takes one from allocationsLeft and fails when it is 0 (-1: never fails);
// with moveOnRealloc every realloc moves the block and leaves the old one readable
// but overwritten, so that a pointer kept into it reads garbage instead of the data.
struct HeapControl {
    int allocationsLeft = -1;
    bool moveOnRealloc = false;
};
extern HeapControl g_heap;

class TrakxTest : public ::testing::Test {
public:
    // What the host callback received, in order.
    static std::vector<std::string> events;
    // Called with each event as the host callback receives it (a host that runs script
    // code at once); reset for every test.
    static void (*eventHook)(const char* name);
    // Every message box the library asked for.
    static std::vector<RecordedBox> boxes;

protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the library and patches its message boxes; does not call Init.
    void Load();
    // Unloads the library (its unload sequence runs, with any patch still in place);
    // safe when not loaded.
    void Unload();
    // Calls Init with the given text and the recording callback.
    std::string CallInit(const char* initText, int* maxArgs = nullptr, int* maxString = nullptr);
    // Unloads, loads and calls Init again.
    void Reload(const char* initText);

    // The init text every test starts with: the window handle in decimal.
    std::string WindowInitText() const;

    int Command(const std::vector<std::string>& words);
    std::string Function(const std::vector<std::string>& words);
    // A function's raw answer pointer (for answers with embedded bytes).
    const char* FunctionRaw(const std::vector<std::string>& words);
    int Status();
    // As Command and Function, with a block the test keeps: the library must neither
    // write into the host's block nor answer a pointer into it.
    int CommandKeepingBlock(const std::vector<std::string>& words);
    std::string FunctionKeepingBlock(const std::vector<std::string>& words);

    // Points one import of the loaded library at a replacement until Unpatch (at the
    // latest at the end of the test); fails when the library does not import it.
    // A patch in place at Unload stays for the unload sequence.
    ::testing::AssertionResult Patch(const char* dll, const char* function, void* replacement);
    // Takes every patch out again (the message box recorder stays).
    void Unpatch();
    // Points malloc and realloc at the ones g_heap controls (fresh: nothing fails).
    ::testing::AssertionResult PatchHeap();

    // Every box recorded since the last check is one of `count` boxes with this
    // text, caption and style and no owner; forgets them afterwards.
    void ExpectBoxes(size_t count, const std::string& text, const std::string& caption, UINT style);

    // A folder of its own for this test's files, emptied at the test's first use;
    // its path ends without a separator.
    std::string Scratch();

    HMODULE library = nullptr;
    HWND window = nullptr;
    InitFn init = nullptr;
    CommandFn commandProc = nullptr;
    FunctionFn funcProc = nullptr;
    StatusFn statProc = nullptr;

private:
    struct ImportPatchRecord {
        const char* dll;
        const char* function;
        void* previous;
    };
    std::vector<ImportPatchRecord> patches;
    HHOOK boxHook = nullptr;
    std::string scratch;
};

// ---- registers around FuncProc ------------------------------------------------
// The watch shim loads known values into EBX, ESI and EDI, records ESP, the four
// callee-saved registers, the flags, the x87 environment and MXCSR, calls FuncProc,
// and records them again. It keeps its own stack pointer in a global, so a FuncProc that
// returned with a wrong ESP or EBP is reported by the test instead of bringing it
// down.
struct Registers {
    DWORD esp, ebx, esi, edi, ebp, flags;
    DWORD fpu[7];  // the x87 environment: control word, status word, tag word, ...
    DWORD mxcsr;   // the SSE control and status register
    WORD FpuControl() const { return LOWORD(fpu[0]); }
    WORD FpuTags() const { return LOWORD(fpu[2]); }
};
constexpr WORD X87ExceptionPending = 0x80;  // ES, the status word's summary bit
constexpr DWORD DirectionFlag = 0x400;
constexpr WORD AllX87RegistersEmpty = 0xFFFF;
extern "C" {
extern Registers g_watchBefore, g_watchAfter;
extern DWORD g_watchSavedEsp;
const char* __cdecl CallWatched(FunctionFn function, const char* block);
}

// Whether FuncProc came back with the host's stack and registers as a normal return
// leaves them: ESP, EBX, ESI, EDI, EBP, the direction flag clear, the x87 stack empty.
void ExpectHostStateKept(const std::string& what);
