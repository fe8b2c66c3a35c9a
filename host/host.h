// The reference host: a small script runner for TRAKX.dll.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "trakx_host.h"

// One script line split into words. `function` is set by a leading "?", `directive`
// by a leading "." (the directive's name is then words[0] without the dot).
struct Statement {
    bool function = false;
    bool directive = false;
    std::vector<std::string> words;
};

// Splits one line; answers false with an error text on a syntax error. A blank or
// comment line gives a statement without words.
bool ParseLine(const std::string& line, Statement& out, std::string& error);

// What is wrong with a statement that the library would take without complaint
// (a function written as a command, an unknown keyword or colour, a DLLFUNC argument
// without a prefix, ...), one text per mistake; none for a sound statement.
std::vector<std::string> StatementWarnings(const Statement& s);

// Writes the window's client area to a PNG file; answers false on failure.
bool SaveClientPicture(HWND window, const std::string& path);

// Text as a quoted script word, bytes outside printable ASCII shown as \xNN.
std::string Quote(const std::string& text);
