// Drawing on the host window and the screen queries, checked by reading the
// window's pixels back after each drawing.
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fixture.h"

namespace {

const COLORREF kWhite = RGB(255, 255, 255);
const COLORREF kBlack = RGB(0, 0, 0);
const COLORREF kRed = RGB(255, 0, 0);
const COLORREF kGreen = RGB(0, 255, 0);
const COLORREF kBlue = RGB(0, 0, 255);
const COLORREF kYellow = RGB(255, 255, 0);

class DrawTest : public TrakxTest {
protected:
    void SetUp() override {
        TrakxTest::SetUp();
        SetForegroundWindow(window);
        SetFocus(window);
        UpdateWindow(window);
        PumpMessages();
    }

    int Draw(std::vector<std::string> words) {
        words.insert(words.begin(), "DRAW");
        return Command(words);
    }

    // The colour the window shows at a client point.
    COLORREF Pixel(int x, int y) {
        HDC dc = GetDC(window);
        COLORREF colour = GetPixel(dc, x, y);
        ReleaseDC(window, dc);
        return colour;
    }

    // The colours along a run of client pixels from (x, y), one step (dx, dy) apart.
    std::vector<COLORREF> Run(int x, int y, int dx, int dy, int count) {
        std::vector<COLORREF> colours;
        HDC dc = GetDC(window);
        for (int i = 0; i < count; ++i) colours.push_back(GetPixel(dc, x + i * dx, y + i * dy));
        ReleaseDC(window, dc);
        return colours;
    }

    // Every pixel of a client rectangle, row by row.
    std::vector<COLORREF> Area(int left, int top, int right, int bottom) {
        std::vector<COLORREF> colours;
        HDC dc = GetDC(window);
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < right; ++x) colours.push_back(GetPixel(dc, x, y));
        ReleaseDC(window, dc);
        return colours;
    }

    // Paints part of the window straight through GDI, behind the library's back.
    void PaintWindow(COLORREF colour, int left, int top, int right, int bottom) {
        HDC dc = GetDC(window);
        RECT r = {left, top, right, bottom};
        HBRUSH brush = CreateSolidBrush(colour);
        FillRect(dc, &r, brush);
        DeleteObject(brush);
        ReleaseDC(window, dc);
    }

    void PaintWindow(COLORREF colour) {
        RECT r;
        GetClientRect(window, &r);
        PaintWindow(colour, 0, 0, r.right, r.bottom);
    }

    // Clears the surface and the window to white through the library.
    void ClearToWhite() {
        RECT r;
        GetClientRect(window, &r);
        Draw({"PEN", "WHITE", "SOLID", "1"});
        Draw({"FILL", "WHITE"});
        Draw({"RECTANGLE", "0", "0", std::to_string(r.right), std::to_string(r.bottom)});
    }

    // The client size changed to width by height.
    void ResizeClient(int width, int height) {
        RECT r = {0, 0, width, height};
        AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
        SetWindowPos(window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
        UpdateWindow(window);
        PumpMessages();
    }
};

size_t Count(const std::vector<COLORREF>& colours, COLORREF colour) {
    size_t n = 0;
    for (COLORREF c : colours) n += c == colour;
    return n;
}

size_t CountOther(const std::vector<COLORREF>& colours, COLORREF colour) {
    return colours.size() - Count(colours, colour);
}

// ---- colours ------------------------------------------------------------------

TEST_F(DrawTest, ColourTextsGiveTheirValues) {
    struct Case {
        const char* text;
        COLORREF expected;
    } cases[] = {
        {"BLACK", 0x000000},   {"WHITE", 0xFFFFFF},   {"SILVER", 0xC0C0C0}, {"GRAY", 0x808080},
        {"RED", 0x0000FF},     {"DKRED", 0x000080},   {"LTGREEN", 0x00FF00}, {"DKGREEN", 0x008000},
        {"LTBLUE", 0xFF0000},  {"DKBLUE", 0x800000},  {"BROWN", 0x008080},  {"CYAN", 0xFFFF00},
        {"MAGENTA", 0x800080}, {"YELLOW", 0x00FFFF},
        // Case does not matter; the text is compared whole.
        {"red", 0x0000FF}, {"Red", 0x0000FF}, {" RED", 0}, {"RED ", 0},
        // Not in the table: black.
        {"GREEN", 0}, {"BLUE", 0}, {"GREY", 0}, {"", 0},
        // A hexadecimal text is the COLORREF itself, low byte red.
        {"0x00FF00", 0x00FF00}, {"0xff", 0x0000FF}, {"0x1", 0x000001}, {"0x800080", 0x800080},
        {"0xC0ffEE", 0xC0FFEE},
        // Texts starting with 0 that read no number are black, as unknown names are
        // (the white of the previous FILL must not survive).
        {"0", 0}, {"00FF00", 0}, {"0X0000FF", 0}, {"0x", 0}, {"0xZZ", 0},
    };
    Draw({"PEN", "", "", "0"});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("colour text \"") + c.text + "\"");
        Draw({"FILL", "WHITE"});
        Draw({"RECTANGLE", "10", "10", "40", "40"});
        Draw({"FILL", c.text});
        EXPECT_EQ(Draw({"RECTANGLE", "10", "10", "40", "40"}), 0);
        EXPECT_EQ(Pixel(25, 25), c.expected);
    }
}

// ---- the surface ----------------------------------------------------------------

TEST_F(DrawTest, FirstDrawingKeepsWhatTheWindowShowed) {
    PaintWindow(RGB(0, 128, 128));
    EXPECT_EQ(Draw({"RECTANGLE", "10", "10", "50", "50"}), 0);
    // A fresh library outlines with a one-pixel black pen and fills black.
    EXPECT_EQ(Pixel(30, 30), kBlack);
    EXPECT_EQ(Pixel(10, 10), kBlack);
    EXPECT_EQ(Pixel(49, 49), kBlack);
    EXPECT_EQ(Pixel(50, 50), RGB(0, 128, 128));
    EXPECT_EQ(Pixel(5, 5), RGB(0, 128, 128));
    EXPECT_EQ(Pixel(200, 100), RGB(0, 128, 128));
}

TEST_F(DrawTest, OffscreenDrawingWaitsForRefreshOrOnscreen) {
    EXPECT_EQ(Draw({"OFFSCREEN"}), 0);
    Draw({"FILL", "RED"});
    EXPECT_EQ(Draw({"RECTANGLE", "10", "10", "50", "50"}), 0);
    EXPECT_EQ(Pixel(30, 30), kWhite);

    EXPECT_EQ(Draw({"REFRESH"}), 0);
    EXPECT_EQ(Pixel(30, 30), kRed);

    // REFRESH shows the surface once and leaves copying off.
    Draw({"FILL", "LTBLUE"});
    Draw({"RECTANGLE", "60", "10", "100", "50"});
    EXPECT_EQ(Pixel(80, 30), kWhite);

    EXPECT_EQ(Draw({"onscreen"}), 0);
    EXPECT_EQ(Pixel(80, 30), kBlue);
    Draw({"FILL", "YELLOW"});
    Draw({"RECTANGLE", "110", "10", "150", "50"});
    EXPECT_EQ(Pixel(130, 30), kYellow);
}

TEST_F(DrawTest, SaveScreenTakesTheWindowIntoTheSurface) {
    Draw({"FILL", "RED"});
    Draw({"RECTANGLE", "10", "10", "50", "50"});
    // The window repaints part of itself; SAVESCREEN keeps that and leaves the window alone.
    PaintWindow(kGreen, 100, 10, 150, 50);
    EXPECT_EQ(Draw({"SAVESCREEN"}), 0);
    PaintWindow(kBlue, 200, 10, 250, 50);
    EXPECT_EQ(Pixel(225, 30), kBlue);

    EXPECT_EQ(Draw({"REFRESH"}), 0);
    EXPECT_EQ(Pixel(30, 30), kRed);
    EXPECT_EQ(Pixel(125, 30), kGreen);
    EXPECT_EQ(Pixel(225, 30), kWhite);  // painted after the capture: the surface shows over it
}

TEST_F(DrawTest, UnknownWordShowsTheSurface) {
    EXPECT_EQ(Draw({"NOSUCHWORD"}), 0);  // makes the surface from the white window
    PaintWindow(kGreen, 10, 10, 50, 50);
    EXPECT_EQ(Draw({"NOSUCHWORD", "1", "2"}), 0);
    EXPECT_EQ(Pixel(30, 30), kWhite);

    // With copying off, the word shows nothing.
    Draw({"OFFSCREEN"});
    PaintWindow(kGreen, 10, 10, 50, 50);
    EXPECT_EQ(Draw({"NOSUCHWORD"}), 0);
    EXPECT_EQ(Pixel(30, 30), kGreen);
}

TEST_F(DrawTest, ResizeMakesTheSurfaceAnewFromTheWindow) {
    ResizeClient(300, 200);
    Draw({"OFFSCREEN"});
    Draw({"FILL", "RED"});
    Draw({"RECTANGLE", "10", "10", "50", "50"});

    // Drawing that lived only on the surface is lost when the size changes.
    ResizeClient(400, 250);
    PaintWindow(kGreen, 0, 0, 5, 5);
    EXPECT_EQ(Draw({"REFRESH"}), 0);
    EXPECT_EQ(Pixel(30, 30), kWhite);
    EXPECT_EQ(Pixel(2, 2), kGreen);  // captured from the window at the re-creation

    // The new surface covers the larger client area.
    EXPECT_EQ(Draw({"ONSCREEN"}), 0);
    Draw({"RECTANGLE", "340", "200", "390", "240"});
    EXPECT_EQ(Pixel(365, 220), kRed);
    EXPECT_EQ(Pixel(395, 245), kWhite);
}

TEST_F(DrawTest, SaveScreenAfterResizeCopiesTheFreshSurfaceBack) {
    Draw({"RECTANGLE", "10", "10", "50", "50"});
    ResizeClient(350, 220);
    PaintWindow(kGreen, 100, 10, 150, 50);
    EXPECT_EQ(Draw({"SAVESCREEN"}), 0);
    // The re-creation captured the green and the on-screen copy showed it again.
    EXPECT_EQ(Pixel(125, 30), kGreen);
    PaintWindow(kBlue, 100, 10, 150, 50);
    Draw({"REFRESH"});
    EXPECT_EQ(Pixel(125, 30), kGreen);
}

TEST_F(DrawTest, EmptyClientAreaDrawsNothingAndRecovers) {
    ShowWindow(window, SW_MINIMIZE);
    PumpMessages();
    RECT r;
    GetClientRect(window, &r);
    if (r.right != 0 || r.bottom != 0) GTEST_SKIP() << "the minimised window keeps a client area here";
    EXPECT_EQ(Draw({"RECTANGLE", "0", "0", "50", "50"}), 0);
    EXPECT_EQ(Draw({"FLOOD", "5", "5"}), 0);
    EXPECT_EQ(Draw({"TEXT", "5", "5", "hidden"}), 0);

    ShowWindow(window, SW_RESTORE);
    UpdateWindow(window);
    PumpMessages();
    PaintWindow(kGreen, 0, 0, 5, 5);
    Draw({"FILL", "RED"});
    EXPECT_EQ(Draw({"RECTANGLE", "10", "10", "50", "50"}), 0);
    EXPECT_EQ(Pixel(30, 30), kRed);
    EXPECT_EQ(Pixel(2, 2), kGreen);
}

// ---- the status codes -----------------------------------------------------------

// Init texts that name no window: empty, and a handle destroyed before Init.
TEST_F(DrawTest, WithoutAWindowOnlyStateWordsSucceed) {
    HWND gone = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    for (const std::string& initText : {std::string(), std::to_string(reinterpret_cast<UINT_PTR>(gone))}) {
        SCOPED_TRACE("init text \"" + initText + "\"");
        Reload(initText.c_str());
        for (const char* word : {"OFFSCREEN", "PEN", "FILL", "FONT"}) {
            SCOPED_TRACE(word);
            EXPECT_EQ(Draw({word, "RED", "BI", "20", "Tahoma"}), 0);
            EXPECT_EQ(Status(), 0);
        }
        for (const char* word : {"RECTANGLE", "TEXT", "FLOOD", "ONSCREEN", "REFRESH", "SAVESCREEN", "NOSUCHWORD"}) {
            SCOPED_TRACE(word);
            EXPECT_EQ(Draw({word, "1", "2", "30", "40"}), 1001);
            EXPECT_EQ(Status(), 1001);
        }
        // The next call starts from 0 again.
        EXPECT_EQ(Draw({"FILL", "RED"}), 0);
        EXPECT_EQ(Status(), 0);
    }
}

static HDC WINAPI NoDC(HWND) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

TEST_F(DrawTest, FailedWindowContextLeavesEverythingAsItWas) {
    Draw({"FILL", "RED"});
    Draw({"RECTANGLE", "10", "10", "50", "50"});
    Draw({"OFFSCREEN"});
    ASSERT_TRUE(Patch("user32.dll", "GetDC", reinterpret_cast<void*>(NoDC)));
    EXPECT_EQ(Draw({"ONSCREEN"}), 1001);
    EXPECT_EQ(Draw({"RECTANGLE", "60", "10", "100", "50"}), 1001);
    Unpatch();

    // ONSCREEN failed, so copying is still off; the surface kept its picture.
    Draw({"FILL", "LTBLUE"});
    EXPECT_EQ(Draw({"RECTANGLE", "110", "10", "150", "50"}), 0);
    EXPECT_EQ(Pixel(130, 30), kWhite);
    Draw({"REFRESH"});
    EXPECT_EQ(Pixel(30, 30), kRed);
    EXPECT_EQ(Pixel(80, 30), kWhite);
    EXPECT_EQ(Pixel(130, 30), kBlue);
}

static HDC WINAPI NoMemoryDC(HDC) { return nullptr; }
static HBITMAP WINAPI NoBitmap(HDC, int, int) { return nullptr; }
static int g_deletedDCs = 0;
static BOOL WINAPI CountingDeleteDC(HDC dc) {
    ++g_deletedDCs;
    return DeleteDC(dc);
}

TEST_F(DrawTest, SurfaceThatCannotBeMadeAnswers1002AndIsTriedAgain) {
    struct Case {
        const char* function;
        void* replacement;
        int deletedDCs;  // a memory context made without its bitmap is deleted again
    } cases[] = {
        {"CreateCompatibleDC", reinterpret_cast<void*>(NoMemoryDC), 0},
        {"CreateCompatibleBitmap", reinterpret_cast<void*>(NoBitmap), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        Reload(WindowInitText().c_str());
        PaintWindow(kWhite);
        ASSERT_TRUE(Patch("gdi32.dll", "DeleteDC", reinterpret_cast<void*>(CountingDeleteDC)));
        ASSERT_TRUE(Patch("gdi32.dll", c.function, c.replacement));
        g_deletedDCs = 0;
        Draw({"FILL", "RED"});
        EXPECT_EQ(Draw({"RECTANGLE", "10", "10", "50", "50"}), 1002);
        EXPECT_EQ(Status(), 1002);
        EXPECT_EQ(Pixel(30, 30), kWhite);
        EXPECT_EQ(g_deletedDCs, c.deletedDCs);
        Unpatch();

        EXPECT_EQ(Draw({"RECTANGLE", "10", "10", "50", "50"}), 0);
        EXPECT_EQ(Pixel(30, 30), kRed);
    }
}

TEST_F(DrawTest, UnloadDeletesTheSurface) {
    Draw({"RECTANGLE", "10", "10", "50", "50"});
    ASSERT_TRUE(Patch("gdi32.dll", "DeleteDC", reinterpret_cast<void*>(CountingDeleteDC)));
    g_deletedDCs = 0;
    Unload();
    EXPECT_EQ(g_deletedDCs, 1);
}

// ---- pens and brushes -------------------------------------------------------------

TEST_F(DrawTest, PenRules) {
    struct Case {
        std::vector<std::string> pen;
        COLORREF colour;  // of the line's pixels
        bool gaps;        // the line shows the white beneath between dashes
        int thickness;
    } cases[] = {
        {{"RED", "SOLID", "1"}, kRed, false, 1},
        {{"RED", "solid", "0"}, kRed, false, 1},
        {{"RED", "Solid", "2"}, kRed, false, 2},
        // A styled pen wider than 1 is solid.
        {{"RED", "DASH", "3"}, kRed, false, 3},
        {{"RED", "DOT", "2"}, kRed, false, 2},
        {{"RED", "NOSTYLE", "3"}, kRed, false, 3},
        {{"RED", "DASH", "1"}, kRed, true, 1},
        {{"RED", "dash", "0"}, kRed, true, 1},
        {{"RED", "DOT", "1"}, kRed, true, 1},
        {{"RED", "DASHDOT", "1"}, kRed, true, 1},
        {{"RED", "DASHDOTDOT", "1"}, kRed, true, 1},
        // The width keeps its low 8 bits only.
        {{"RED", "SOLID", "259"}, kRed, false, 3},
        // No style word and width 0 or 1: the stock black pen, whatever the colour.
        {{"LTBLUE"}, kBlack, false, 1},
        {{"LTBLUE", "", "1"}, kBlack, false, 1},
        {{"LTBLUE", "DASHES", "1"}, kBlack, false, 1},
        {{"LTBLUE", "DASHDOTDOTX", "1"}, kBlack, false, 1},
        {{"LTBLUE", std::string(200, 'D'), "1"}, kBlack, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("PEN " + c.pen[0] + " " + (c.pen.size() > 1 ? c.pen[1].substr(0, 20) : "") + " " +
                     (c.pen.size() > 2 ? c.pen[2] : ""));
        ClearToWhite();
        std::vector<std::string> pen = {"PEN"};
        pen.insert(pen.end(), c.pen.begin(), c.pen.end());
        EXPECT_EQ(Draw(pen), 0);
        EXPECT_EQ(Draw({"LINE", "20", "100", "300", "100"}), 0);

        std::vector<COLORREF> line = Run(30, 100, 1, 0, 260);
        EXPECT_GT(Count(line, c.colour), 100u);
        if (c.gaps) {
            EXPECT_GT(Count(line, kWhite), 20u);
        } else {
            EXPECT_EQ(CountOther(line, c.colour), 0u);
        }
        // Across the line, 20 pixels either side, where a dash crosses.
        size_t thickness = 0;
        for (int x = 150; x < 170; ++x) thickness = std::max(thickness, Count(Run(x, 80, 0, 1, 41), c.colour));
        EXPECT_EQ(thickness, static_cast<size_t>(c.thickness));
    }
}

TEST_F(DrawTest, DashGapsFollowTheBackgroundMode) {
    PaintWindow(kGreen);
    Draw({"PEN", "RED", "DASH", "1"});
    Draw({"FILL", "YELLOW"});
    struct Step {
        std::vector<std::string> draw;
        int edgeX, edgeY;    // a dashed edge to read, 140 pixels from (edgeX, edgeY); -1 none
        COLORREF gapColour;  // what shows between the dashes
    } steps[] = {
        // A new surface is opaque: gaps are painted in the white background colour.
        {{"RECTANGLE", "20", "20", "180", "60"}, 30, 20, kWhite},
        // A line switches to transparent and leaves it so.
        {{"LINE", "20", "80", "180", "80"}, 30, 80, kGreen},
        {{"RECTANGLE", "20", "100", "180", "140"}, 30, 100, kGreen},
        // Text switches back to opaque after drawing.
        {{"TEXT", "300", "250", "x"}, -1, -1, 0},
        {{"RECTANGLE", "20", "160", "180", "200"}, 30, 160, kWhite},
        // So does an arc to transparent.
        {{"ARC", "20", "220", "180", "260", "180", "240", "20", "240"}, -1, -1, 0},
        {{"RECTANGLE", "200", "20", "360", "60"}, 210, 20, kGreen},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.draw[0] + " " + s.draw[2]);
        EXPECT_EQ(Draw(s.draw), 0);
        if (s.edgeY < 0) continue;
        std::vector<COLORREF> edge = Run(s.edgeX, s.edgeY, 1, 0, 140);
        EXPECT_GT(Count(edge, kRed), 30u);
        EXPECT_GT(Count(edge, s.gapColour), 20u);
        EXPECT_EQ(Count(edge, kRed) + Count(edge, s.gapColour), edge.size());
    }
}

TEST_F(DrawTest, ShapesFillAndOutline) {
    Draw({"PEN", "RED", "SOLID", "1"});
    Draw({"FILL", "YELLOW"});

    EXPECT_EQ(Draw({"RECTANGLE", "10", "10", "60", "60"}), 0);
    EXPECT_EQ(Pixel(10, 10), kRed);
    EXPECT_EQ(Pixel(59, 35), kRed);
    EXPECT_EQ(Pixel(35, 35), kYellow);
    EXPECT_EQ(Pixel(60, 35), kWhite);

    EXPECT_EQ(Draw({"ELLIPSE", "70", "10", "170", "110"}), 0);
    EXPECT_EQ(Pixel(120, 60), kYellow);
    EXPECT_EQ(Pixel(120, 10), kRed);
    EXPECT_EQ(Pixel(73, 13), kWhite);  // outside the curve, inside the bounds

    // Four numbers: corners of 30 by 30. Zeros: square corners.
    EXPECT_EQ(Draw({"ROUNDRECT", "180", "10", "260", "90"}), 0);
    EXPECT_EQ(Pixel(182, 12), kWhite);
    EXPECT_EQ(Pixel(220, 50), kYellow);
    EXPECT_EQ(Pixel(220, 10), kRed);
    EXPECT_EQ(Draw({"ROUNDRECT", "270", "10", "350", "90", "0", "0"}), 0);
    EXPECT_EQ(Pixel(270, 10), kRed);
    EXPECT_EQ(Pixel(272, 12), kYellow);

    // From the start ray at three o'clock counter-clockwise to the end ray at twelve:
    // the top right quarter, closed with two radii.
    EXPECT_EQ(Draw({"PIE", "10", "120", "110", "220", "110", "170", "60", "120"}), 0);
    EXPECT_EQ(Pixel(80, 150), kYellow);
    EXPECT_EQ(Pixel(40, 190), kWhite);
    EXPECT_EQ(Pixel(40, 150), kWhite);
    EXPECT_EQ(Pixel(80, 190), kWhite);
}

TEST_F(DrawTest, ArcAndLineUseThePenOnly) {
    // Three pixels wide, so that a diagonal cannot slip between the arc's pixels.
    Draw({"PEN", "LTBLUE", "SOLID", "3"});
    Draw({"FILL", "YELLOW"});
    EXPECT_EQ(Draw({"ARC", "10", "10", "110", "110", "110", "60", "60", "10"}), 0);
    // Along the diagonals from the centre: the top right quarter has the arc, the
    // bottom left none; nothing is filled.
    std::vector<COLORREF> upRight = Run(60, 60, 1, -1, 50);
    std::vector<COLORREF> downLeft = Run(60, 60, -1, 1, 50);
    EXPECT_GE(Count(upRight, kBlue), 1u);
    EXPECT_EQ(CountOther(upRight, kWhite), Count(upRight, kBlue));
    EXPECT_EQ(CountOther(downLeft, kWhite), 0u);

    Draw({"PEN", "LTBLUE", "SOLID", "1"});
    EXPECT_EQ(Draw({"LINE", "150", "20", "150", "80"}), 0);
    EXPECT_EQ(Count(Run(150, 20, 0, 1, 60), kBlue), 60u);
    EXPECT_EQ(Pixel(150, 80), kWhite);  // the end point is not drawn
    EXPECT_EQ(Pixel(151, 50), kWhite);
}

// ---- flood fills ----------------------------------------------------------------

TEST_F(DrawTest, FloodRepaintsTheConnectedArea) {
    struct Case {
        std::vector<std::string> flood;
        bool fills;
    } cases[] = {
        {{"FLOOD", "30", "30", "WHITE"}, true},
        {{"FLOOD", "30", "30"}, true},         // the colour the window shows there
        {{"FLOOD", "30", "30", "LTGREEN"}, false},  // no such area at the point
        {{"FLOOD", "5000", "5000", "WHITE"}, false},
        {{"FLOOD", "-1", "-1", "WHITE"}, false},
        {{"FLOOD", "-1", "-1"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flood[1] + " " + c.flood[2] + " " + (c.flood.size() > 3 ? c.flood[3] : "(none)"));
        ClearToWhite();
        Draw({"PEN", "", "", "1"});
        Draw({"RECTANGLE", "10", "10", "60", "60"});  // black outline, white inside
        Draw({"FILL", "RED"});
        EXPECT_EQ(Draw(c.flood), 0);
        EXPECT_EQ(Pixel(30, 30), c.fills ? kRed : kWhite);
        EXPECT_EQ(Pixel(58, 58), c.fills ? kRed : kWhite);
        EXPECT_EQ(Pixel(10, 10), kBlack);
        EXPECT_EQ(Pixel(80, 80), kWhite);  // beyond the outline
    }
}

TEST_F(DrawTest, FloodWithoutColourReadsTheWindowNotTheSurface) {
    Draw({"OFFSCREEN"});
    Draw({"FILL", "LTGREEN"});
    Draw({"RECTANGLE", "10", "10", "60", "60"});  // on the surface only
    Draw({"FILL", "RED"});
    // The window shows white at the point, the surface green: nothing is white there.
    EXPECT_EQ(Draw({"FLOOD", "30", "30"}), 0);
    Draw({"REFRESH"});
    EXPECT_EQ(Pixel(30, 30), kGreen);

    EXPECT_EQ(Draw({"FLOOD", "30", "30", "LTGREEN"}), 0);
    Draw({"REFRESH"});
    EXPECT_EQ(Pixel(30, 30), kRed);
}

// ---- text ---------------------------------------------------------------------------

class DrawTextTest : public DrawTest {
protected:
    // The picture of one text drawn on a white area with the current font settings.
    std::vector<COLORREF> TextPicture(const std::string& text = "Wmg") {
        ClearToWhite();
        EXPECT_EQ(Draw({"TEXT", "20", "20", text}), 0);
        return Area(20, 20, 140, 80);
    }

    static bool HasFace(const char* face) {
        HDC dc = GetDC(nullptr);
        LOGFONTA wanted = {};
        lstrcpynA(wanted.lfFaceName, face, LF_FACESIZE);
        HFONT font = CreateFontIndirectA(&wanted);
        HGDIOBJ previous = SelectObject(dc, font);
        char got[LF_FACESIZE] = "";
        GetTextFaceA(dc, LF_FACESIZE, got);
        SelectObject(dc, previous);
        DeleteObject(font);
        ReleaseDC(nullptr, dc);
        return lstrcmpiA(got, face) == 0;
    }
};

// The positions of the pixels that are not white.
std::vector<size_t> Ink(const std::vector<COLORREF>& picture) {
    std::vector<size_t> ink;
    for (size_t i = 0; i < picture.size(); ++i)
        if (picture[i] != kWhite) ink.push_back(i);
    return ink;
}

TEST_F(DrawTextTest, TextWithoutFontDrawsBlackInTheSystemFont) {
    std::vector<COLORREF> picture = TextPicture();
    EXPECT_GT(Count(picture, kBlack), 10u);
    // Letters in black and greys only; the background stays clear around them.
    for (COLORREF c : picture) EXPECT_TRUE(GetRValue(c) == GetGValue(c) && GetGValue(c) == GetBValue(c)) << c;

    // A colour alone changes the colour only: the same letters in red.
    Draw({"FONT", "RED"});
    std::vector<COLORREF> red = TextPicture();
    EXPECT_EQ(Ink(red), Ink(picture));
    EXPECT_EQ(Count(red, kRed), Count(picture, kBlack));
}

TEST_F(DrawTextTest, FontStyleLetters) {
    const char* face = "DejaVu Sans";
    if (!HasFace(face)) GTEST_SKIP() << face << " is not installed";
    auto picture = [&](const char* style) {
        Draw({"FONT", "BLACK", style, "40", face});
        return TextPicture();
    };
    std::vector<COLORREF> normal = picture("N"), heavy = picture("b"), italic = picture("NI"),
                          heavyItalic = picture("Bi"), defaultWeight = picture("X"), onlyI = picture("I"),
                          longStyle = picture("NI-and-a-great-deal-more");
    size_t normalInk = CountOther(normal, kWhite);
    EXPECT_GT(normalInk, 100u);
    EXPECT_GT(CountOther(heavy, kWhite), normalInk * 5 / 4);
    EXPECT_NE(italic, normal);
    EXPECT_NE(heavyItalic, heavy);
    EXPECT_NE(heavyItalic, italic);
    // Italic is read from the second letter only, weight from the first only.
    EXPECT_EQ(onlyI, defaultWeight);
    EXPECT_NE(onlyI, italic);
    EXPECT_EQ(longStyle, italic);
}

TEST_F(DrawTextTest, FontKeepsItsFaceUnlessStyleSizeAndFaceAreAllGiven) {
    const char* face = "DejaVu Sans Mono";
    if (!HasFace(face)) GTEST_SKIP() << face << " is not installed";
    std::vector<COLORREF> system = TextPicture();
    Draw({"FONT", "BLACK", "N", "36", "DejaVu", "Sans", "Mono"});
    std::vector<COLORREF> big = TextPicture();
    EXPECT_GT(CountOther(big, kWhite), CountOther(system, kWhite) * 2);

    for (const std::vector<std::string>& partial : std::vector<std::vector<std::string>>{
             {"FONT", "BLACK"}, {"FONT", "BLACK", "B", "12"}, {"FONT", "BLACK", "", "12", "DejaVu Sans"},
             {"FONT", "BLACK", "B", "", "DejaVu Sans"}}) {
        SCOPED_TRACE(partial.size());
        Draw(partial);
        EXPECT_EQ(TextPicture(), big);
    }
    // The size keeps its low 8 bits: 292 is 36.
    Draw({"FONT", "BLACK", "N", "292", "DejaVu", "Sans", "Mono"});
    EXPECT_EQ(TextPicture(), big);
}

TEST_F(DrawTextTest, FaceNameWordsAreJoinedWithBlanks) {
    const char* face = "DejaVu Sans Mono";
    if (!HasFace(face)) GTEST_SKIP() << face << " is not installed";
    Draw({"FONT", "BLACK", "N", "30", face});
    std::vector<COLORREF> whole = TextPicture();
    Draw({"FONT", "BLACK", "N", "30", "DejaVu", "Sans", "Mono"});
    EXPECT_EQ(TextPicture(), whole);
    // Words after the first empty argument are not part of the name.
    Draw({"FONT", "BLACK", "N", "30", "DejaVu", "Sans", "Mono", "", "Bold"});
    EXPECT_EQ(TextPicture(), whole);
    Draw({"FONT", "BLACK", "N", "30", "DejaVuSansMono"});
    EXPECT_NE(TextPicture(), whole);
}

TEST_F(DrawTextTest, OverlongArgumentsAreCut) {
    // Far more than the face name, style and text fields hold; the text goes out whole.
    std::string longWord(3000, 'W');
    Draw({"FONT", "RED", longWord, "20", longWord, longWord, longWord});
    std::vector<COLORREF> picture = TextPicture(longWord);
    EXPECT_GT(Count(picture, kRed), 0u);
    EXPECT_EQ(Draw({"PEN", "RED", longWord, "1"}), 0);
    EXPECT_EQ(Draw({"LINE", "10", "200", "100", "200"}), 0);
    EXPECT_EQ(Pixel(50, 200), kBlack);
}

// ---- GETPIXEL ---------------------------------------------------------------------

// What the platform reads from the screen at (x, y), as RRGGBB.
std::string ScreenPixel(int x, int y) {
    HDC dc = GetWindowDC(nullptr);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(nullptr, dc);
    char text[8];
    snprintf(text, sizeof text, "%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
    return text;
}

TEST_F(DrawTest, GetPixelAnswersRedGreenBlue) {
    struct Case {
        COLORREF colour;
        const char* answer;
    } cases[] = {
        {RGB(0, 0, 0), "000000"},   {RGB(255, 255, 255), "FFFFFF"}, {RGB(0, 0, 255), "0000FF"},
        {RGB(255, 0, 0), "FF0000"}, {RGB(10, 200, 3), "0AC803"},    {RGB(0xAB, 0xCD, 0xEF), "ABCDEF"},
    };
    RECT frame;
    GetWindowRect(window, &frame);
    std::string handle = std::to_string(reinterpret_cast<UINT_PTR>(window));
    int x = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        PaintWindow(c.colour, x, 10, x + 10, 20);
        POINT p = {x + 5, 15};
        ClientToScreen(window, &p);
        // Window coordinates count from the frame's corner; handle 0 is the screen.
        EXPECT_EQ(Function({"GETPIXEL", handle, std::to_string(p.x - frame.left), std::to_string(p.y - frame.top)}),
                  c.answer);
        // The screen's own picture may lag behind the window's (it does under Wine):
        // the expectation is what the platform reads there.
        EXPECT_EQ(Function({"GETPIXEL", "0", std::to_string(p.x), std::to_string(p.y)}), ScreenPixel(p.x, p.y));
        x += 20;
    }
}

TEST_F(DrawTest, GetPixelOfNothingAnswersFFFFFF) {
    PaintWindow(kBlack);
    HWND gone = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    std::string handle = std::to_string(reinterpret_cast<UINT_PTR>(window));
    EXPECT_EQ(Function({"GETPIXEL", std::to_string(reinterpret_cast<UINT_PTR>(gone)), "5", "5"}), "FFFFFF");
    EXPECT_EQ(Function({"GETPIXEL", handle, "-5", "40"}), "FFFFFF");
    EXPECT_EQ(Function({"GETPIXEL", handle, "40", "100000"}), "FFFFFF");
    EXPECT_EQ(Function({"GETPIXEL", "0", "-1", "-1"}), "FFFFFF") << "off the screen";
    // An empty window argument ends the arguments, so the screen is read at (0, 0).
    EXPECT_EQ(Function({"GETPIXEL", "", "40", "40"}), ScreenPixel(0, 0));
    // Inside, the black client area reads black.
    RECT frame;
    GetWindowRect(window, &frame);
    POINT p = {50, 50};
    ClientToScreen(window, &p);
    EXPECT_EQ(Function({"GETPIXEL", handle, std::to_string(p.x - frame.left), std::to_string(p.y - frame.top)}),
              "000000");
}

// ---- MOUSEDOWN ------------------------------------------------------------------

class MouseTest : public DrawTest {
protected:
    void TearDown() override {
        Press(0);
        DrawTest::TearDown();
    }

    // Holds down exactly the buttons named (letters L, M, R) through the system's
    // input queue, and lets the thread take the messages so that its key state follows.
    void Press(int buttons) {
        static const DWORD down[] = {MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_RIGHTDOWN};
        static const DWORD up[] = {MOUSEEVENTF_LEFTUP, MOUSEEVENTF_MIDDLEUP, MOUSEEVENTF_RIGHTUP};
        static const int keys[] = {VK_LBUTTON, VK_MBUTTON, VK_RBUTTON};
        POINT centre = {100, 100};
        ClientToScreen(window, &centre);
        SetCursorPos(centre.x, centre.y);
        for (int i = 0; i < 3; ++i) {
            bool wanted = (buttons >> i) & 1;
            if (wanted == held[i]) continue;
            INPUT input = {};
            input.type = INPUT_MOUSE;
            input.mi.dwFlags = wanted ? down[i] : up[i];
            SendInput(1, &input, sizeof input);
            held[i] = wanted;
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            PumpMessages();
            bool settled = true;
            for (int i = 0; i < 3; ++i) settled = settled && (GetKeyState(keys[i]) < 0) == held[i];
            if (settled) return;
            Sleep(5);
        }
        ADD_FAILURE() << "the button state did not reach the thread";
    }

    bool held[3] = {false, false, false};
};

enum { L = 1, M = 2, R = 4 };

TEST_F(MouseTest, ButtonsInOrderLeftMiddleRight) {
    struct Case {
        int buttons;
        const char* set;
        const char* answer;
    } cases[] = {
        {L, "", "1"},      {0, "", ""},          {L | R, "LR", "1|1"}, {L, "LR", "1|"},
        {R, "LR", "|1"},   {0, "LR", "|"},       {M, "LMR", "|1|"},    {L | M | R, "RML", "1|1|1"},
        {L | R, "RL", "1|1"}, {L | R, "lr", "1|1"}, {L, "LL", "1"},    {L | M | R, "X", ""},
        {R, "r", "1"},     {M, "m", "1"},        {M, "L", ""},
        // Letters count in either case within the first eight characters only.
        {L, "xxxxxxxl", "1"}, {L, "xxxxxxxxl", ""}, {L, "xxxxxxxxL", "1"}, {R, "abcdefghijklmnopqrstuvwxyz", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("set \"") + c.set + "\" buttons " + std::to_string(c.buttons));
        Press(c.buttons);
        ASSERT_NE(GetFocus(), nullptr);
        EXPECT_EQ(Function({"MOUSEDOWN", c.set}), c.answer);
    }
}

TEST_F(MouseTest, ArgumentIsLeftAsItCame) {
    Press(L | R);
    EXPECT_EQ(FunctionKeepingBlock({"MOUSEDOWN", "lr"}), "1|1");
}

TEST_F(MouseTest, WithoutFocusAnswersEmpty) {
    Press(L | R);
    SetFocus(nullptr);
    ASSERT_EQ(GetFocus(), nullptr);
    EXPECT_EQ(Function({"MOUSEDOWN", "LR"}), "");
    EXPECT_EQ(Function({"MOUSEDOWN"}), "");
}

}  // namespace

// ---- coordinates beyond GDI's range ------------------------------------------------

// GDI keeps coordinates within 27 bits. A shape reaching beyond draws nothing, as its
// call fails on Windows (and arcs at the 32-bit limits used to bring the process
// down); a shape just inside the range still draws.
TEST_F(DrawTest, ShapesBeyondTheCoordinateRangeDrawNothing) {
    const std::string huge = "2147483647", low = "-2147483648", over = "134217728";
    const std::vector<std::vector<std::string>> beyond = {
        {"PIE", "0", huge, "1", "0", "0", "0", "0", "0"},
        {"ARC", "0", low, "1", "0", "0", "0", "0", "0"},
        {"PIE", "10", "10", over, "60", "0", "0", "0", "0"},
        {"ELLIPSE", "10", "10", huge, huge},
        {"RECTANGLE", low, low, huge, huge},
        {"ROUNDRECT", "10", "10", "60", "60", huge, "5"},
        {"LINE", "0", "0", huge, huge},
        {"FLOOD", huge, "5"},
    };
    for (const char* pen : {"1", "5"}) {
        for (const auto& shape : beyond) {
            SCOPED_TRACE(shape[0] + " with pen " + pen);
            ClearToWhite();
            Draw({"PEN", "RED", "SOLID", pen});
            Draw({"FILL", "LTBLUE"});
            EXPECT_EQ(Draw(shape), 0);
            EXPECT_EQ(CountOther(Area(0, 0, 80, 80), RGB(255, 255, 255)), 0u);
        }
    }
    // The same pen and brush draw a shape within the range.
    ClearToWhite();
    Draw({"PEN", "RED", "SOLID", "5"});
    Draw({"FILL", "LTBLUE"});
    EXPECT_EQ(Draw({"PIE", "10", "10", "60", "60", "60", "35", "10", "35"}), 0);
    EXPECT_GT(Count(Area(0, 0, 80, 80), RGB(0, 0, 255)), 0u);
}
