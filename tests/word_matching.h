// Keywords, argument prefixes, mode words and "!CLIPBOARD!" in many spellings: each
// must match exactly when the system's comparison (lstrcmpiA) calls the texts equal,
// whatever shortcut the library takes. Included by the host test and by the code
// page 932 program, so that both locales run the same table.
#pragma once

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fixture.h"

namespace word_matching {

// The word as given, in other cases, with a hyphen, an apostrophe, a blank, control
// and high bytes inside, before or after it, and one character short or long.
inline std::vector<std::string> Spellings(const std::string& word) {
    std::vector<std::string> out = {word, ""};
    std::string lower = word, mixed = word;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (size_t i = 0; i < mixed.size(); i += 2) mixed[i] = lower[i];
    out.push_back(lower);
    out.push_back(mixed);
    const size_t mid = word.size() / 2;
    for (const char* insert : {"-", "'", "--", "''", "-'", " ", "\x01", "\x7F", "\xAD", "\x81", "\xE9", "\x96"}) {
        out.push_back(word.substr(0, mid) + insert + word.substr(mid));
        out.push_back(lower.substr(0, mid) + insert + lower.substr(mid));
        out.push_back(insert + word);  // a first character that is not a letter
    }
    out.push_back(word + "-");
    out.push_back("'" + lower);
    out.push_back(word + "\xAD");
    out.push_back(word.substr(0, word.size() - 1));
    out.push_back(word.substr(1));
    out.push_back(word + "X");
    out.push_back(word.substr(0, mid) + "-" + word.substr(mid + 1));   // a hyphen in place of a letter
    out.push_back(word.substr(0, mid) + "\xC9" + word.substr(mid + 1)); // a high byte in place of one
    return out;
}

// Every byte but the terminator, in place of the middle character and beside it.
inline std::vector<std::string> EveryByteInside(const std::string& word) {
    std::vector<std::string> out;
    const size_t mid = word.size() / 2;
    for (int b = 1; b < 256; ++b) {
        std::string c(1, static_cast<char>(b));
        out.push_back(word.substr(0, mid) + c + word.substr(mid + 1));
        out.push_back(word.substr(0, mid) + c + word.substr(mid));
    }
    return out;
}

inline bool SystemCallsEqual(const std::string& a, const char* b) { return lstrcmpiA(a.c_str(), b) == 0; }

}  // namespace word_matching

using WordMatching = TrakxTest;

TEST_F(WordMatching, SpellingsMatchExactlyWhereTheSystemComparisonSaysEqual) {
    using namespace word_matching;

    // Keywords of both tables, through what their handlers leave behind.
    ASSERT_EQ(Command({"SETINT", "3", "4242"}), 0);
    std::vector<std::string> keywords = Spellings("GETINT"), everyByte = EveryByteInside("GETINT");
    keywords.insert(keywords.end(), everyByte.begin(), everyByte.end());
    for (const std::string& s : keywords) {
        SCOPED_TRACE("function keyword \"" + s + "\"");
        EXPECT_EQ(Function({s, "3"}), SystemCallsEqual(s, "GETINT") ? "4242" : "Invalid Function");
    }
    for (const std::string& s : Spellings("SETINT")) {
        SCOPED_TRACE("command keyword \"" + s + "\"");
        ASSERT_EQ(Command({"SETINT", "3", "1"}), 0);
        EXPECT_EQ(Command({s, "3", "777"}), 0);
        EXPECT_EQ(Function({"GETINT", "3"}), SystemCallsEqual(s, "SETINT") ? "777" : "1");
    }

    // Argument prefixes and the answer's type word of DLLFUNC, through the words the
    // callee received.
    HMODULE testlib = LoadLibraryA(TestLibraryPath().c_str());
    ASSERT_NE(testlib, nullptr);
    auto recordedWord = reinterpret_cast<DWORD(__stdcall*)(int)>(GetProcAddress(testlib, "RecordedWord"));
    ASSERT_NE(recordedWord, nullptr);
    ASSERT_EQ(Command({"DLLLOAD", "1", TestLibraryPath()}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "1", "Words20"}), 0);
    ASSERT_EQ(Command({"SETINT", "0", "31"}), 0);
    // What a match passes, from the text after the prefix: -1 reads it as a number,
    // a leading "%" dropped for HANDLE:; else the integer slot's value.
    struct Prefix {
        const char* keyword;
        const char* after;  // what follows the prefix in the argument
        long slotValue;
    } prefixes[] = {{"INT:", "5", -1}, {"HANDLE:", "%12", -1}, {"INTBUF", "", 31}};
    for (const Prefix& p : prefixes) {
        const size_t length = strlen(p.keyword);
        for (const std::string& s : Spellings(p.keyword)) {
            std::string arg = s + p.after;
            if (arg.empty()) continue;  // an empty text would end the block
            SCOPED_TRACE("argument \"" + arg + "\"");
            ASSERT_NE(Function({"DLLFUNC", "Words20", "INT", arg}), "");
            DWORD expected = 0;
            if (arg.size() >= length && SystemCallsEqual(arg.substr(0, length), p.keyword)) {
                std::string rest = arg.substr(length);
                if (p.keyword[0] == 'H' && !rest.empty() && rest[0] == '%') rest.erase(0, 1);
                expected = static_cast<DWORD>(p.slotValue < 0 ? atol(rest.c_str()) : p.slotValue);
            }
            EXPECT_EQ(recordedWord(0), expected);
        }
    }
    const std::string intAnswer = Function({"DLLFUNC", "Words20", "INT", "INT:1"});
    ASSERT_NE(intAnswer, "");
    for (const std::string& s : Spellings("INT")) {
        SCOPED_TRACE("answer type \"" + s + "\"");
        if (s.empty()) continue;
        EXPECT_EQ(Function({"DLLFUNC", "Words20", s, "INT:1"}), SystemCallsEqual(s, "INT") ? intAnswer : "");
    }
    EXPECT_EQ(Command({"DLLUNLOAD", "1"}), 0);
    FreeLibrary(testlib);

    // The clipboard word, through the string slot it fills.
    PutClipboardText("from the clipboard");
    for (const std::string& s : Spellings("!CLIPBOARD!")) {
        if (s.empty()) continue;
        SCOPED_TRACE("argument \"" + s + "\"");
        ASSERT_EQ(Command({"SETSTR", "1", s}), 0);
        EXPECT_EQ(Function({"GETSTR", "1"}), SystemCallsEqual(s, "!CLIPBOARD!") ? "from the clipboard" : s);
    }
}
