// Searching under a double-byte ANSI code page. The suite runs this program under a
// Japanese locale, from which Wine takes code page 932.
#include "fixture.h"

using CodePageTest = TrakxTest;

// A case-blind search folds single-byte letters only: the bytes of a double-byte
// character never change, even where they look like letters.
TEST_F(CodePageTest, CaseBlindSearchKeepsDoubleByteCharactersWhole) {
    ASSERT_TRUE(IsDBCSLeadByte(0x83)) << "code page " << GetACP() << " has no double-byte characters";
    // 83 61 and 83 41 are two different characters of code page 932.
    const std::string path = Scratch() + "\\double-byte.txt";
    WriteAll(path, "ab\x83\x61" "cd\x83\x41" "x\x83\x61");
    ASSERT_EQ(Command({"FILEOPEN", "1", path, "READ"}), 0);
    struct Case {
        const char* keyword;
        std::string pattern;
        const char* exact;
        const char* answer;
    } cases[] = {
        {"FILESEARCHTEXT", "\x83\x41", "", "6"},       {"FILESEARCHTEXT", "\x83\x61", "", "2"},
        {"FILESEARCHTEXT", "AB\x83\x61", "", "0"},     {"FILESEARCHTEXT", "cD\x83\x41X", "", "4"},
        {"FILESEARCHTEXT", "CD\x83\x61", "", ""},      {"FILESEARCHTEXT", "X\x83\x41", "", ""},
        {"FILESEARCHTEXT", "\x83\x61", "EXACT", "2"},  {"FILESEARCHTEXT", "AB", "EXACT", ""},
        {"FILESEARCHHEX", "83 41 ", "", "6"},          {"FILESEARCHHEX", "63 44 83 41", "", "4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.keyword) + " " + c.pattern + " " + c.exact);
        EXPECT_EQ(Function({"FILESETPOS", "1", "0"}), "0");
        EXPECT_EQ(Function({c.keyword, "1", c.pattern, c.exact}), c.answer);
    }
}
