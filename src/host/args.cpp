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
// Earlier substituted arguments follow the buffer if realloc moves it.
static bool SubstituteClipboard(int i, bool* substituted) {
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
            if (substituted[j]) host.args[j] = grown;
        host.args[i] = grown;
        substituted[i] = true;
        copied = true;
    }

    if (host.clipboardText) GlobalUnlock(data);
    CloseClipboard();
    host.clipboardText = nullptr;
    return copied;
}

int SplitArguments(const char* block) {
    HostState& host = g_state.host;
    bool substituted[MaxArgs] = {};
    const char* cursor = block ? block : kEmpty;
    for (int i = 0; i < MaxArgs; ++i) {
        host.args[i] = cursor;
        if (*cursor) cursor += strlen(cursor) + 1;
        if (SameWord(host.args[i], kClipboardWord) && !SubstituteClipboard(i, substituted)) {
            host.statusCode = StatusClipboardFailed;
            return host.statusCode;
        }
    }
    return host.statusCode;
}

void ResetForCall() {
    g_state.host.resultBuffer[0] = '\0';
    // Gives up the previous raw answer; a failed shrink keeps the larger block.
    if (char* shrunk = static_cast<char*>(realloc(g_state.file.rawDataBuffer, ShrunkRawDataBytes)))
        g_state.file.rawDataBuffer = shrunk;
}
