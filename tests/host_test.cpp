// The host frame: Init, the call frame, argument splitting with clipboard
// substitution, dispatch conventions, GETLASTERROR, StatProc and unload.
#include <process.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "fixture.h"

namespace {

const char kBufferBoxText[] =
    "Insufficient memory for buffer.  Try closing programs to free memory, or re-boot (re-start) your computer.";
const char kClipboardBoxText[] =
    "Insufficient memory for clipboard buffer.  Try closing programs to free memory, or re-boot (re-start) your "
    "computer.";

// An allocator that fails once a given number of allocations have succeeded.
int g_allocationsLeft = -1;  // -1: never fail
void* __cdecl LimitedMalloc(size_t n) {
    if (g_allocationsLeft == 0) return nullptr;
    if (g_allocationsLeft > 0) --g_allocationsLeft;
    return malloc(n);
}
void* __cdecl LimitedRealloc(void* p, size_t n) {
    if (g_allocationsLeft == 0) return nullptr;
    if (g_allocationsLeft > 0) --g_allocationsLeft;
    return realloc(p, n);
}

LONG WindowProcOf(HWND w) { return GetWindowLongA(w, GWL_WNDPROC); }

}  // namespace

using HostFrame = TrakxTest;

TEST_F(HostFrame, InitAnswersReadyAndReportsLimits) {
    Reload("");
    int maxArgs = 0, maxString = 0;
    EXPECT_EQ(CallInit("", &maxArgs, &maxString), "KX");
    EXPECT_EQ(maxArgs, 30);
    EXPECT_EQ(maxString, 4048);
    EXPECT_EQ(Status(), 0);
}

// The init text carries the window handle with optional "%" signs; any letter turns
// test mode on. Test mode shows itself by the box at unload, the window by the hook.
TEST_F(HostFrame, InitTextForms) {
    const std::string h = WindowInitText();
    struct Case {
        std::string text;
        bool hooked;
        bool testMode;
    } cases[] = {
        {"%" + h + "%", true, false}, {"T" + h, true, true},  {h + "T", true, true},
        {h + " 99", true, false},     {"abc", false, true},   {"", false, false},
        {"%%", false, false},         {"-" + h, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("init text \"" + c.text + "\"");
        Unload();
        LONG original = WindowProcOf(window);
        boxes.clear();
        Load();
        EXPECT_EQ(CallInit(c.text.c_str()), "KX");
        EXPECT_EQ(WindowProcOf(window) != original, c.hooked);
        Unload();
        EXPECT_EQ(WindowProcOf(window), original) << "unload leaves the window's own procedure";
        EXPECT_EQ(boxes.size(), c.testMode ? 1u : 0u);
        if (c.testMode && boxes.size() == 1) {
            EXPECT_EQ(boxes[0].text, "DLL Unloading");
            EXPECT_EQ(boxes[0].caption, "TRAKX.DLL test mode");
            EXPECT_EQ(boxes[0].style, UINT(MB_TOPMOST));
            EXPECT_EQ(boxes[0].owner, nullptr);
        }
    }
    Load();
    EXPECT_EQ(CallInit(nullptr), "KX") << "a null init text reads as empty";
}

TEST_F(HostFrame, SecondInitDoesNotHookTwice) {
    Unload();
    LONG original = WindowProcOf(window);
    Load();
    CallInit(WindowInitText().c_str());
    CallInit(WindowInitText().c_str());
    // A hook in front of itself would recurse until the stack runs out.
    EXPECT_EQ(SendMessageA(window, WM_NULL, 0, 0), 0);
    EXPECT_EQ(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0), lstrlenA("TRAKX test"));
    Unload();
    EXPECT_EQ(WindowProcOf(window), original);
}

TEST_F(HostFrame, LongInitTextIsGatheredSafely) {
    std::string digits(100000, '7');
    digits += "T";
    Unload();
    Load();
    int maxArgs = 0, maxString = 0;
    EXPECT_EQ(CallInit(digits.c_str(), &maxArgs, &maxString), "KX");
    EXPECT_EQ(maxString, 4048);
    // The gathered digits are no window: drawing finds none.
    EXPECT_EQ(Function({"NOSUCH"}), "Invalid Function");
}

TEST_F(HostFrame, InitOutOfMemoryShowsBoxAndKeepsOutValues) {
    for (int succeeding = 0; succeeding < 3; ++succeeding) {
        SCOPED_TRACE(succeeding);
        Unload();
        Load();
        boxes.clear();
        PatchImport(library, "msvcrt.dll", "malloc", reinterpret_cast<void*>(LimitedMalloc));
        g_allocationsLeft = succeeding;
        int maxArgs = 0, maxString = 0;
        std::string answer = CallInit(WindowInitText().c_str(), &maxArgs, &maxString);
        g_allocationsLeft = -1;
        EXPECT_EQ(answer, "");
        EXPECT_EQ(maxArgs, 30);
        EXPECT_EQ(maxString, 4048);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, kBufferBoxText);
        EXPECT_EQ(boxes[0].caption, "TRAKX.DLL");
        EXPECT_EQ(boxes[0].style, UINT(MB_TOPMOST));
        EXPECT_EQ(boxes[0].owner, nullptr);
    }
}

TEST_F(HostFrame, UnknownKeywordsAndConditions) {
    for (const char* word : {"DRAWX", "SETSTRX", "", "FILEREADX", "MENU"}) {
        SCOPED_TRACE(word);
        EXPECT_EQ(Function({word}), "Invalid Function");
        EXPECT_EQ(Status(), 0);
    }
    EXPECT_EQ(Command({"NOSUCH", "1"}), 0);
    EXPECT_EQ(Command({""}), 0);
    EXPECT_EQ(Function({"MENU", "CHECK", "1", "0"}), "Invalid Function");
    EXPECT_EQ(Command({"MENU", "GETSTATE", "1", "0"}), 0);
    EXPECT_EQ(Function({"DLLFUNC", "NeverBound"}), "Invalid Function");
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1"}), "Invalid Function");
    EXPECT_EQ(Function({"FILESEARCHHEX", "1", ""}), "Invalid Function");
    EXPECT_EQ(Command({"FILEOPEN", "1", (Scratch() + "\\never.txt").c_str()}), 0);
    EXPECT_EQ(GetFileAttributesA((Scratch() + "\\never.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(HostFrame, SaveFileConditionsReturnMinusOneAndLeaveStatus) {
    std::string path261(261, 'a');
    EXPECT_EQ(Command({"SAVEFILE", "", "x.txt"}), -1);
    EXPECT_EQ(Status(), 0);
    EXPECT_EQ(Command({"SAVEFILE", "123", ""}), -1);
    EXPECT_EQ(Command({"SAVEFILE", "123", path261}), -1);
    EXPECT_EQ(Status(), 0);
}

TEST_F(HostFrame, StatProcBeforeAnyCall) {
    Reload(WindowInitText().c_str());
    EXPECT_EQ(Status(), 0);
}

TEST_F(HostFrame, LastErrorTextMatchesTheSystem) {
    for (DWORD code : {DWORD(ERROR_FILE_NOT_FOUND), DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_INVALID_HANDLE)}) {
        char* expected = nullptr;
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 1024,
                       reinterpret_cast<char*>(&expected), 0, nullptr);
        ASSERT_NE(expected, nullptr);
        SetLastError(code);
        const char* answer = FunctionRaw({"getLastError"});
        DWORD after = GetLastError();
        EXPECT_STREQ(answer, expected) << "code " << code;
        EXPECT_EQ(after, 0u) << "the thread's code is reset";
        LocalFree(expected);
    }
    SetLastError(0x2000FFFF);  // a code the system has no text for
    EXPECT_EQ(Function({"GETLASTERROR"}), "");
}

// Argument splitting and "!CLIPBOARD!" substitution, seen through string slots.
TEST_F(HostFrame, ClipboardSubstitution) {
    PutClipboardText("abc def");
    struct Case {
        std::vector<std::string> words;
        std::string slot1;
    } cases[] = {
        {{"SETSTR", "1", "!CLIPBOARD!"}, "abc def"},
        {{"SETSTR", "1", "!clipboard!"}, "abc def"},
        {{"SETSTR", "1", "x!CLIPBOARD!"}, "x!CLIPBOARD!"},
        {{"SETSTR", "1", "!CLIPBOARD! "}, "!CLIPBOARD! "},
    };
    for (const Case& c : cases) {
        Command({"SETSTR", "1", "before"});
        EXPECT_EQ(Command(c.words), 0);
        EXPECT_EQ(Function({"GETSTR", "1"}), c.slot1) << c.words[2];
    }
    // Two substituted arguments in one call, and the keyword itself.
    PutClipboardText("SETSTR");
    EXPECT_EQ(Command({"!CLIPBOARD!", "2", "!CLIPBOARD!"}), 0);
    EXPECT_EQ(Function({"GETSTR", "2"}), "SETSTR");
    // A clipboard without text gives an empty argument and no failure.
    EmptyTheClipboard();
    Command({"SETSTR", "3", "before"});
    EXPECT_EQ(Command({"SETSTR", "3", "!CLIPBOARD!"}), 0);
    EXPECT_EQ(Status(), 0);
    EXPECT_EQ(Function({"GETSTR", "3"}), "");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(HostFrame, ClipboardSubstitutionOfALargeText) {
    std::string big(200000, 'q');
    PutClipboardText(big);
    EXPECT_EQ(Command({"SETSTR", "1", "!CLIPBOARD!"}), 0);
    EXPECT_EQ(Function({"GETSTR", "1"}), std::string(4047, 'q'));
}

TEST_F(HostFrame, SplitStopsAtTheFirstEmptyText) {
    Command({"SETSTR", "4", "kept"});
    EXPECT_EQ(Command({"SETSTR", "4", "", "later"}), 0);
    EXPECT_EQ(Function({"GETSTR", "4"}), "");
}

namespace {
struct ClipboardHolder {
    HANDLE opened = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = nullptr;
    static unsigned __stdcall Hold(void* self) {
        auto* h = static_cast<ClipboardHolder*>(self);
        OpenClipboard(nullptr);
        SetEvent(h->opened);
        WaitForSingleObject(h->release, INFINITE);
        CloseClipboard();
        return 0;
    }
    ClipboardHolder() {
        thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Hold, this, 0, nullptr));
        WaitForSingleObject(opened, INFINITE);
    }
    ~ClipboardHolder() {
        SetEvent(release);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CloseHandle(opened);
        CloseHandle(release);
    }
};
}  // namespace

TEST_F(HostFrame, ClipboardHeldElsewhereFailsTheCall) {
    PutClipboardText("abc");
    Command({"SETSTR", "1", "kept"});
    {
        ClipboardHolder holder;
        EXPECT_EQ(Command({"SETSTR", "1", "!CLIPBOARD!"}), 1000);
        EXPECT_EQ(Status(), 1000);
        EXPECT_EQ(Function({"GETSTR", "!CLIPBOARD!"}), "");
        EXPECT_EQ(Status(), 1000);
    }
    ASSERT_EQ(boxes.size(), 2u);
    for (const RecordedBox& box : boxes) {
        EXPECT_EQ(box.text, kClipboardBoxText);
        EXPECT_EQ(box.caption, "TRAKX.DLL");
        EXPECT_EQ(box.style, UINT(MB_TOPMOST));
    }
    EXPECT_EQ(Function({"GETSTR", "1"}), "kept") << "the failed call ran no handler";
    EXPECT_EQ(Status(), 0);
}

TEST_F(HostFrame, ClipboardBufferOutOfMemory) {
    PutClipboardText("abc");
    Command({"SETSTR", "1", "kept"});
    PatchImport(library, "msvcrt.dll", "realloc", reinterpret_cast<void*>(LimitedRealloc));
    g_allocationsLeft = 0;
    int answer = Command({"SETSTR", "1", "!CLIPBOARD!"});
    g_allocationsLeft = -1;
    EXPECT_EQ(answer, 1000);
    EXPECT_EQ(Status(), 1000);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kClipboardBoxText);
    // The clipboard was closed again: this process can open it.
    EXPECT_TRUE(OpenClipboard(nullptr));
    CloseClipboard();
    EXPECT_EQ(Command({"SETSTR", "1", "!CLIPBOARD!"}), 0);
    EXPECT_EQ(Function({"GETSTR", "1"}), "abc");
}

// The entry points realign the stack themselves: call them with every misalignment.
extern "C" int __cdecl CallWithStackOffset(void* function, const void* argument, int offset);
asm(R"(
    .globl _CallWithStackOffset
_CallWithStackOffset:
    pushl %ebp
    movl %esp, %ebp
    movl 16(%ebp), %ecx
    andl $-16, %esp
    subl %ecx, %esp
    subl $12, %esp
    pushl 12(%ebp)
    call *8(%ebp)
    movl %ebp, %esp
    popl %ebp
    ret
)");

TEST_F(HostFrame, EntryPointsWorkOnAFourByteAlignedStack) {
    std::string set = MakeBlock({"SETSTR", "5", "aligned"});
    std::string get = MakeBlock({"GETSTR", "5"});
    for (int offset : {0, 4, 8, 12}) {
        EXPECT_EQ(CallWithStackOffset(reinterpret_cast<void*>(commandProc), set.data(), offset), 0);
        auto text = reinterpret_cast<const char*>(
            CallWithStackOffset(reinterpret_cast<void*>(funcProc), get.data(), offset));
        EXPECT_STREQ(text, "aligned");
    }
}

namespace {
// Clipboard text as another program may leave it: a block without a terminator,
// here placed so that it ends right where an inaccessible page begins.
struct UnterminatedClipboard {
    static char* data;
    static SIZE_T size;
    static HANDLE WINAPI GetData(UINT format) { return format == CF_TEXT ? reinterpret_cast<HANDLE>(data) : nullptr; }
    static LPVOID WINAPI Lock(HGLOBAL block) { return block; }
    static SIZE_T WINAPI Size(HGLOBAL) { return size; }
    static BOOL WINAPI Unlock(HGLOBAL) { return TRUE; }
};
char* UnterminatedClipboard::data;
SIZE_T UnterminatedClipboard::size;

std::vector<std::string> g_secondCallbackEvents;
void __cdecl SecondCallback(const char* name) { g_secondCallbackEvents.push_back(name); }
}  // namespace

// The clipboard's text is measured within its block: text without a terminator is
// the block's bytes and nothing after them.
TEST_F(HostFrame, ClipboardTextWithoutTerminatorEndsAtItsBlock) {
    const SIZE_T page = 4096;
    char* pages = static_cast<char*>(VirtualAlloc(nullptr, 3 * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    DWORD oldProtect;
    VirtualProtect(pages + 2 * page, page, PAGE_NOACCESS, &oldProtect);
    PatchImport(library, "user32.dll", "GetClipboardData", reinterpret_cast<void*>(UnterminatedClipboard::GetData));
    PatchImport(library, "kernel32.dll", "GlobalLock", reinterpret_cast<void*>(UnterminatedClipboard::Lock));
    PatchImport(library, "kernel32.dll", "GlobalSize", reinterpret_cast<void*>(UnterminatedClipboard::Size));
    PatchImport(library, "kernel32.dll", "GlobalUnlock", reinterpret_cast<void*>(UnterminatedClipboard::Unlock));
    for (SIZE_T size : {SIZE_T(1), SIZE_T(7), SIZE_T(4047), SIZE_T(5000)}) {
        SCOPED_TRACE(size);
        char* end = pages + 2 * page;
        memset(end - size, 'w', size);
        UnterminatedClipboard::data = end - size;
        UnterminatedClipboard::size = size;
        g_crashNote = "SETSTR 1 !CLIPBOARD! with an unterminated text of " + std::to_string(size) + " bytes";
        EXPECT_EQ(Command({"SETSTR", "1", "!CLIPBOARD!"}), 0);
        std::string slot = Function({"GETSTR", "1"});
        EXPECT_EQ(slot.size(), std::min<SIZE_T>(size, 4047));
        EXPECT_EQ(slot.find_first_not_of('w'), std::string::npos);
    }
    g_crashNote.clear();
    Unload();  // the patched imports go with the library
    VirtualFree(pages, 0, MEM_RELEASE);
}

// A later Init keeps the first window: the menus it builds stay on that window,
// whose choices reach the callback of the latest Init. A window named only by a
// later Init is taken (and hooked) when no earlier Init named one.
TEST_F(HostFrame, LaterInitKeepsTheFirstWindow) {
    HWND other = CreateWindowA("STATIC", "other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 60, 60, 200, 200, nullptr,
                               nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    const LONG otherProc = WindowProcOf(other);
    const std::string otherText = std::to_string(reinterpret_cast<UINT_PTR>(other));
    int maxArgs = 0, maxString = 0;
    g_secondCallbackEvents.clear();
    EXPECT_STREQ(init(0, SecondCallback, otherText.c_str(), &maxArgs, &maxString), "KX");
    EXPECT_EQ(WindowProcOf(other), otherProc) << "the second window is not hooked";

    Command({"MENU", "CREATE", "1", "MENU", "&File", "0"});
    Command({"MENU", "CREATE", "2", "ITEM", "&Go", "1"});
    EXPECT_NE(GetMenu(window), nullptr);
    EXPECT_EQ(GetMenu(other), nullptr);
    events.clear();
    SendMessageA(window, WM_COMMAND, 10002, 0);
    EXPECT_TRUE(events.empty()) << "the first callback was replaced";
    EXPECT_EQ(g_secondCallbackEvents, std::vector<std::string>{"GoMENU"});

    Unload();
    Load();
    CallInit("");
    EXPECT_STREQ(init(0, SecondCallback, otherText.c_str(), &maxArgs, &maxString), "KX");
    EXPECT_NE(WindowProcOf(other), otherProc) << "the first window named is hooked";
    Command({"MENU", "CREATE", "1", "MENU", "&File", "0"});
    EXPECT_NE(GetMenu(other), nullptr);
    Unload();
    EXPECT_EQ(WindowProcOf(other), otherProc);
    DestroyWindow(other);
}
