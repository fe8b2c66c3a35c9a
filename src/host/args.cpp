// The argument block: split in place, with "!CLIPBOARD!" replaced by the clipboard's
// text read afresh for every such argument.
#include "args.h"

#include <stdlib.h>
#include <string.h>

#include "state.h"
#include "text.h"

static const char kClipboardWord[] = "!CLIPBOARD!";
static const char kEmpty[] = "";

// Replaces argument i by the clipboard text; answers false when it could not.
// Earlier substituted arguments (bit j of *substituted) follow the buffer if
// realloc moves it.
__attribute__((cold, noinline)) static bool SubstituteClipboard(int i, unsigned long* substituted) {
    HostState& host = g_state.host;
    if (!OpenClipboard(host.hostWindow)) return false;

    HANDLE data = GetClipboardData(CF_TEXT);
    host.clipboardText = data ? static_cast<char*>(GlobalLock(data)) : nullptr;
    // Another program may leave the terminator out: measure within the block.
    size_t length = host.clipboardText ? strnlen(host.clipboardText, GlobalSize(data)) : 0;

    bool copied = false;
    char* grown = static_cast<char*>(realloc(host.clipboardBuffer, length + 2));
    if (grown) {
        host.clipboardBuffer = grown;
        if (length) memcpy(grown, host.clipboardText, length);
        grown[length] = '\0';
        for (int j = 0; j < i; ++j)
            if (*substituted & (1UL << j)) host.args[j] = grown;
        host.args[i] = grown;
        *substituted |= 1UL << i;
        copied = true;
    }

    if (host.clipboardText) GlobalUnlock(data);
    CloseClipboard();
    host.clipboardText = nullptr;
    return copied;
}

// Whether a text names the clipboard. Most texts are settled by their first
// character, which no other first character can stand in for when it is plain.
static bool IsClipboardWord(const char* text) {
    unsigned char first = text[0];
    if (first != kClipboardWord[0] && (first == 0 || IsPlainChar(first))) return false;
    return SameKeyword(text, kClipboardWord);
}

int SplitArguments(const char* block) {
    HostState& host = g_state.host;
    static_assert(MaxArgs <= 32, "one bit per argument");
    unsigned long substituted = 0;
    const char* cursor = block ? block : kEmpty;
    int i = 0;
    // The block ends at its first empty text; every argument after it is that same
    // empty text (see Arg), which names no clipboard.
    for (; i < MaxArgs && *cursor; ++i) {
        const char* text = cursor;
        host.args[i] = text;
        while (*++cursor) {
        }
        ++cursor;
        if (!IsClipboardWord(text)) continue;
        // The clipboard calls set the thread's last error; the script's stays.
        DWORD lastError = GetLastError();
        if (!SubstituteClipboard(i, &substituted)) {
            host.argCount = i;
            host.argsEnd = cursor;
            host.statusCode = StatusClipboardFailed;
            return host.statusCode;
        }
        SetLastError(lastError);
    }
    host.argCount = i;
    host.argsEnd = cursor;
    return host.statusCode;
}

void ResetForCall() {
    g_state.host.resultBuffer[0] = '\0';
    // Gives up the previous raw answer; a failed shrink keeps the larger block. A
    // block already shrunk has nothing to give back.
    FileState& file = g_state.file;
    if (file.rawDataShrunk) return;
    DWORD lastError = GetLastError();
    if (char* shrunk = static_cast<char*>(realloc(file.rawDataBuffer, ShrunkRawDataBytes))) {
        file.rawDataBuffer = shrunk;
        file.rawDataShrunk = true;
    }
    SetLastError(lastError);
}
