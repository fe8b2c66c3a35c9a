// SAVEFILE: the items of a list box control written to a text file, one line each.
#include <stdlib.h>
#include <string.h>

#include "files.h"

#include "../host/handlers.h"
#include "../host/text.h"

static const char kLineEnd[] = "\r\n";
constexpr DWORD LineEndBytes = 2;

// The list box named by Args[1], decimal digits with an optional leading "%"
// (skipped in place: the host's text is not changed).
static HWND ListBoxFromArgs() {
    const char* text = Arg(1);
    if (*text == '%') ++text;
    return reinterpret_cast<HWND>(ReadLong(text));
}

// A line buffer able to hold `textLength` characters, the line end and a NUL.
static bool FitLine(char** line, LRESULT* capacity, LRESULT textLength) {
    if (textLength + 3 <= *capacity) return true;
    char* grown = static_cast<char*>(realloc(*line, textLength + 3));
    if (!grown) return false;
    *line = grown;
    *capacity = textLength + 3;
    return true;
}

// Writes every item followed by CR LF; answers false at the first item that cannot
// be read or written (the lines before it stay in the file).
static bool WriteItems(HWND box, LRESULT count, HANDLE file) {
    char* line = nullptr;
    LRESULT capacity = 0;
    bool ok = true;
    for (LRESULT i = 0; ok && i < count; ++i) {
        // LB_GETTEXT has no size limit: the item is measured again just before it
        // is copied, so a box changed meanwhile cannot overrun the line.
        LRESULT length = SendMessageA(box, LB_GETTEXTLEN, i, 0);
        ok = length != LB_ERR && FitLine(&line, &capacity, length);
        if (!ok) break;
        length = SendMessageA(box, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line));
        if (length == LB_ERR || length + 3 > capacity) {
            ok = false;
            break;
        }
        memcpy(line + length, kLineEnd, LineEndBytes + 1);
        DWORD written = 0;
        ok = WriteFile(file, line, static_cast<DWORD>(length) + LineEndBytes, &written, nullptr) != FALSE;
    }
    DWORD error = GetLastError();
    free(line);
    SetLastError(error);
    return ok;
}

// SAVEFILE box path: -1 when the handle is not a window, the box reports an error
// or has no items (no file is made then), the file cannot be made, or a write or
// the close fails; else 0. An existing file of that name is replaced.
int FileSaveListBox() {
    HWND box = ListBoxFromArgs();
    g_state.file.lastListBox = box;
    if (!IsWindow(box)) return -1;
    LRESULT count = SendMessageA(box, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR || count < 1) return -1;

    HANDLE file = CreateFileA(Arg(2), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return -1;
    bool saved = WriteItems(box, count, file);
    DWORD error = GetLastError();
    bool closed = CloseHandle(file) != FALSE;
    if (!saved) SetLastError(error);
    return saved && closed ? 0 : -1;
}
