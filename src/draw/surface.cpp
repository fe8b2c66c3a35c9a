// The off-screen surface and the frame of every DRAW call: the window's context is
// obtained per call, drawing goes into a memory bitmap of the client size, and the
// bitmap is copied to the window after each drawing unless copying is switched off.
#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "draw.h"

// Deselects the surface's bitmap, deletes the memory context, then the bitmap.
static void DeleteSurface() {
    DrawingState& draw = g_state.draw;
    if (draw.offscreenDC) {
        if (draw.previousBitmap) SelectObject(draw.offscreenDC, draw.previousBitmap);
        DeleteDC(draw.offscreenDC);
    }
    if (draw.offscreenBitmap) DeleteObject(draw.offscreenBitmap);
    draw.offscreenDC = nullptr;
    draw.offscreenBitmap = nullptr;
    draw.previousBitmap = nullptr;
}

// Window client area -> surface.
static void CaptureWindow() {
    const DrawingState& draw = g_state.draw;
    BitBlt(draw.offscreenDC, 0, 0, draw.surfaceWidth, draw.surfaceHeight, draw.windowDC, 0, 0, SRCCOPY);
}

// Surface -> window client area.
static void ShowSurface() {
    const DrawingState& draw = g_state.draw;
    BitBlt(draw.windowDC, 0, 0, draw.surfaceWidth, draw.surfaceHeight, draw.offscreenDC, 0, 0, SRCCOPY);
}

// Makes the surface anew at the client size, starting from the window's picture.
// Answers false, leaving no surface, when the memory context or its bitmap cannot
// be made; the next DRAW call then tries again.
static bool CreateSurface() {
    DrawingState& draw = g_state.draw;
    DeleteSurface();
    draw.offscreenDC = CreateCompatibleDC(draw.windowDC);
    draw.surfaceWidth = draw.clientRect.right;
    draw.surfaceHeight = draw.clientRect.bottom;
    if (!draw.offscreenDC) return false;
    // Compatible with the window: a bitmap compatible with the fresh memory context
    // would be monochrome.
    draw.offscreenBitmap = CreateCompatibleBitmap(draw.windowDC, draw.surfaceWidth, draw.surfaceHeight);
    if (!draw.offscreenBitmap) {
        DeleteSurface();
        return false;
    }
    draw.previousBitmap = static_cast<HBITMAP>(SelectObject(draw.offscreenDC, draw.offscreenBitmap));
    CaptureWindow();
    return true;
}

static bool SurfaceFitsClient() {
    const DrawingState& draw = g_state.draw;
    return draw.offscreenDC && draw.surfaceWidth == draw.clientRect.right &&
           draw.surfaceHeight == draw.clientRect.bottom;
}

// The part of a DRAW call that runs while the window's context is held: make sure
// of the surface, then move pixels or draw. Answers the status code.
static int DrawWithWindow(const char* word) {
    DrawingState& draw = g_state.draw;
    if (SurfaceFitsClient()) {
        // A fresh surface has just captured the window, so SAVESCREEN then falls
        // through to the drawing words, which know it not and draw nothing.
        if (SameWord(word, "SAVESCREEN")) {
            CaptureWindow();
            return StatusOk;
        }
    } else if (!CreateSurface()) {
        return StatusNoSurface;
    }

    if (SameWord(word, "ONSCREEN")) {
        draw.drawOffscreen = false;
        ShowSurface();
        return StatusOk;
    }
    if (SameWord(word, "REFRESH")) {
        ShowSurface();
        return StatusOk;
    }
    if (SameWord(word, "TEXT"))
        DrawTextOnSurface();
    else
        DrawShapeOnSurface(word);
    if (!draw.drawOffscreen) ShowSurface();
    return StatusOk;
}

// DRAW word args...: answers 0 through the status code, 1001 when there is no
// window or no context for it, 1002 when the surface cannot be made.
int DrawCommand() {
    DrawingState& draw = g_state.draw;
    const char* word = Arg(1);
    if (SameWord(word, "OFFSCREEN")) {
        draw.drawOffscreen = true;
        return 0;
    }
    if (IsStateWord(word)) {
        ChangeDrawingState(word);
        return 0;
    }

    HWND window = g_state.host.hostWindow;
    // Without a window GetDC would hand out the whole screen's context.
    if (!window || !GetClientRect(window, &draw.clientRect) || !(draw.windowDC = GetDC(window))) {
        g_state.host.statusCode = StatusNoWindowDC;
        return 0;
    }
    g_state.host.statusCode = DrawWithWindow(word);
    ReleaseDC(window, draw.windowDC);
    draw.windowDC = nullptr;
    return 0;
}

void SurfaceRelease() { DeleteSurface(); }
