// Menu bar, popups and the window hook's state.
#pragma once

#include <windows.h>

constexpr int MenuCount = 100;      // menu numbers 1..100
constexpr int MenuNameBytes = 64;   // caption, then event name
constexpr int DefaultIdFactor = 10000;
constexpr int HookStubBytes = 16;   // the window procedure stub in front of the hook

struct MenuState {
    HMENU menuBar;
    // Indexed by menu number; entry 0 is never used.
    HMENU menuHandles[MenuCount + 1];
    char menuNames[MenuCount + 1][MenuNameBytes];
    int idFactor = DefaultIdFactor;
    WNDPROC previousWindowProc;
    HWND hookedWindow;             // null once the hook took itself out
    unsigned char* hookStub;       // executable page the window points at
};
