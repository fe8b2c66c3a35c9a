// Drawing state: the off-screen surface that every DRAW call draws into, and the
// pen, fill and font that the drawing sub-commands use.
#pragma once

#include <windows.h>

// Text fields of the drawing state, terminator included. A style field longer than
// the longest style word (10 characters) keeps an over-long word too long to name one.
constexpr int PenStyleBytes = 16;
constexpr int FontStyleBytes = 16;
constexpr int FontFaceBytes = 48;  // the font itself takes the first LF_FACESIZE - 1

constexpr int InitialPenWidth = 1;
constexpr int DefaultCornerSize = 30;  // ROUNDRECT corner width and height when not given

struct DrawingState {
    // The surface: a memory context holding a bitmap of the client size. It lives
    // from one DRAW call to the next; the window's context lives within one call.
    bool drawOffscreen;  // load value: every drawing is copied to the window
    HDC windowDC;
    HDC offscreenDC;
    HBITMAP offscreenBitmap;
    HBITMAP previousBitmap;  // the memory context's own bitmap, put back before deleting it
    RECT clientRect;
    int surfaceWidth;
    int surfaceHeight;

    // Pen, fill and font, set by DRAW PEN, FILL and FONT.
    COLORREF penColor;
    char penStyle[PenStyleBytes];
    unsigned char penWidth = InitialPenWidth;
    COLORREF fillColor;
    COLORREF fontColor;
    char fontStyle[FontStyleBytes];
    unsigned char fontSize;
    char fontFace[FontFaceBytes];
};
