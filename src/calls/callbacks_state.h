// Callbacks a foreign function can call: fixed entry points in the library's code
// that collect their arguments as rows and, when asked, report each call to the
// host as an event through the window hook.
#pragma once

#include <windows.h>

#include "calls_state.h"

constexpr int CallbackCount = 32;         // callback numbers 1..32
constexpr int CallbackRowLimit = 1000;    // rows kept per callback; later calls are dropped
constexpr int CallbackEventBytes = 256;   // an event name, terminator included
constexpr int CallbackRowBytes = 4048;    // one row, terminator included (an answer's size)
// Events of all callbacks waiting in the host's queue at once: half the system's
// default quota of messages posted to one thread (10,000), the rest for the host.
constexpr int CallbackEventLimit = 5000;

// The value a callback answers to every call.
struct CallbackResult {
    bool isReal;        // float or double: answered on the x87 stack
    DWORD words[2];     // EAX, EDX
    double real;
};

struct Callback {
    bool declared;
    Prototype proto;    // its stackBytes is what the entry removes on return: 0 for __cdecl
    CallbackResult result;
    char event[CallbackEventBytes];  // "" for none
    HWND window;        // where events are posted
    DWORD generation;   // raised by each declaration: events of an older one are not reported
    char* rows[CallbackRowLimit];  // a ring of heap texts
    int firstRow;
    int rowCount;
    DWORD dropped;      // calls past the limit, and calls while never declared
};

// Everything the callback entries touch, under one lock: a call may come from any
// thread, and nothing else of the library's state is read or written on its way.
struct CallbacksState {
    CRITICAL_SECTION lock;
    bool lockReady;
    UINT eventMessage;  // registered at load; 0: events cannot be posted
    int pendingEvents;  // posted by any callback, not yet dispatched
    Callback table[CallbackCount];
    char row[CallbackRowBytes];          // the row being formatted (under the lock)
    WCHAR wideText[CallbackRowBytes];    // scratch of the wide-text reader (under the lock)
    char piece[CallbackRowBytes];        // one argument's text (under the lock)
};

// What the C++ side hands back to the entry (callback_x86.S reads it by these offsets).
struct CallbackAnswer {
    DWORD eax;          // +0
    DWORD edx;          // +4
    double real;        // +8
    DWORD isReal;       // +16
    DWORD removeBytes;  // +20
};
