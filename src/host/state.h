// The library's one state record. Every table is fixed-size and lives as long as
// the library; the few heap blocks are named here and resized only by their owners.
#pragma once

#include <windows.h>

#include "../menu/menu_state.h"
#include "../draw/draw_state.h"
#include "../vars/vars_state.h"
#include "../file/file_state.h"
#include "../calls/calls_state.h"
#include "../calls/callbacks_state.h"
#include "../com/com_state.h"
#include "../com/interfaces_state.h"

constexpr int MaxArgs = 30;      // arguments split from one block
constexpr int MaxString = 4048;  // every text field, terminator included

// Status codes read by StatProc.
constexpr int StatusOk = 0;
constexpr int StatusClipboardFailed = 1000;
constexpr int StatusNoWindowDC = 1001;
constexpr int StatusNoSurface = 1002;
constexpr int StatusForeignFault = 1003;  // a foreign callee raised an exception it did not handle
constexpr int StatusStackMismatch = 1004; // a typed callee did not keep to its prototype
constexpr int StatusBadValue = 1005;      // a text did not fit its type, or a place lay outside its buffer
constexpr int StatusComFailed = 1006;     // an automation object refused a call, or COM could not serve it
constexpr int StatusComEnd = 1007;        // an enumerator or event list has nothing more

// Initial sizes of the three heap blocks made by Init.
constexpr int InitialReadBufferBytes = 4026;
constexpr int InitialReadBufferSize = 4024;
constexpr int InitialRawDataBytes = 8;
constexpr int InitialClipboardBytes = 8;
constexpr int ShrunkRawDataBytes = 2;

typedef void(__cdecl* HostCallbackFn)(const char* eventName);

struct HostState {
    int statusCode;
    BOOL processorHasSse;  // MXCSR exists; asked once at load, kept by every thunk
    bool testMode;
    HWND hostWindow;
    HostCallbackFn hostCallback;
    const char* args[MaxArgs];  // the first argCount arguments of the block
    int argCount;
    const char* argsEnd;        // the empty text that ends the block
    char resultBuffer[MaxString];
    char* clipboardBuffer;
    char* clipboardText;  // locked clipboard data, only during one substitution
    char sliceBuffer[MaxString];
};

struct ExtensionState {
    HostState host;
    MenuState menu;
    DrawingState draw;
    VarsState vars;
    FileState file;
    CallsState calls;
    CallbacksState callbacks;
    ComState com;
    InterfacesState interfaces;
};

extern ExtensionState g_state;

// The split argument i (0 is the keyword); never null after a successful split.
// Past the block's end every argument is the empty text that ends it.
inline const char* Arg(int i) {
    return i < g_state.host.argCount ? g_state.host.args[i] : g_state.host.argsEnd;
}
