// The reference host: a small script runner for TRAKX.dll.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "trakx_host.h"

// One statement of a script, split into words. `function` is set by a leading "?",
// `directive` by a leading "." (the directive's name is then words[0] without the
// dot). "NAME =" in front of the keyword keeps the answer under NAME. A statement
// with a loop cap heads a .while loop: it runs at every turn, and its empty answer
// ends the loop.
struct Statement {
    bool function = false;
    bool directive = false;
    std::vector<std::string> words;
    std::string name;
    int loopCap = 0;
    size_t jump = 0;   // a loop's head: the statement after its .end; an .end: its head
    int line = 0;      // where the statement begins
    std::string text;  // as written, its lines joined by blanks
};

// Splits a whole script into statements, blank and comment lines left out. Answers
// false with the line and text of the first syntax error; nothing has run then.
bool ParseScript(const std::string& script, std::vector<Statement>& out, int& errorLine, std::string& error);

// What is wrong with a statement that the library would take without complaint
// (a function written as a command, an unknown keyword or colour, a DLLFUNC argument
// without a prefix, ...), one text per mistake; none for a sound statement.
std::vector<std::string> StatementWarnings(const Statement& s);

// The block the library reads ends at its first empty text, so an empty word with
// words after it would silently drop them. Answers what is wrong, naming the word as
// `written` (a literal "" or a %NAME% that came out empty), or "" when every word of
// `passed` reaches the library; `written` and `passed` hold the same words before and
// after substitution.
std::string EmptyWordHidingOthers(const std::vector<std::string>& written, const std::vector<std::string>& passed);

// Writes the window's client area to a PNG file; answers false on failure.
bool SaveClientPicture(HWND window, const std::string& path);

// Text with its control characters shown as \xNN; Quote also quotes it as a script
// word.
std::string Visible(const std::string& text);
std::string Quote(const std::string& text);

// ---- encodings (encoding.cpp) --------------------------------------------------
// A script in UTF-8 (with or without its byte order mark) converted to the ANSI code
// page in place; `lossyLines` gets each line with a character that page cannot hold
// (written as ?). A script that is not UTF-8 is left as it is.
void ScriptToAnsi(std::string& script, std::vector<int>& lossyLines);
// ANSI text as UTF-8, for the terminal.
std::string AnsiToUtf8(const std::string& text);

// ---- names (names.cpp) ---------------------------------------------------------
// Whether a word can name an answer: a letter or _, then letters, digits, _.
bool IsName(const std::string& word);
// Whether a name is one of the host's own words (%HWND% ...).
bool IsHostWord(const std::string& name);
// Replaces each %NAME%, %NAME.N% (field N of the value split on |) and %NAME+N%
// (+ - * / with numbers or names, left to right) by its value; text between % signs
// that names nothing stays as it is. Answers false with an error text when the
// arithmetic cannot be done.
bool Substituted(const std::string& word, std::string& out, std::string& error);
// Keeps a value under a name for later substitutions.
void SetName(const std::string& name, const std::string& value);
// The %...% of a statement's words that begin with a name no statement of the script
// keeps (`kept`), each with a hint when a kept name differs only in case: a misspelt
// name would otherwise pass on as written, unnoticed.
std::vector<std::string> UnkeptNames(const std::vector<std::string>& words, const std::vector<std::string>& kept);
// The value of a host word (the window's handle, its client area's origin).
bool HostWordValue(const std::string& name, long& value);
