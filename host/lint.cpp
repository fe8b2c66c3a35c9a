// Warnings about statements the library takes without complaint but that cannot do
// what their author meant (the statement still runs exactly as written), and the one
// such mistake that stops the script: an empty word with words after it.
#include <stdio.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "host.h"
#include "keywords.h"
#include "../src/calls/constants.h"

template <size_t N>
static bool Listed(const char* const (&list)[N], const std::string& word) {
    for (const char* entry : list)
        if (lstrcmpiA(entry, word.c_str()) == 0) return true;
    return false;
}

// Whether the argument begins with one of DLLFUNC's prefixes, compared as the
// library compares them: case ignored, over exactly the prefix's length.
static bool HasCallPrefix(const std::string& arg) {
    for (const char* prefix : kCallPrefixes) {
        size_t n = lstrlenA(prefix);
        if (arg.size() >= n && lstrcmpiA(arg.substr(0, n).c_str(), prefix) == 0) return true;
    }
    return false;
}

// A constant's name, or names and numbers joined by | and + as DLLCALL reads them,
// holding at least one name: its value as DLLFUNC's INT: would need it written.
static bool ConstantText(const std::string& text, long* value) {
    unsigned long long total = 0, term = 0;
    bool named = false;
    size_t part = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '|' && !(text[i] == '+' && i > part)) continue;
        std::string word = text.substr(part, i - part);
        if (word.empty()) return false;
        ConstantValue constant;
        char* end = nullptr;
        if (FindConstant(word.c_str(), word.size(), &constant)) {
            named = true;
            term += constant.bits;
        } else {
            long long number = strtoll(word.c_str(), &end, 0);
            if (*end) return false;
            term += static_cast<unsigned long long>(number);
        }
        if (i == text.size() || text[i] == '|') total |= term, term = 0;
        part = i + 1;
    }
    *value = static_cast<long>(total);
    return named;
}

// The argument's text after INT: or HANDLE: (and HANDLE's optional %), or null.
static const char* NumberAfterPrefix(const std::string& arg) {
    for (const char* prefix : {"INT:", "HANDLE:"}) {
        size_t n = lstrlenA(prefix);
        if (arg.size() < n || lstrcmpiA(arg.substr(0, n).c_str(), prefix) != 0) continue;
        const char* rest = arg.c_str() + n;
        return n == 7 && *rest == '%' ? rest + 1 : rest;
    }
    return nullptr;
}

static bool IsClipboardWord(const std::string& word) { return lstrcmpiA(word.c_str(), "!CLIPBOARD!") == 0; }

static void WarnDllFunc(const Statement& s, std::vector<std::string>& warnings) {
    if (s.words.size() < 3 || (!Listed(kCallResultTypes, s.words[2]) && !IsClipboardWord(s.words[2]))) {
        warnings.push_back("DLLFUNC needs a result type INT or STR after the function's name; without one "
                           "nothing is called and the answer is empty");
        return;
    }
    // The library reads arguments up to the first empty one.
    for (size_t i = 3; i < s.words.size() && !s.words[i].empty(); ++i) {
        const std::string& arg = s.words[i];
        long value;
        const char* number = NumberAfterPrefix(arg);
        if (number && ConstantText(number, &value)) {
            warnings.push_back("DLLFUNC argument " + std::to_string(i - 2) + " " + Quote(arg) +
                               " passes 0: DLLFUNC reads no constant names; write its value (" +
                               arg.substr(0, number - arg.c_str()) + std::to_string(value) +
                               ") or declare the function and call it with DLLCALL");
            continue;
        }
        // A word where the number goes: a misspelt constant, most likely.
        char nearest[3 * ConstantNameBytes];
        bool word = number && (isalpha(static_cast<unsigned char>(*number)) || *number == '_');
        if (word && !HasCallPrefix(number)) {  // chained prefixes (HANDLE:INT:5) read on
            bool suggested = ConstantSuggest(number, strlen(number), nearest, sizeof nearest);
            warnings.push_back("DLLFUNC argument " + std::to_string(i - 2) + " " + Quote(arg) +
                               " passes 0: DLLFUNC reads numbers only" +
                               (suggested ? std::string(" (did you mean ") + nearest + "? write its value)" : ""));
            continue;
        }
        if (HasCallPrefix(arg) || IsClipboardWord(arg)) continue;
        if (ConstantText(arg, &value)) {
            warnings.push_back("DLLFUNC argument " + std::to_string(i - 2) + " " + Quote(arg) +
                               " begins with no prefix and passes 0: DLLFUNC reads no constant names; write INT:" +
                               std::to_string(value) + " or declare the function and call it with DLLCALL");
            continue;
        }
        warnings.push_back("DLLFUNC argument " + std::to_string(i - 2) + " " + Quote(arg) +
                           " begins with no prefix and passes 0 (a number is written INT:" + arg + ")");
    }
}

// The colour words of a DRAW statement: PEN, FILL and FONT take one first, FLOOD
// after the point.
static void WarnDrawColour(const Statement& s, std::vector<std::string>& warnings) {
    if (s.words.size() < 2) return;
    size_t at = 0;
    const std::string& what = s.words[1];
    if (lstrcmpiA(what.c_str(), "PEN") == 0 || lstrcmpiA(what.c_str(), "FILL") == 0 ||
        lstrcmpiA(what.c_str(), "FONT") == 0)
        at = 2;
    else if (lstrcmpiA(what.c_str(), "FLOOD") == 0)
        at = 4;
    if (!at || at >= s.words.size() || s.words[at].empty()) return;
    const std::string& colour = s.words[at];
    if (colour[0] == '0' || Listed(kColourNames, colour) || IsClipboardWord(colour)) return;
    warnings.push_back("the colour " + Quote(colour) + " is not one DRAW knows: it draws black");
}

// A prototype, structure or interface pasted without quotes is split at its blanks,
// and the library joins the pieces with commas ("int, MulDiv(int, a,, ..."). Split at
// its commas on purpose, the first piece holds the '(' or '{'.
static void WarnUnquotedDeclaration(const Statement& s, std::vector<std::string>& warnings) {
    size_t first = 0;
    const char* mark = "(";
    bool callback = lstrcmpiA(s.words[0].c_str(), "DLLCALLBACK") == 0;
    if (lstrcmpiA(s.words[0].c_str(), "DLLDECLARE") == 0) first = 3;
    else if (callback) first = 2;
    else if (lstrcmpiA(s.words[0].c_str(), "DLLSTRUCT") == 0 || lstrcmpiA(s.words[0].c_str(), "DLLINTERFACE") == 0)
        first = 1, mark = "{";
    // A callback's answer and event follow its prototype, which ends at its ')'.
    size_t last = s.words.size() - 1;
    if (callback)
        for (last = first; last + 1 < s.words.size() && s.words[last].find(')') == std::string::npos; ++last) {}
    if (!first || last <= first || s.words[first].find(mark) != std::string::npos) return;
    std::string whole;
    for (size_t i = first; i <= last; ++i) whole += (i > first ? " " : "") + s.words[i];
    warnings.push_back(s.words[0] + "'s declaration is not quoted: its blanks split it into " +
                       std::to_string(last + 1 - first) + " words; quote it whole, " + Quote(whole) +
                       " (a quoted text may run over several lines)");
}

std::vector<std::string> StatementWarnings(const Statement& s) {
    std::vector<std::string> warnings;
    if (s.directive || s.words.empty()) return warnings;
    const std::string& keyword = s.words[0];
    bool command = Listed(kLibraryCommands, keyword), function = Listed(kLibraryFunctions, keyword);
    if (!command && !function) {
        warnings.push_back("the library has no keyword " + Quote(keyword) +
                           (s.function ? ": it answers \"Invalid Function\"" : ": it does nothing and answers 0"));
    } else if (s.function && !function) {
        warnings.push_back(keyword + " is a command: written with ? it answers \"Invalid Function\"");
    } else if (!s.function && !command) {
        warnings.push_back(keyword + " is a function: write ? " + keyword +
                           " (as a command it does nothing and answers 0)");
    } else if (s.function && lstrcmpiA(keyword.c_str(), "MENU") == 0 &&
               (s.words.size() < 2 || lstrcmpiA(s.words[1].c_str(), "GETSTATE") != 0)) {
        warnings.push_back("? MENU answers only GETSTATE; others are commands (without ?)");
    } else if (s.function && lstrcmpiA(keyword.c_str(), "DLLFUNC") == 0) {
        WarnDllFunc(s, warnings);
    } else if (!s.function && lstrcmpiA(keyword.c_str(), "DRAW") == 0) {
        WarnDrawColour(s, warnings);
    } else if (!s.function) {
        WarnUnquotedDeclaration(s, warnings);
    }
    if (s.loopCap && !s.function)
        warnings.push_back("a command's answer is a number, never empty: this .while runs until its cap");
    return warnings;
}

std::string EmptyWordHidingOthers(const std::vector<std::string>& written, const std::vector<std::string>& passed) {
    size_t empty = 0;
    while (empty < passed.size() && !passed[empty].empty()) ++empty;
    bool hides = false;
    std::string lost;
    for (size_t i = empty + 1; i < passed.size(); ++i) {
        hides = hides || !passed[i].empty();
        lost += " " + Quote(passed[i]);
    }
    if (!hides) return "";
    std::string what = written[empty].empty() ? "\"\" with words after it" : written[empty] + " is empty, with words after it";
    return what + ": the library reads a statement's words up to the first empty one, so" + lost +
           " would never reach it (an empty word can only come last)";
}
