// Script syntax: blank-separated words, "..." quotes a word ("" inside is one quote,
// "" alone an empty word) and may run over several lines (each line break becomes a
// blank), e"..." also reads the escapes \r \n \t \\ \", # starts a comment outside
// quotes, a leading ? marks a function statement and a leading . a host directive.
// The whole script is read before anything runs, so a quote left open is reported
// with the line it opened on, not after the statements before it ran.
#include <stdio.h>
#include <stdlib.h>

#include "host.h"

static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The reader's place in the script.
struct Cursor {
    const std::string& text;
    size_t at;
    int line;
    bool atEnd() const { return at >= text.size(); }
    char peek() const { return at < text.size() ? text[at] : '\0'; }
};

// The character an escape of an e"..." text stands for, or 0 for none.
static char Escaped(char c) {
    switch (c) {
        case 'r': return '\r';
        case 'n': return '\n';
        case 't': return '\t';
        case '\\': return '\\';
        case '"': return '"';
        default: return 0;
    }
}

// Reads a quoted word from its opening quote; a line break in it becomes a blank.
static bool ReadQuoted(Cursor& c, bool escapes, std::string& word, int& errorLine, std::string& error) {
    int opened = c.line;
    ++c.at;
    for (;;) {
        if (c.atEnd()) {
            errorLine = opened;
            error = "unterminated quote: the text opened on this line runs to the end of the script";
            return false;
        }
        char ch = c.text[c.at++];
        if (ch == '"') {
            if (c.peek() != '"') break;
            ++c.at;
        } else if (escapes && ch == '\\') {
            if (c.atEnd()) continue;  // a text that ends open, reported as such at the loop's top
            ch = Escaped(c.peek());
            if (!ch) {
                errorLine = c.line;
                // A control character is named as \xNN: a NUL would cut the message, a line
                // break split it.
                std::string next(1, c.peek());
                std::string escape = Visible(next) == next ? "\\" + next : "\\ before " + Visible(next);
                error = "unknown escape " + escape + " (e\"...\" knows \\r \\n \\t \\\\ \\\")";
                return false;
            }
            ++c.at;
        } else if (ch == '\r' && c.peek() == '\n') {
            continue;
        } else if (ch == '\n') {
            ++c.line;
            ch = ' ';
        }
        word += ch;
    }
    if (!c.atEnd() && !IsBlank(c.peek()) && c.peek() != '#') {
        errorLine = c.line;
        error = "a quoted word must be followed by a blank";
        if (c.line != opened) error += " (the quote before it opened on line " + std::to_string(opened) + ")";
        return false;
    }
    return true;
}

// Reads the words of one statement, up to the line break that ends it.
static bool ReadWords(Cursor& c, std::vector<std::string>& words, int& errorLine, std::string& error) {
    for (;;) {
        while (!c.atEnd() && IsBlank(c.peek()) && c.peek() != '\n') ++c.at;
        if (c.atEnd()) return true;
        if (c.peek() == '\n') {
            ++c.at;
            ++c.line;
            return true;
        }
        if (c.peek() == '#') {
            while (!c.atEnd() && c.peek() != '\n') ++c.at;
            continue;
        }
        std::string word;
        bool escapes = (c.peek() == 'e' || c.peek() == 'E') && c.at + 1 < c.text.size() && c.text[c.at + 1] == '"';
        if (escapes) ++c.at;
        if (c.peek() == '"') {
            if (!ReadQuoted(c, escapes, word, errorLine, error)) return false;
        } else {
            while (!c.atEnd() && !IsBlank(c.peek())) {
                if (c.peek() == '"') {
                    errorLine = c.line;
                    error = "a quote inside a word (quote the whole word, each quote in it doubled)";
                    return false;
                }
                word += c.text[c.at++];
            }
        }
        words.push_back(word);
    }
}

// Sets the marks, the name and the words of a statement from its words.
static bool Classify(std::vector<std::string> words, Statement& s, std::string& error) {
    std::string& first = words[0];
    if (first == "?") {
        s.function = true;
        words.erase(words.begin());
    } else if (first.size() > 1 && first[0] == '?') {
        s.function = true;
        first.erase(0, 1);
    } else if (first.size() > 1 && first[0] == '.') {
        s.directive = true;
        first.erase(0, 1);
    }
    // "?" alone leaves no word to look for a name or a keyword in.
    if (words.empty()) {
        error = "a function statement needs a keyword";
        return false;
    }
    // "n=GETINT 1", "n= GETINT 1" and "n =GETINT 1" name no keyword: the library would
    // only answer that it does not know the word.
    size_t eq = words[0].find('=');
    bool glued = eq != std::string::npos && eq > 0 && IsName(words[0].substr(0, eq));
    if (!s.directive && (glued || (words.size() >= 2 && words[1].size() > 1 && words[1][0] == '=' && IsName(words[0])))) {
        std::string name = glued ? words[0].substr(0, eq) : words[0];
        error = "a name's = needs a blank on each side: " + name + " = KEYWORD ...";
        return false;
    }
    if (!s.directive && words.size() >= 2 && words[1] == "=") {
        if (!IsName(words[0])) {
            error = "\"" + words[0] + "\" cannot be a name: a name is a letter or _, then letters, digits or _";
            return false;
        }
        if (IsHostWord(words[0])) {
            error = words[0] + " is a word of the host: choose another name";
            return false;
        }
        s.name = words[0];
        words.erase(words.begin(), words.begin() + 2);
    }
    if (words.empty()) {
        error = s.function ? "a function statement needs a keyword" : "a name needs a statement after its =";
        return false;
    }
    s.words = words;
    return true;
}

// ".while CAP statement" heads a loop: the statement with its cap.
static bool ReadLoopHead(Statement& s, std::string& error) {
    char* end = nullptr;
    long cap = s.words.size() > 2 ? strtol(s.words[1].c_str(), &end, 10) : 0;
    if (cap < 1 || *end) {
        error = ".while needs a cap of turns (a number from 1) and a statement: .while 100 ? row = ...";
        return false;
    }
    Statement inner;
    inner.line = s.line;
    inner.text = s.text;
    if (!Classify(std::vector<std::string>(s.words.begin() + 2, s.words.end()), inner, error)) return false;
    if (inner.directive) {
        error = ".while repeats a statement of the library, not a directive";
        return false;
    }
    inner.loopCap = static_cast<int>(cap);
    s = inner;
    return true;
}

bool ParseScript(const std::string& script, std::vector<Statement>& out, int& errorLine, std::string& error) {
    out.clear();
    Cursor c{script, 0, 1};
    std::vector<size_t> open;  // the loops not yet ended
    while (!c.atEnd()) {
        Statement s;
        s.line = c.line;
        size_t start = c.at;
        std::vector<std::string> words;
        if (!ReadWords(c, words, errorLine, error)) return false;
        if (words.empty()) continue;
        for (size_t i = start; i < c.at; ++i) s.text += IsBlank(script[i]) ? ' ' : script[i];
        s.text.erase(0, s.text.find_first_not_of(' '));
        s.text.erase(s.text.find_last_not_of(' ') + 1);
        errorLine = s.line;
        if (!Classify(words, s, error)) return false;
        if (s.directive && s.words[0] == "while" && !ReadLoopHead(s, error)) return false;
        if (s.loopCap) open.push_back(out.size());
        if (s.directive && s.words[0] == "end") {
            if (open.empty()) {
                error = ".end without a .while";
                return false;
            }
            s.jump = open.back();
            out[open.back()].jump = out.size() + 1;
            open.pop_back();
        }
        out.push_back(s);
    }
    if (!open.empty()) {
        errorLine = out[open.back()].line;
        error = "this .while has no .end";
        return false;
    }
    return true;
}

// Control characters as \xNN, so that each printed item stays on its own line.
std::string Visible(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : Visible(text)) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}
