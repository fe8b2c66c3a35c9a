// The drawing state (PEN, FILL, FONT) and the drawing sub-commands: text, flood
// fills, lines, arcs and closed shapes on the surface. Pens, brushes and fonts are
// made for one call, and the objects they replaced are selected again before they
// are deleted.
#include <stdlib.h>

#include "../host/state.h"
#include "../host/text.h"
#include "draw.h"

// Selects an object made for this call into a context; when it leaves scope, the
// object it replaced goes back and the object is deleted. A null object is never
// selected, so the context keeps what it has.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object)
        : dc_(dc), object_(object), previous_(object ? SelectObject(dc, object) : nullptr) {}
    ~SelectedObject() {
        if (!object_) return;
        if (previous_) SelectObject(dc_, previous_);
        DeleteObject(object_);
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC dc_;
    HGDIOBJ object_;
    HGDIOBJ previous_;
};

static int Number(int i) { return static_cast<int>(ReadLong(Arg(i))); }

// GDI keeps coordinates within 27 bits: beyond that its calls fail on Windows, and
// arcs near the 32-bit limits bring the whole process down under Wine. A shape with
// such a coordinate draws nothing.
constexpr long MaxGdiCoordinate = (1L << 27) - 1;

// Whether the `count` numbers from Args[2] on lie within GDI's coordinate range.
static bool CoordinatesFit(int count) {
    for (int i = 2; i < 2 + count; ++i) {
        long value = ReadLong(Arg(i));
        if (value > MaxGdiCoordinate || value < -MaxGdiCoordinate) return false;
    }
    return true;
}

// ---- the drawing state --------------------------------------------------------

bool IsStateWord(const char* word) {
    return SameWord(word, "PEN") || SameWord(word, "FILL") || SameWord(word, "FONT");
}

// FONT's face name: Args[5] and every following argument up to the first empty
// one, joined by single blanks and cut to the field.
static void JoinFaceName(char* face) {
    size_t length = CopyBounded(face, FontFaceBytes, Arg(5));
    for (int i = 6; i < MaxArgs && *Arg(i) && length < FontFaceBytes - 1; ++i) {
        face[length++] = ' ';
        length += CopyBounded(face + length, FontFaceBytes - length, Arg(i));
    }
    face[length] = '\0';
}

// PEN colour style width; FILL colour; FONT colour [style size face words...].
// Every argument is stored, empty ones included, except that FONT keeps its style,
// size and face unless all three are given.
void ChangeDrawingState(const char* word) {
    DrawingState& draw = g_state.draw;
    COLORREF colour = ParseColor(Arg(2));
    if (SameWord(word, "PEN")) {
        draw.penColor = colour;
        CopyBounded(draw.penStyle, PenStyleBytes, Arg(3));
        draw.penWidth = static_cast<unsigned char>(Number(4));  // the low 8 bits
    } else if (SameWord(word, "FILL")) {
        draw.fillColor = colour;
    } else {
        draw.fontColor = colour;
        if (!*Arg(3) || !*Arg(4) || !*Arg(5)) return;
        CopyBounded(draw.fontStyle, FontStyleBytes, Arg(3));
        draw.fontSize = static_cast<unsigned char>(Number(4));
        JoinFaceName(draw.fontFace);
    }
}

// ---- text -------------------------------------------------------------------

// The font FONT described: the first style letter gives the weight (N normal, B
// heavy, else the default), the second I makes it italic.
static HFONT MakeFont() {
    const DrawingState& draw = g_state.draw;
    LOGFONTA font = {};
    CopyBounded(font.lfFaceName, LF_FACESIZE, draw.fontFace);
    char weight = draw.fontStyle[0];
    if (weight == 'N' || weight == 'n') font.lfWeight = FW_NORMAL;
    if (weight == 'B' || weight == 'b') font.lfWeight = FW_HEAVY;
    char slant = draw.fontStyle[1];
    font.lfItalic = (slant == 'I' || slant == 'i') ? 1 : 0;
    font.lfHeight = draw.fontSize;  // positive: the character cell height
    return CreateFontIndirectA(&font);
}

// TEXT x y text. Without a face name the surface's current font draws; the
// background is transparent for the text and opaque again after it.
void DrawTextOnSurface() {
    const DrawingState& draw = g_state.draw;
    HDC dc = draw.offscreenDC;
    SetTextColor(dc, draw.fontColor);
    const char* text = Arg(4);
    SelectedObject font(dc, draw.fontFace[0] ? MakeFont() : nullptr);
    SetBkMode(dc, TRANSPARENT);
    TextOutA(dc, Number(2), Number(3), text, lstrlenA(text));
    SetBkMode(dc, OPAQUE);
}

// ---- shapes -----------------------------------------------------------------

struct PenStyleWord {
    const char* word;
    int style;
};

static const PenStyleWord kPenStyles[] = {
    {"SOLID", PS_SOLID}, {"DASH", PS_DASH}, {"DOT", PS_DOT},
    {"DASHDOT", PS_DASHDOT}, {"DASHDOTDOT", PS_DASHDOTDOT},
};

// The pen for this call, or null when the style names none and the width is 0 or
// 1: the surface's own pen (always the stock black one) then draws. Styled pens
// are one pixel wide; any wider pen is solid.
static HPEN MakePen() {
    const DrawingState& draw = g_state.draw;
    if (draw.penWidth > 1) return CreatePen(PS_SOLID, draw.penWidth, draw.penColor);
    for (const PenStyleWord& entry : kPenStyles)
        if (SameWord(draw.penStyle, entry.word)) return CreatePen(entry.style, draw.penWidth, draw.penColor);
    return nullptr;
}

// FLOOD x y [area colour]: repaints the connected area of the area colour with the
// brush. Without a colour the area is the colour the window shows at the point.
static void FloodFill(HDC dc) {
    int x = Number(2), y = Number(3);
    COLORREF area = *Arg(4) ? ParseColor(Arg(4)) : GetPixel(g_state.draw.windowDC, x, y);
    ExtFloodFill(dc, x, y, area, FLOODFILLSURFACE);
}

static int CornerSize(int i) { return *Arg(i) ? Number(i) : DefaultCornerSize; }

static void DrawLine(HDC dc) {
    MoveToEx(dc, Number(2), Number(3), nullptr);
    LineTo(dc, Number(4), Number(5));
}
static void DrawArc(HDC dc) {
    Arc(dc, Number(2), Number(3), Number(4), Number(5), Number(6), Number(7), Number(8), Number(9));
}
static void DrawPie(HDC dc) {
    Pie(dc, Number(2), Number(3), Number(4), Number(5), Number(6), Number(7), Number(8), Number(9));
}
static void DrawEllipse(HDC dc) { Ellipse(dc, Number(2), Number(3), Number(4), Number(5)); }
static void DrawRectangle(HDC dc) { Rectangle(dc, Number(2), Number(3), Number(4), Number(5)); }
static void DrawRoundRect(HDC dc) {
    RoundRect(dc, Number(2), Number(3), Number(4), Number(5), CornerSize(6), CornerSize(7));
}

struct ShapeRow {
    const char* word;
    int numbers;            // coordinates (and corner sizes) from Args[2] on
    bool clearsBackground;  // lines and arcs leave the background transparent
    void (*draw)(HDC dc);
};

static const ShapeRow kShapes[] = {
    {"FLOOD", 2, false, FloodFill},     {"LINE", 4, true, DrawLine},
    {"ARC", 8, true, DrawArc},          {"PIE", 8, false, DrawPie},
    {"ELLIPSE", 4, false, DrawEllipse}, {"RECTANGLE", 4, false, DrawRectangle},
    {"ROUNDRECT", 6, false, DrawRoundRect},
};

void DrawShapeOnSurface(const char* word) {
    const DrawingState& draw = g_state.draw;
    HDC dc = draw.offscreenDC;
    // Pen first, brush second: the brush goes back and is deleted first.
    SelectedObject pen(dc, MakePen());
    SelectedObject brush(dc, CreateSolidBrush(draw.fillColor));

    for (const ShapeRow& shape : kShapes) {
        if (!SameWord(word, shape.word)) continue;
        // So the gaps of a styled pen stay clear on later shapes until the next TEXT.
        if (shape.clearsBackground) SetBkMode(dc, TRANSPARENT);
        if (CoordinatesFit(shape.numbers)) shape.draw(dc);
        return;
    }
}
