// Colour texts: fourteen names or a hexadecimal COLORREF.
#include <stdio.h>

#include "../host/text.h"
#include "draw.h"

struct NamedColour {
    const char* name;
    COLORREF value;  // 0x00BBGGRR
};

// Searched in this order; the first equal name wins.
static const NamedColour kColours[] = {
    {"BLACK", 0x000000},   {"WHITE", 0xFFFFFF},   {"SILVER", 0xC0C0C0}, {"GRAY", 0x808080},
    {"RED", 0x0000FF},     {"DKRED", 0x000080},   {"LTGREEN", 0x00FF00}, {"DKGREEN", 0x008000},
    {"LTBLUE", 0xFF0000},  {"DKBLUE", 0x800000},  {"BROWN", 0x008080},  {"CYAN", 0xFFFF00},
    {"MAGENTA", 0x800080}, {"YELLOW", 0x00FFFF},
};

COLORREF ParseColor(const char* text) {
    // A text starting with the digit 0 is a number and never a name. One that
    // reads no number ("0", "0X12", "0x") is black, as an unknown name is.
    if (text[0] == '0') {
        unsigned int value = 0;
        if (sscanf(text, "0x%x", &value) != 1) return 0;
        return value;
    }
    for (const NamedColour& colour : kColours)
        if (SameWord(text, colour.name)) return colour.value;
    return 0;
}
