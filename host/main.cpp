// trakx-host [-t] [-q] [script | -]    or    trakx-host --version
// Runs a script against TRAKX.dll in a window of its own. Without a script (or with
// "-") it reads statements from standard input. -t turns the library's test mode on;
// -q prints only answers, events and boxes, not the statements. Statements the
// library would take silently but that look mistaken are warned about on stderr.
// --version prints the host's version and that of the TRAKX.dll beside it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

static void __cdecl OnEvent(const char* name) {
    g_host.events.push_back(name ? name : "(null)");
    printf("event: %s\n", g_host.events.back().c_str());
    fflush(stdout);
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
        printf("box: %s\n", g_host.boxes.back().c_str());
        fflush(stdout);
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
    if (!g_host.quiet) printf("list box %s\n", handle.c_str());
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

// Runs one host directive; answers the exit code with an error text when it cannot:
// 2 for a directive the host does not have (or one with the wrong number of words),
// a mistake in the script's text as a syntax error is; 1 for a check that failed.
static int RunDirective(const Statement& s, std::string& error) {
    const std::string& name = s.words[0];
    std::string rest = Joined(s.words, 1);
    if (name == "menu" && s.words.size() == 2) {
        SendMessageA(g_host.window, WM_COMMAND, strtoul(s.words[1].c_str(), nullptr, 10), 0);
    } else if (name == "wait" && s.words.size() == 2) {
        WaitPumping(strtoul(s.words[1].c_str(), nullptr, 10));
    } else if (name == "clip") {
        if (!PutClipboard(rest)) error = "the clipboard could not be set";
    } else if (name == "snap" && s.words.size() == 2) {
        PumpMessages();
        if (!SaveClientPicture(g_host.window, s.words[1])) error = "the picture could not be saved";
        else if (!g_host.quiet) printf("saved %s\n", s.words[1].c_str());
    } else if (name == "listbox") {
        if (!FillListBox(s.words)) error = "the list box could not be made";
    } else if (name == "echo") {
        printf("%s\n", rest.c_str());
    } else if (name == "expect") {
        if (g_host.lastAnswer != rest) error = "expected " + Quote(rest) + ", got " + Quote(g_host.lastAnswer);
    } else if (name == "size" && s.words.size() == 3) {
        ResizeClient(atoi(s.words[1].c_str()), atoi(s.words[2].c_str()));
    } else if (name == "event") {
        CheckOldest(g_host.events, s.words.size() > 1, rest, "event", error);
    } else if (name == "box") {
        std::string expected = s.words.size() > 1 ? "[" + s.words[1] + "] " + Joined(s.words, 2) : "";
        CheckOldest(g_host.boxes, s.words.size() > 1, expected, "box", error);
    } else if (name == "pixel" && s.words.size() == 4) {
        std::string seen = ClientPixel(atoi(s.words[1].c_str()), atoi(s.words[2].c_str()));
        if (lstrcmpiA(seen.c_str(), s.words[3].c_str()) != 0)
            error = "pixel " + s.words[1] + " " + s.words[2] + ": expected " + s.words[3] + ", got " + seen;
    } else if (name == "status" && s.words.size() == 2) {
        if (std::to_string(g_host.lastStatus) != s.words[1])
            error = "expected status " + s.words[1] + ", got " + std::to_string(g_host.lastStatus);
    } else if (name == "errortext" && s.words.size() == 2) {
        std::string expected = SystemText(strtoul(s.words[1].c_str(), nullptr, 10));
        if (g_host.lastAnswer != expected)
            error = "expected " + Quote(expected) + ", got " + Quote(g_host.lastAnswer);
    } else {
        error = "syntax error: unknown directive or wrong number of words: ." + name;
        return 2;
    }
    return error.empty() ? 0 : 1;
}

// The value of a host word: the window's handle, or a coordinate of the client area's
// top left corner, on the screen (CLIENT) or from the window's own corner, frame and
// title bar included (FRAME, as GETPIXEL counts with the handle).
static bool HostWordValue(const std::string& name, long& value) {
    POINT origin = {0, 0};
    ClientToScreen(g_host.window, &origin);
    RECT frame;
    GetWindowRect(g_host.window, &frame);
    if (name == "HWND") value = static_cast<long>(reinterpret_cast<UINT_PTR>(g_host.window));
    else if (name == "CLIENTX") value = origin.x;
    else if (name == "CLIENTY") value = origin.y;
    else if (name == "FRAMEX") value = origin.x - frame.left;
    else if (name == "FRAMEY") value = origin.y - frame.top;
    else return false;
    return true;
}

// Replaces each %NAME% or %NAME+N% (or -N) of a host word in the text by its value in
// decimal; any other text between % signs stays as it is.
static std::string Substituted(const std::string& word) {
    std::string out;
    size_t i = 0;
    while (i < word.size()) {
        size_t open = word.find('%', i), close = open == std::string::npos ? open : word.find('%', open + 1);
        if (close == std::string::npos) break;
        std::string inside = word.substr(open + 1, close - open - 1);
        size_t sign = inside.find_first_of("+-");
        long value = 0, offset = 0;
        char* end = nullptr;
        bool numberOk = sign == std::string::npos ||
                        (sign + 1 < inside.size() && (offset = strtol(inside.c_str() + sign, &end, 10), *end == '\0'));
        if (numberOk && HostWordValue(inside.substr(0, sign), value)) {
            out += word.substr(i, open - i) + std::to_string(value + offset);
            i = close + 1;
        } else {
            out += word.substr(i, close - i);  // the closing % may open a word
            i = close;
        }
    }
    return out + word.substr(i);
}

static void RunCall(const Statement& s, const std::string& line) {
    std::string block = MakeBlock(s.words);
    if (s.function) {
        const char* answer = g_host.dll.funcProc(block.data());
        g_host.lastAnswer = answer ? answer : "";
        g_host.lastStatus = g_host.dll.statProc();
        printf("%s%s  [status %d]\n", g_host.quiet ? "" : (line + "  -> ").c_str(), Quote(g_host.lastAnswer).c_str(),
               g_host.lastStatus);
    } else {
        int answer = g_host.dll.commandProc(block.data());
        g_host.lastAnswer = std::to_string(answer);
        g_host.lastStatus = g_host.dll.statProc();
        printf("%s%d  [status %d]\n", g_host.quiet ? "" : (line + "  -> ").c_str(), answer, g_host.lastStatus);
    }
    fflush(stdout);
}

static std::string Trimmed(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    return start == std::string::npos ? "" : line.substr(start);
}

// Runs every statement of the input; answers the process exit code.
static int RunScript(FILE* input, const char* name) {
    char buffer[65536];
    int lineNumber = 0;
    while (fgets(buffer, sizeof buffer, input)) {
        ++lineNumber;
        std::string line = Trimmed(buffer);
        Statement s;
        std::string error;
        if (!ParseLine(line, s, error)) {
            fprintf(stderr, "%s:%d: syntax error: %s\n", name, lineNumber, error.c_str());
            return 2;
        }
        if (s.words.empty()) continue;
        for (std::string& word : s.words) word = Substituted(word);
        for (const std::string& warning : StatementWarnings(s))
            fprintf(stderr, "%s:%d: warning: %s\n", name, lineNumber, warning.c_str());
        fflush(stderr);
        if (s.directive) {
            if (int code = RunDirective(s, error)) {
                fprintf(stderr, "%s:%d: %s\n", name, lineNumber, error.c_str());
                return code;
            }
        } else {
            RunCall(s, line);
        }
        PumpMessages();
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
        else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            printf("usage: trakx-host [-t] [-q] [script | -]\n"
                   "       trakx-host --version\n"
                   "  -t  the library's test mode (its init text starts with T)\n"
                   "  -q  quiet: print answers, events and boxes, not the statements or init\n"
                   "  -   read the script from standard input (also when none is named)\n"
                   "Words %%HWND%%, %%CLIENTX%%, %%CLIENTY%%, %%FRAMEX%%, %%FRAMEY%% (and %%CLIENTX+N%% ...)\n"
                   "in a statement become the window's handle and its client area's origin.\n");
            return 0;
        } else if (strcmp(argv[i], "--version") == 0) {
            PrintVersions();
            return 0;
        } else scriptPath = argv[i];
    }
    FILE* input = stdin;
    if (scriptPath && strcmp(scriptPath, "-") != 0) {
        input = fopen(scriptPath, "rb");
        if (!input) {
            fprintf(stderr, "trakx-host: cannot open %s\n", scriptPath);
            return 2;
        }
    }

    g_host.window = MakeWindow();
    g_host.boxHook = SetWindowsHookExA(WH_CBT, BoxHook, nullptr, GetCurrentThreadId());
    PumpMessages();
    if (!LoadTheLibrary()) {
        fprintf(stderr, "trakx-host: TRAKX.dll could not be loaded\n");
        return 2;
    }
    std::string initText = (testMode ? "T" : "") + std::to_string(reinterpret_cast<UINT_PTR>(g_host.window));
    int maxArgs = 0, maxString = 0;
    const char* ready = g_host.dll.init(0, OnEvent, initText.c_str(), &maxArgs, &maxString);
    if (!g_host.quiet) printf("init %s -> %s (arguments %d, text size %d)\n", Quote(initText).c_str(),
                              Quote(ready ? ready : "").c_str(), maxArgs, maxString);

    int code = RunScript(input, scriptPath ? scriptPath : "stdin");
    if (input != stdin) fclose(input);
    FreeLibrary(g_host.library);
    if (!g_host.quiet) printf("unloaded\n");
    UnhookWindowsHookEx(g_host.boxHook);
    DestroyWindow(g_host.window);
    return code;
}
