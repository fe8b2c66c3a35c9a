// Loading other libraries, binding their exported functions to numbers, releasing them.
#include <string.h>

#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "vars.h"

static const char kLoadFailed[] = "\n\nCannot load library...";
static const char kBindFailed[] = "\n\nCannot get function address...";

// The library slot of a number 1..10, or null.
static HMODULE* LibrarySlotAt(long number) {
    if (number < 1 || number > LibrarySlotCount) return nullptr;
    return &g_state.vars.librarySlots[number - 1];
}

HMODULE LibraryHandleAt(long number) {
    HMODULE* slot = LibrarySlotAt(number);
    return slot ? *slot : nullptr;
}

// The function slot of a number 1..100, or null.
static FunctionSlot* FunctionSlotAt(long number) {
    if (number < 1 || number > FunctionSlotCount) return nullptr;
    return &g_state.vars.functionSlots[number - 1];
}

// Shows "<name>\n\n<message>" with no owner, built in the result buffer (the name
// is cut so that the message always fits), and keeps the failure's last-error code
// for GETLASTERROR.
static void ShowFailure(const char* name, const char* message, const char* caption, UINT style,
                        DWORD lastError) {
    char* text = g_state.host.resultBuffer;
    size_t length = CopyBounded(text, MaxString - strlen(message), name);
    strcpy(text + length, message);
    MessageBoxA(nullptr, text, caption, style);
    text[0] = '\0';
    SetLastError(lastError);
}

// DLLLOAD number path: loads the library into the number; a library held there
// before stays loaded and is forgotten. A number outside 1..10 answers -1; a
// failed load empties the slot, shows a box and answers -1.
int LibraryLoad() {
    HMODULE* slot = LibrarySlotAt(ReadLong(Arg(1)));
    if (!slot) return -1;
    *slot = LoadLibraryA(Arg(2));
    if (!*slot) {
        DWORD lastError = GetLastError();
        ShowFailure(Arg(2), kLoadFailed, "DLLLOAD", MB_OK | MB_TOPMOST, lastError);
        return -1;
    }
    return 0;
}

// DLLINITFUNC library function name: binds the function number to the exported
// name. Numbers outside their tables answer -1; a name not found (or longer than
// 255 characters) empties the entry's address, shows a box and answers -1.
int LibraryBindFunction() {
    long libraryNumber = ReadLong(Arg(1));
    HMODULE* library = LibrarySlotAt(libraryNumber);
    FunctionSlot* function = FunctionSlotAt(ReadLong(Arg(2)));
    if (!library || !function) return -1;

    const char* name = Arg(3);
    FARPROC entry = nullptr;
    DWORD lastError = ERROR_INVALID_PARAMETER;
    if (strlen(name) < FunctionNameBytes) {
        entry = GetProcAddress(*library, name);
        lastError = GetLastError();
    }
    if (!entry) {
        function->entry = nullptr;
        ShowFailure(name, kBindFailed, "DLLINITFUNC", MB_OK, lastError);
        return -1;
    }
    CopyBounded(function->name, FunctionNameBytes, name);
    function->entry = entry;
    function->library = *library;
    function->libraryNumber = libraryNumber;
    return 0;
}

// DLLUNLOAD number: releases the library once and forgets it together with the
// functions bound from it and the objects whose methods are in it (released first),
// so that none of them can be called into freed code.
// An empty slot does nothing; a number outside 1..10 answers -1. DLLUNLOAD of
// nothing (no number) also releases every object the library holds. While a typed
// call or a call into an object runs (a callee or a modal loop calling back in), it
// answers -1 and releases nothing: the code and objects on the stack stay.
int LibraryUnload() {
    if (g_state.calls.depth || g_state.com.callDepth) return -1;
    long number = ReadLong(Arg(1));
    HMODULE* slot = LibrarySlotAt(number);
    if (!*Arg(1)) ComReleaseAll();
    if (!slot) return -1;
    if (!*slot) return 0;
    for (FunctionSlot& function : g_state.vars.functionSlots) {
        if (function.entry && function.library == *slot && function.libraryNumber == number) {
            function.entry = nullptr;
            function.name[0] = '\0';
        }
    }
    TypedFunctionsForget(*slot, number);
    ComReleaseObjectsOf(*slot);
    FreeLibrary(*slot);
    *slot = nullptr;
    return 0;
}
