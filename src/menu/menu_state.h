// Menu bar, popups and the window hook's state.
#pragma once

#include <windows.h>

constexpr int MenuCount = 100;      // menu numbers 1..100
constexpr int MenuNameBytes = 64;   // caption, then event name
constexpr int DefaultIdFactor = 10000;

struct MenuState {
    HMENU menuBar;
    // Indexed by menu number; entry 0 is never used.
    HMENU menuHandles[MenuCount + 1];
    char menuNames[MenuCount + 1][MenuNameBytes];
    int idFactor = DefaultIdFactor;
    WNDPROC previousWindowProc;
    HWND hookedWindow;
};
