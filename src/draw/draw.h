// What the parts of the drawing subsystem share among themselves.
#pragma once

#include <windows.h>

// The COLORREF a script's colour text names: one of fourteen names (any case) or
// "0x" and hexadecimal digits, taken as the COLORREF itself. Anything else is black.
COLORREF ParseColor(const char* text);

// True for PEN, FILL and FONT: the words that only change the drawing state and
// need no window.
bool IsStateWord(const char* word);
// Runs PEN, FILL or FONT on the drawing state.
void ChangeDrawingState(const char* word);

// Draws Args[2..4] as text on the surface with the font colour and font.
void DrawTextOnSurface();
// Makes the pen and brush, runs the shape word (FLOOD, LINE, ARC, PIE, ELLIPSE,
// RECTANGLE, ROUNDRECT) on the surface, and deletes them again. Any other word
// draws nothing.
void DrawShapeOnSurface(const char* word);
