// trakx-host [-t] [-q] [--lf] [script | -]    or    trakx-host --version
// Runs a script against TRAKX.dll in a window of its own. Without a script (or with
// "-") it reads statements from standard input. The whole script is read and checked
// first (syntax, directives, loops), so a mistake stops it before anything runs. -t
// turns the library's test mode on; -q prints only answers, events and boxes, not
// the statements; --lf ends lines in LF alone. Statements the library would take
// silently but that look mistaken are warned about on stderr. --version prints the
// host's version and that of the TRAKX.dll beside it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fcntl.h>
#include <io.h>

#include <deque>

#include "host.h"
#include "trakx_version.h"

static const int kClientWidth = 480;
static const int kClientHeight = 320;

struct Host {
    HWND window = nullptr;
    HMODULE library = nullptr;
    TrakxExports dll;
    HHOOK boxHook = nullptr;
    bool quiet = false;
    std::string lastAnswer;
    int lastStatus = 0;  // what StatProc answered right after the last call
    // Events and boxes not yet checked by a directive, oldest first.
    std::deque<std::string> events;
    std::deque<std::string> boxes;  // "[caption] text", as printed
};

static Host g_host;

// One line of output, in UTF-8, written at once (events and boxes arrive between
// statements, and a reader of the output should see each as it comes).
static void Say(FILE* stream, const std::string& line) {
    fputs((AnsiToUtf8(line) + "\n").c_str(), stream);
    fflush(stream);
}

static void __cdecl OnEvent(const char* name) {
    g_host.events.push_back(name ? name : "(null)");
    Say(stdout, "event: " + g_host.events.back());
}

// A box's text on one line: each line break written as \n.
static std::string OneLine(const char* text) {
    std::string line;
    for (const char* p = text; *p; ++p) {
        if (*p == '\r') continue;
        if (*p == '\n') line += "\\n";
        else line += *p;
    }
    return line;
}

// Message boxes are printed and answered at once, so a script never waits on one.
static LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam) {
    HWND box = reinterpret_cast<HWND>(wParam);
    std::string caption, text;
    if (code == HCBT_ACTIVATE && ReadMessageBox(box, &caption, &text)) {
        g_host.boxes.push_back("[" + caption + "] " + OneLine(text.c_str()));
        Say(stdout, "box: " + g_host.boxes.back());
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    return CallNextHookEx(g_host.boxHook, code, wParam, lParam);
}

static LRESULT CALLBACK WindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    return DefWindowProcA(w, m, wp, lp);
}

static void PumpMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

static void WaitPumping(DWORD milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        PumpMessages();
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
    }
}

static void ResizeClient(int width, int height) {
    RECT r = {0, 0, width, height};
    DWORD style = GetWindowLongA(g_host.window, GWL_STYLE);
    AdjustWindowRect(&r, style, GetMenu(g_host.window) != nullptr);
    SetWindowPos(g_host.window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
    PumpMessages();
}

static bool PutClipboard(const std::string& text) {
    if (!OpenClipboard(g_host.window)) return false;
    EmptyClipboard();
    HGLOBAL data = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    memcpy(GlobalLock(data), text.c_str(), text.size() + 1);
    GlobalUnlock(data);
    bool ok = SetClipboardData(CF_TEXT, data) != nullptr;
    CloseClipboard();
    return ok;
}

static std::string Joined(const std::vector<std::string>& words, size_t from) {
    std::string text;
    for (size_t i = from; i < words.size(); ++i) text += (i > from ? " " : "") + words[i];
    return text;
}

// A list box child of the window holding the items, made on first use and refilled
// after; its handle goes on the clipboard in decimal for "!CLIPBOARD!".
static bool FillListBox(const std::vector<std::string>& words) {
    static HWND box = nullptr;
    if (!box)
        box = CreateWindowA("LISTBOX", "", WS_CHILD | WS_VISIBLE | WS_BORDER | LBS_HASSTRINGS, 8, 8, 160, 120,
                            g_host.window, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!box) return false;
    SendMessageA(box, LB_RESETCONTENT, 0, 0);
    for (size_t i = 1; i < words.size(); ++i)
        SendMessageA(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(words[i].c_str()));
    std::string handle = std::to_string(reinterpret_cast<UINT_PTR>(box));
    if (!g_host.quiet) Say(stdout, "list box " + handle);
    return PutClipboard(handle);
}

// With `expecting`, the oldest unchecked item must be `expected` and is checked off;
// without, no unchecked item may be left.
static void CheckOldest(std::deque<std::string>& items, bool expecting, const std::string& expected,
                        const char* what, std::string& error) {
    if (!expecting) {
        if (!items.empty()) error = std::string("unchecked ") + what + ": " + Quote(items.front());
        return;
    }
    if (items.empty()) {
        error = std::string("expected ") + what + " " + Quote(expected) + ", none came";
        return;
    }
    if (items.front() != expected) error = std::string("expected ") + what + " " + Quote(expected) + ", got " +
                                           Quote(items.front());
    items.pop_front();
}

// The colour the window shows at a client point, as RRGGBB.
static std::string ClientPixel(int x, int y) {
    PumpMessages();
    HDC dc = GetDC(g_host.window);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(g_host.window, dc);
    if (c == CLR_INVALID) return "outside";
    char text[8];
    snprintf(text, sizeof text, "%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
    return text;
}

static int Menu(const Statement& s, std::string&) {
    SendMessageA(g_host.window, WM_COMMAND, strtoul(s.words[1].c_str(), nullptr, 10), 0);
    return 0;
}

static int Wait(const Statement& s, std::string&) {
    WaitPumping(strtoul(s.words[1].c_str(), nullptr, 10));
    return 0;
}

static int Clip(const Statement& s, std::string& error) {
    if (!PutClipboard(Joined(s.words, 1))) error = "the clipboard could not be set";
    return 0;
}

static int Snap(const Statement& s, std::string& error) {
    PumpMessages();
    if (!SaveClientPicture(g_host.window, s.words[1])) error = "the picture could not be saved";
    else if (!g_host.quiet) Say(stdout, "saved " + s.words[1]);
    return 0;
}

static int ListBox(const Statement& s, std::string& error) {
    if (!FillListBox(s.words)) error = "the list box could not be made";
    return 0;
}

// An answer kept under a name may end in CR LF (GETLASTERROR, FILEREAD): shown as
// \x0D\x0A, as answers are, it cannot break the output's lines.
static int Echo(const Statement& s, std::string&) {
    Say(stdout, Visible(Joined(s.words, 1)));
    return 0;
}

static int Expect(const Statement& s, std::string& error) {
    std::string rest = Joined(s.words, 1);
    if (g_host.lastAnswer != rest) error = "expected " + Quote(rest) + ", got " + Quote(g_host.lastAnswer);
    return 0;
}

static int Size(const Statement& s, std::string&) {
    ResizeClient(atoi(s.words[1].c_str()), atoi(s.words[2].c_str()));
    return 0;
}

static int Event(const Statement& s, std::string& error) {
    CheckOldest(g_host.events, s.words.size() > 1, Joined(s.words, 1), "event", error);
    return 0;
}

static int Box(const Statement& s, std::string& error) {
    std::string expected = s.words.size() > 1 ? "[" + s.words[1] + "] " + Joined(s.words, 2) : "";
    CheckOldest(g_host.boxes, s.words.size() > 1, expected, "box", error);
    return 0;
}

static int Pixel(const Statement& s, std::string& error) {
    std::string seen = ClientPixel(atoi(s.words[1].c_str()), atoi(s.words[2].c_str()));
    if (lstrcmpiA(seen.c_str(), s.words[3].c_str()) != 0)
        error = "pixel " + s.words[1] + " " + s.words[2] + ": expected " + s.words[3] + ", got " + seen;
    return 0;
}

static int Status(const Statement& s, std::string& error) {
    if (std::to_string(g_host.lastStatus) != s.words[1])
        error = "expected status " + s.words[1] + ", got " + std::to_string(g_host.lastStatus);
    return 0;
}

static int ErrorText(const Statement& s, std::string& error) {
    std::string expected = SystemText(strtoul(s.words[1].c_str(), nullptr, 10));
    if (g_host.lastAnswer != expected) error = "expected " + Quote(expected) + ", got " + Quote(g_host.lastAnswer);
    return 0;
}

// .set NAME TEXT keeps a text under a name, as "NAME = statement" keeps an answer.
static int Set(const Statement& s, std::string&) {
    SetName(s.words[1], Joined(s.words, 2));
    return 0;
}

// The host's directives with the number of words each takes, its name included.
// .while and .end are read with the script (they steer the run, see RunScript).
struct Directive {
    const char* name;
    size_t minWords, maxWords;
    int (*run)(const Statement& s, std::string& error);
};
static const size_t kAny = 1000;
static const Directive kDirectives[] = {
    {"menu", 2, 2, Menu},       {"wait", 2, 2, Wait},       {"clip", 1, kAny, Clip},
    {"snap", 2, 2, Snap},       {"listbox", 1, kAny, ListBox}, {"echo", 1, kAny, Echo},
    {"expect", 1, kAny, Expect}, {"size", 3, 3, Size},      {"event", 1, kAny, Event},
    {"box", 1, kAny, Box},      {"pixel", 4, 4, Pixel},     {"status", 2, 2, Status},
    {"errortext", 2, 2, ErrorText}, {"set", 2, kAny, Set},  {"end", 1, 1, nullptr},
};

static const Directive* FindDirective(const Statement& s) {
    for (const Directive& d : kDirectives)
        if (s.words[0] == d.name && s.words.size() >= d.minWords && s.words.size() <= d.maxWords) return &d;
    return nullptr;
}

// The value of a host word: the window's handle, or a coordinate of the client area's
// top left corner, on the screen (CLIENT) or from the window's own corner, frame and
// title bar included (FRAME, as GETPIXEL counts with the handle).
bool HostWordValue(const std::string& name, long& value) {
    POINT origin = {0, 0};
    ClientToScreen(g_host.window, &origin);
    RECT frame = {};
    GetWindowRect(g_host.window, &frame);
    if (name == "HWND") value = static_cast<long>(reinterpret_cast<UINT_PTR>(g_host.window));
    else if (name == "CLIENTX") value = origin.x;
    else if (name == "CLIENTY") value = origin.y;
    else if (name == "FRAMEX") value = origin.x - frame.left;
    else if (name == "FRAMEY") value = origin.y - frame.top;
    else return false;
    return true;
}

static void RunCall(const Statement& s) {
    std::string block = MakeBlock(s.words);
    std::string shown;
    if (s.function) {
        const char* answer = g_host.dll.funcProc(block.data());
        g_host.lastAnswer = answer ? answer : "";
        g_host.lastStatus = g_host.dll.statProc();
        shown = Quote(g_host.lastAnswer);
    } else {
        g_host.lastAnswer = std::to_string(g_host.dll.commandProc(block.data()));
        g_host.lastStatus = g_host.dll.statProc();
        shown = g_host.lastAnswer;
    }
    Say(stdout, (g_host.quiet ? "" : s.text + "  -> ") + shown + "  [status " + std::to_string(g_host.lastStatus) + "]");
}

// Reads the whole script, converts it to the ANSI code page and checks it: each
// statement's syntax, its directives and its loops, and the warnings of every
// statement. Answers 0, or 2 after a syntax error (nothing has run then).
static int ReadScript(FILE* input, const char* name, std::vector<Statement>& script) {
    std::string text;
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, input)) > 0;) text.append(buffer, n);
    std::vector<int> lossyLines;
    ScriptToAnsi(text, lossyLines);
    std::string where = std::string(name) + ":";
    for (int line : lossyLines)
        Say(stderr, where + std::to_string(line) + ": warning: a character the ANSI code page (" +
                        std::to_string(GetACP()) + ") cannot hold is passed as ?");
    int errorLine = 0;
    std::string error;
    if (!ParseScript(text, script, errorLine, error)) {
        Say(stderr, where + std::to_string(errorLine) + ": syntax error: " + error);
        return 2;
    }
    std::vector<std::string> kept;
    for (const Statement& s : script) {
        if (!s.name.empty()) kept.push_back(s.name);
        if (s.directive && s.words[0] == "set" && s.words.size() > 1) kept.push_back(s.words[1]);
    }
    for (const Statement& s : script) {
        if (s.directive && !FindDirective(s)) {
            Say(stderr, where + std::to_string(s.line) +
                            ": syntax error: unknown directive or wrong number of words: ." + s.words[0]);
            return 2;
        }
        if (s.directive && s.words[0] == "set" && (!IsName(s.words[1]) || IsHostWord(s.words[1]))) {
            Say(stderr, where + std::to_string(s.line) + ": syntax error: .set needs a name (a letter or _, then "
                                                          "letters, digits or _, not a word of the host), not " +
                            Quote(s.words[1]));
            return 2;
        }
        std::string hidden = s.directive ? "" : EmptyWordHidingOthers(s.words, s.words);
        if (!hidden.empty()) {
            Say(stderr, where + std::to_string(s.line) + ": syntax error: " + hidden);
            return 2;
        }
        for (const std::string& warning : StatementWarnings(s))
            Say(stderr, where + std::to_string(s.line) + ": warning: " + warning);
        for (const std::string& warning : UnkeptNames(s.words, kept))
            Say(stderr, where + std::to_string(s.line) + ": warning: " + warning);
    }
    return 0;
}

// Runs the statements; answers the process exit code: 1 for a check that failed or a
// loop that reached its cap, 2 for a substitution that cannot be made or that leaves
// an empty word before others (the statement does not run then).
static int RunScript(const std::vector<Statement>& script, const char* name) {
    std::vector<int> turns(script.size(), 0);
    bool again = false;  // the statement is a loop's head reached from its .end
    for (size_t at = 0; at < script.size();) {
        const Statement& s = script[at];
        std::string where = std::string(name) + ":" + std::to_string(s.line) + ": ";
        if (s.directive && s.words[0] == "end") {
            at = s.jump;
            again = true;
            continue;
        }
        Statement run = s;
        std::string error;
        for (std::string& word : run.words) {
            std::string value;
            if (!Substituted(word, value, error)) {
                Say(stderr, where + error);
                return 2;
            }
            word = value;
        }
        std::string hidden = s.directive ? "" : EmptyWordHidingOthers(s.words, run.words);
        if (!hidden.empty()) {
            Say(stderr, where + hidden);
            return 2;
        }
        if (s.directive) {
            int code = FindDirective(s)->run(run, error);
            if (!error.empty()) {
                Say(stderr, where + error);
                return code ? code : 1;
            }
        } else {
            RunCall(run);
            if (!s.name.empty()) SetName(s.name, g_host.lastAnswer);
            if (s.loopCap) {
                if (!again) turns[at] = 0;
                again = false;
                if (g_host.lastAnswer.empty()) {
                    at = s.jump;
                    continue;
                }
                if (++turns[at] > s.loopCap) {
                    Say(stderr, where + ".while ran its " + std::to_string(s.loopCap) +
                                    " turns and the answer is still not empty (a larger cap, if the rows are that many)");
                    return 1;
                }
            }
        }
        again = false;
        PumpMessages();
        ++at;
    }
    return 0;
}

// The TRAKX.dll in this program's own folder.
static std::string LibraryBesideHost() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/")) + "\\TRAKX.dll";
}

// The FileVersion text of a file's version resource, in the resource's first
// language; empty when the file or its resource is missing.
static std::string FileVersionOf(const std::string& path) {
    DWORD unused = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &unused);
    if (size == 0) return "";
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, info.data())) return "";
    WORD* translation = nullptr;  // language, code page
    UINT length = 0;
    if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
        length < 2 * sizeof(WORD))
        return "";
    char key[64];
    snprintf(key, sizeof key, "\\StringFileInfo\\%04X%04X\\FileVersion", translation[0], translation[1]);
    char* text = nullptr;
    if (!VerQueryValueA(info.data(), key, reinterpret_cast<void**>(&text), &length) || !text) return "";
    return text;
}

static void PrintVersions() {
    printf("trakx-host %s\n", TRAKX_VERSION_TEXT);
    std::string library = FileVersionOf(LibraryBesideHost());
    printf("TRAKX.dll %s\n", library.empty() ? "(not found beside the host, or without a version)" : library.c_str());
}

static bool LoadTheLibrary() {
    g_host.library = LoadLibraryA(LibraryBesideHost().c_str());
    if (!g_host.library) g_host.library = LoadLibraryA("TRAKX.dll");
    if (!g_host.library) return false;
    return LoadTrakxExports(g_host.library, &g_host.dll);
}

static HWND MakeWindow() {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "TrakxHostWindow";
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    RegisterClassA(&wc);
    RECT r = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    return CreateWindowA(wc.lpszClassName, "TRAKX host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 30, 30, r.right - r.left,
                         r.bottom - r.top, nullptr, nullptr, wc.hInstance, nullptr);
}

int main(int argc, char** argv) {
    bool testMode = false;
    const char* scriptPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-t") == 0) testMode = true;
        else if (strcmp(argv[i], "-q") == 0) g_host.quiet = true;
        else if (strcmp(argv[i], "--lf") == 0) {
            // Lines end in LF alone, as the terminal and the tools of Linux expect.
            _setmode(_fileno(stdout), _O_BINARY);
            _setmode(_fileno(stderr), _O_BINARY);
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            printf("usage: trakx-host [-t] [-q] [--lf] [script | -]\n"
                   "       trakx-host --version\n"
                   "  -t    the library's test mode (its init text starts with T)\n"
                   "  -q    quiet: print answers, events and boxes, not the statements or init\n"
                   "  --lf  end output lines in LF alone (as on Linux), not CR LF\n"
                   "  -     read the script from standard input (also when none is named)\n"
                   "The whole script is read and checked before it runs; a script in UTF-8 is\n"
                   "converted to the ANSI code page, and the output is written in UTF-8.\n"
                   "Words %%HWND%%, %%CLIENTX%%, %%CLIENTY%%, %%FRAMEX%%, %%FRAMEY%% (and %%CLIENTX+N%% ...)\n"
                   "in a statement become the window's handle and its client area's origin;\n"
                   "? NAME = ... keeps an answer, %%NAME%%, %%NAME.2%% (a |-field), %%NAME-60%% read it;\n"
                   ".while CAP ? statement ... .end repeats while the answer is not empty.\n");
            return 0;
        } else if (strcmp(argv[i], "--version") == 0) {
            PrintVersions();
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            // A misspelt option (--fersh) would otherwise be taken as the script's name
            // and quietly replaced by the one after it.
            fprintf(stderr, "trakx-host: unknown option %s (-h lists them)\n", argv[i]);
            return 2;
        } else if (scriptPath) {
            fprintf(stderr, "trakx-host: one script at a time: %s and %s\n", scriptPath, argv[i]);
            return 2;
        } else scriptPath = argv[i];
    }
    SetConsoleOutputCP(CP_UTF8);
    FILE* input = stdin;
    if (scriptPath && strcmp(scriptPath, "-") != 0) {
        input = fopen(scriptPath, "rb");
        if (!input) {
            fprintf(stderr, "trakx-host: cannot open %s\n", scriptPath);
            return 2;
        }
    } else {
        _setmode(_fileno(stdin), _O_BINARY);
    }
    const char* name = scriptPath ? scriptPath : "stdin";
    std::vector<Statement> script;
    int code = ReadScript(input, name, script);
    if (input != stdin) fclose(input);
    if (code) return code;

    // Without its window the host cannot run a script truthfully: the library would
    // draw nowhere and every window answer would be wrong.
    g_host.window = MakeWindow();
    if (!g_host.window) {
        DWORD error = GetLastError();
        Say(stderr, "trakx-host: the host's window could not be made (error " + std::to_string(error) + ": " +
                        OneLine(SystemText(error).c_str()) + "); is the display running? Nothing was run");
        return 2;
    }
    g_host.boxHook = SetWindowsHookExA(WH_CBT, BoxHook, nullptr, GetCurrentThreadId());
    PumpMessages();
    if (!LoadTheLibrary()) {
        fprintf(stderr, "trakx-host: TRAKX.dll could not be loaded\n");
        return 2;
    }
    std::string initText = (testMode ? "T" : "") + std::to_string(reinterpret_cast<UINT_PTR>(g_host.window));
    int maxArgs = 0, maxString = 0;
    const char* ready = g_host.dll.init(0, OnEvent, initText.c_str(), &maxArgs, &maxString);
    if (!g_host.quiet)
        Say(stdout, "init " + Quote(initText) + " -> " + Quote(ready ? ready : "") + " (arguments " +
                        std::to_string(maxArgs) + ", text size " + std::to_string(maxString) + ")");
    if (!ready || !*ready) {
        Say(stderr, "trakx-host: the library's Init failed (it answered no text); nothing was run");
        code = 2;
    } else {
        code = RunScript(script, name);
    }
    FreeLibrary(g_host.library);
    if (!g_host.quiet) Say(stdout, "unloaded");
    UnhookWindowsHookEx(g_host.boxHook);
    DestroyWindow(g_host.window);
    return code;
}
