// Script syntax: blank-separated words, "..." quotes a word ("" inside is one quote,
// "" alone an empty word), # starts a comment outside quotes, a leading ? marks a
// function statement and a leading . a host directive.
#include <stdio.h>

#include "host.h"

static bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool ParseLine(const std::string& line, Statement& out, std::string& error) {
    out = Statement();
    size_t i = 0, n = line.size();
    while (i < n) {
        while (i < n && IsBlank(line[i])) ++i;
        if (i >= n || line[i] == '#') break;
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                if (line[i] == '"') {
                    if (i + 1 < n && line[i + 1] == '"') {
                        word += '"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                word += line[i++];
            }
            if (!closed) {
                error = "unterminated quote";
                return false;
            }
            if (i < n && !IsBlank(line[i]) && line[i] != '#') {
                error = "a quoted word must be followed by a blank";
                return false;
            }
        } else {
            while (i < n && !IsBlank(line[i])) word += line[i++];
        }
        out.words.push_back(word);
    }
    if (out.words.empty()) return true;

    std::string& first = out.words[0];
    if (first == "?") {
        out.function = true;
        out.words.erase(out.words.begin());
    } else if (first.size() > 1 && first[0] == '?') {
        out.function = true;
        first.erase(0, 1);
    } else if (first.size() > 1 && first[0] == '.') {
        out.directive = true;
        first.erase(0, 1);
    }
    if (out.words.empty()) {
        error = "a function statement needs a keyword";
        return false;
    }
    return true;
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"') {
            out += "\"\"";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}
