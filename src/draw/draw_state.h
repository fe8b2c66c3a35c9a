// Drawing state and the off-screen surface.
#pragma once

#include <windows.h>

struct DrawingState {
    bool drawOffscreen;  // load value: drawing goes to the window at once
    HDC windowDC;
    HDC offscreenDC;
    HBITMAP offscreenBitmap;
    HBITMAP previousBitmap;
    RECT clientRect;
    int surfaceWidth;
    int surfaceHeight;
};
