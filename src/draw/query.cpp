// Screen queries: the colour of one pixel of any window or of the screen, and which
// mouse buttons the host's thread sees held down.
#include <string.h>

#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"

constexpr int FoldedButtonLetters = 8;  // letters found in any case only this far

// GETPIXEL window x y: "RRGGBB" in upper case. x and y count from the window's top
// left corner, frame included (the screen's for window 0). A window that does not
// exist or a point outside it reads the invalid colour and answers "FFFFFF".
const char* PixelColour() {
    HWND window = reinterpret_cast<HWND>(ReadLong(Arg(1)));
    HDC dc = GetWindowDC(window);
    COLORREF colour = dc ? GetPixel(dc, ReadLong(Arg(2)), ReadLong(Arg(3))) : CLR_INVALID;
    if (dc) ReleaseDC(window, dc);

    char* answer = g_state.host.resultBuffer;
    ByteToHex(GetRValue(colour), answer);
    ByteToHex(GetGValue(colour), answer + 2);
    ByteToHex(GetBValue(colour), answer + 4);
    answer[6] = '\0';
    return answer;
}

struct MouseButton {
    char letter;
    int virtualKey;
};

// The order of the answer's items.
static const MouseButton kButtons[] = {{'L', VK_LBUTTON}, {'M', VK_MBUTTON}, {'R', VK_RBUTTON}};

// MOUSEDOWN [letters]: for each of L, M, R named (L when none is given), "1" when
// the button is down, else nothing; items joined by "|". Empty when no window of
// the host's thread has the focus, or when no letter names a button.
const char* MouseButtons() {
    char* answer = g_state.host.resultBuffer;
    answer[0] = '\0';
    if (!GetFocus()) return answer;

    // The first letters count in either case, later ones in upper case only; the
    // host's argument itself stays as it is.
    const char* set = *Arg(1) ? Arg(1) : "L";
    char head[FoldedButtonLetters + 1];
    DWORD headLength = static_cast<DWORD>(CopyBounded(head, sizeof head, set));
    CharUpperBuffA(head, headLength);
    const char* tail = set + headLength;

    size_t length = 0;
    for (const MouseButton& button : kButtons) {
        if (!strchr(head, button.letter) && !strchr(tail, button.letter)) continue;
        if (GetKeyState(button.virtualKey) < 0) answer[length++] = '1';
        answer[length++] = '|';
    }
    if (length) --length;  // the last separator
    answer[length] = '\0';
    return answer;
}
