// The host frame: Init, the call frame, argument splitting with clipboard
// substitution, dispatch conventions, GETLASTERROR, StatProc and unload.
#include <process.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <optional>

#include "../host/keywords.h"
#include "fixture.h"
#include "word_matching.h"

namespace {

const char kBufferBoxText[] =
    "Insufficient memory for buffer.  Try closing programs to free memory, or re-boot (re-start) your computer.";
const char kClipboardBoxText[] =
    "Insufficient memory for clipboard buffer.  Try closing programs to free memory, or re-boot (re-start) your "
    "computer.";

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
        ExpectBoxes(c.testMode ? 1 : 0, "DLL Unloading", "TRAKX.DLL test mode", MB_TOPMOST);
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

// Only the first 4047 gathered characters count; the letter at the very end still
// turns test mode on, and the digits name no window: nothing is hooked, drawing
// finds none.
TEST_F(HostFrame, LongInitTextIsGatheredSafely) {
    std::string text(100000, '7');
    text += "T";
    Unload();
    LONG original = WindowProcOf(window);
    Load();
    int maxArgs = 0, maxString = 0;
    EXPECT_EQ(CallInit(text.c_str(), &maxArgs, &maxString), "KX");
    EXPECT_EQ(maxString, 4048);
    EXPECT_EQ(WindowProcOf(window), original);
    EXPECT_EQ(Command({"DRAW", "RECTANGLE", "1", "1", "5", "5"}), 1001);
    Unload();
    ExpectBoxes(1, "DLL Unloading", "TRAKX.DLL test mode", MB_TOPMOST);
}

// Init makes three heap blocks; when one cannot be made it says so and answers "".
// A later Init makes the missing ones, and then every block works.
TEST_F(HostFrame, InitOutOfMemoryAndInitAgain) {
    std::string data(5000, 'r');
    data[1] = '\0';
    const std::string path = Scratch() + "\\data.bin";
    WriteAll(path, data);
    for (int succeeding = 0; succeeding < 3; ++succeeding) {
        SCOPED_TRACE(std::to_string(succeeding) + " allocations succeed");
        Unload();
        Load();
        ASSERT_TRUE(PatchHeap());
        g_heap.allocationsLeft = succeeding;
        int maxArgs = 0, maxString = 0;
        std::string answer = CallInit(WindowInitText().c_str(), &maxArgs, &maxString);
        g_heap.allocationsLeft = -1;
        EXPECT_EQ(answer, "");
        EXPECT_EQ(maxArgs, 30);
        EXPECT_EQ(maxString, 4048);
        ExpectBoxes(1, kBufferBoxText, "TRAKX.DLL", MB_TOPMOST);

        EXPECT_EQ(CallInit(WindowInitText().c_str()), "KX");
        EXPECT_TRUE(boxes.empty());
        ASSERT_EQ(Command({"FILEOPEN", "1", path, "READ"}), 0);
        EXPECT_EQ(Function({"FILEREAD", "1", "TEXT"}), "r");
        EXPECT_EQ(Function({"FILEGETPOS", "1"}), "4024") << "the read buffer has its initial size";
        EXPECT_EQ(Function({"FILESETPOS", "1", "0"}), "0");
        EXPECT_EQ(Function({"FILEREAD", "1", "RAWDATA", "3", "~"}), "r~r");
        EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
        PutClipboardText("clipboard");
        EXPECT_EQ(Command({"SETSTR", "1", "!CLIPBOARD!"}), 0);
        EXPECT_EQ(Function({"GETSTR", "1"}), "clipboard");
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
        std::string expected = SystemText(code);
        ASSERT_FALSE(expected.empty());
        SetLastError(code);
        std::string answer = Function({"getLastError"});
        DWORD after = GetLastError();
        EXPECT_EQ(answer, expected) << "code " << code;
        EXPECT_EQ(after, 0u) << "the thread's code is reset";
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

// The clipboard cannot be substituted when another thread holds it or when the
// buffer cannot grow for its text: the call runs no handler, says so in a box and
// answers 1000; the clipboard is closed again either way.
TEST_F(HostFrame, ClipboardThatCannotBeReadFailsTheCall) {
    struct Case {
        const char* note;
        bool heldElsewhere;
        bool noMemory;
    } cases[] = {{"held by another thread", true, false}, {"no memory for the copy", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        PutClipboardText("abc");
        Command({"SETSTR", "1", "kept"});
        {
            std::optional<ClipboardHolder> holder;
            if (c.heldElsewhere) holder.emplace();
            if (c.noMemory) {
                ASSERT_TRUE(PatchHeap());
                g_heap.allocationsLeft = 0;
            }
            EXPECT_EQ(Command({"SETSTR", "1", "!CLIPBOARD!"}), 1000);
            EXPECT_EQ(Status(), 1000);
            EXPECT_EQ(Function({"GETSTR", "!CLIPBOARD!"}), "");
            EXPECT_EQ(Status(), 1000);
            g_heap.allocationsLeft = -1;
        }
        ExpectBoxes(2, kClipboardBoxText, "TRAKX.DLL", MB_TOPMOST);
        EXPECT_EQ(Function({"GETSTR", "1"}), "kept") << "the failed call ran no handler";
        EXPECT_EQ(Status(), 0);
        EXPECT_TRUE(OpenClipboard(nullptr)) << "the library left the clipboard open";
        CloseClipboard();
        EXPECT_EQ(Command({"SETSTR", "1", "!CLIPBOARD!"}), 0);
        EXPECT_EQ(Function({"GETSTR", "1"}), "abc");
        Unpatch();
    }
}

// A clipboard word is looked for at every place of a block, up to its thirtieth
// text and its first empty one, and nowhere after. Held by another thread, the
// clipboard cannot be read: each call that tries fails with 1000, so the status
// shows where a word was taken for the clipboard's.
TEST_F(HostFrame, ClipboardWordAtEveryPlaceOfABlock) {
    struct Case {
        int words;
        int at;
        bool emptyBefore;  // an empty text in the middle, before the word
    } cases[] = {{1, 0, false},   {2, 0, false},   {2, 1, false},  {30, 0, false},
                 {30, 15, false}, {30, 29, false}, {30, 29, true}, {31, 30, false}};
    PutClipboardText("abc");
    ClipboardHolder holder;
    for (const Case& c : cases) {
        for (const char* spelling : {"!clipboard!", "!CLIPBOARD", "!CLIPBOARD!!", "!Clip-Board!", "!CLIP'BOARD!"}) {
            SCOPED_TRACE(std::string(spelling) + " at " + std::to_string(c.at) + " of " + std::to_string(c.words));
            std::vector<std::string> words(c.words, "9");
            words[0] = "SETSTR";
            if (c.emptyBefore) words[c.at / 2] = "";
            words[c.at] = spelling;
            std::string block;
            for (const std::string& w : words) block += w + '\0';
            block += '\0';
            bool tried = c.at < 30 && !c.emptyBefore && lstrcmpiA(spelling, "!CLIPBOARD!") == 0;
            EXPECT_EQ(commandProc(block.data()), tried ? 1000 : 0);
            EXPECT_EQ(Status(), tried ? 1000 : 0);
            if (tried) ExpectBoxes(1, kClipboardBoxText, "TRAKX.DLL", MB_TOPMOST);
            EXPECT_TRUE(boxes.empty());
        }
    }
}

// Every "!CLIPBOARD!" argument grows the one clipboard buffer, which may move: the
// arguments substituted before must follow it.
TEST_F(HostFrame, EarlierClipboardArgumentsFollowTheBufferWhenItMoves) {
    ASSERT_TRUE(PatchHeap());
    g_heap.moveOnRealloc = true;
    PutClipboardText("moved along");
    EXPECT_EQ(Command({"SETSTRUCT", "3", "STRSTRUCT", "!CLIPBOARD!", "!CLIPBOARD!", "!clipboard!"}), 0);
    EXPECT_EQ(Function({"GETSTRUCT", "3", "STRSTRUCT"}), "moved along|moved along|moved along|");
}

// At most 30 texts are read from a block. A block of exactly 30 words without the
// closing empty text, ending where readable memory ends, is read without a fault.
TEST_F(HostFrame, ABlockIsReadUpToThirtyWords) {
    char* pages = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(pages, nullptr);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages + 4096, 4096, PAGE_NOACCESS, &old));
    auto atPageEnd = [&](std::vector<std::string> words) {
        while (words.size() < 30) words.push_back("99");
        std::string block;
        for (const std::string& w : words) block += w + '\0';
        char* at = pages + 4096 - block.size();
        memcpy(at, block.data(), block.size());
        return at;
    };
    std::vector<std::string> set = {"SETSTRUCT", "2", "INTSTRUCT"};
    for (int i = 1; i <= 16; ++i) set.push_back(std::to_string(i));
    EXPECT_EQ(commandProc(atPageEnd(set)), 0);
    EXPECT_STREQ(funcProc(atPageEnd({"GETSTRUCT", "2", "INTSTRUCT"})), "1|2|3|4|5|6|7|8|9|10|11|12|13|14|15|16");
    VirtualFree(pages, 0, MEM_RELEASE);
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

// The search keeps 16-byte vector values on the stack: it is the call that needs
// the realignment.
TEST_F(HostFrame, EntryPointsWorkOnAFourByteAlignedStack) {
    std::string data(5000, '.');
    data.replace(4000, 6, "Needle");
    WriteAll(Scratch() + "\\hay.txt", data);
    std::string set = MakeBlock({"SETSTR", "5", "aligned"});
    std::string get = MakeBlock({"GETSTR", "5"});
    std::string open = MakeBlock({"FILEOPEN", "1", Scratch() + "\\hay.txt", "READ"});
    std::string search = MakeBlock({"FILESEARCHTEXT", "1", "needle"});
    auto callFunction = [&](const std::string& block, int offset) {
        return reinterpret_cast<const char*>(
            CallWithStackOffset(reinterpret_cast<void*>(funcProc), block.data(), offset));
    };
    for (int offset : {0, 4, 8, 12}) {
        SCOPED_TRACE(offset);
        EXPECT_EQ(CallWithStackOffset(reinterpret_cast<void*>(commandProc), set.data(), offset), 0);
        EXPECT_STREQ(callFunction(get, offset), "aligned");
        EXPECT_EQ(CallWithStackOffset(reinterpret_cast<void*>(commandProc), open.data(), offset), 0);
        EXPECT_STREQ(callFunction(search, offset), "4000");
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
    ASSERT_TRUE(Patch("user32.dll", "GetClipboardData", reinterpret_cast<void*>(UnterminatedClipboard::GetData)));
    ASSERT_TRUE(Patch("kernel32.dll", "GlobalLock", reinterpret_cast<void*>(UnterminatedClipboard::Lock)));
    ASSERT_TRUE(Patch("kernel32.dll", "GlobalSize", reinterpret_cast<void*>(UnterminatedClipboard::Size)));
    ASSERT_TRUE(Patch("kernel32.dll", "GlobalUnlock", reinterpret_cast<void*>(UnterminatedClipboard::Unlock)));
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
    Unpatch();
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

// The reference host warns by its own lists of the library's keywords: each of its
// function keywords is one FuncProc answers (given what it needs), and each command
// keyword that is not also a function answers "Invalid Function" from FuncProc, as
// a made-up word does. keywords-test compares the lists with the library's tables.

TEST_F(HostFrame, HostListsAgreeWithTheAnswers) {
    ASSERT_EQ(Command({"DLLLOAD", "1", "msvcrt.dll"}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "1", "atoi"}), 0);
    ASSERT_EQ(Command({"DLLDECLARE", "1", "1", "int __cdecl atoi(const char* s)"}), 0);
    // What a keyword needs before it answers: a bound or declared function,
    // GETSTATE, a pattern.
    const std::map<std::string, std::vector<std::string>> needs = {
        {"DLLFUNC", {"atoi", "INT", "INT:7"}},
        {"DLLCALL", {"atoi", "42"}},
        {"MENU", {"GETSTATE", "1"}},
        {"FILESEARCHTEXT", {"1", "x"}},
        {"FILESEARCHHEX", {"1", "41"}},
    };
    for (const char* keyword : kLibraryFunctions) {
        SCOPED_TRACE(keyword);
        std::vector<std::string> words = {keyword};
        auto need = needs.find(keyword);
        if (need != needs.end()) words.insert(words.end(), need->second.begin(), need->second.end());
        else words.insert(words.end(), {"1", "1", "1"});
        EXPECT_NE(Function(words), "Invalid Function");
    }
    auto isFunction = [](const char* word) {
        for (const char* f : kLibraryFunctions)
            if (strcmp(f, word) == 0) return true;
        return false;
    };
    for (const char* keyword : kLibraryCommands) {
        if (isFunction(keyword)) continue;
        SCOPED_TRACE(keyword);
        EXPECT_EQ(Function({keyword, "1", "1", "1"}), "Invalid Function");
    }
    EXPECT_EQ(Function({"NOSUCHWORD", "1", "1", "1"}), "Invalid Function");
}
