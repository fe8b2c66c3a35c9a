// Searching under a double-byte ANSI code page. The suite runs this program under a
// Japanese locale, from which Wine takes code page 932.
#include "fixture.h"
#include "word_matching.h"

using CodePageTest = TrakxTest;

// A case-blind search never folds the bytes of a double-byte character one by one,
// even where they look like letters.
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

// A case-blind search reads the file as characters wherever it starts: at a chunk
// border of the search (every million bytes) and at a position the script set,
// either of which can fall on the second byte of a double-byte character. A
// double-byte character is upper-cased as the system's ANSI call does it, as a
// whole; its second byte is never taken for a letter of its own.
TEST_F(CodePageTest, CaseBlindSearchKeepsInStepWithTheCharacters) {
    ASSERT_TRUE(IsDBCSLeadByte(0x83)) << "code page " << GetACP() << " has no double-byte characters";
    const std::string dots996(999996, '.'), dots998(999998, '.');
    // Small a, b, c in full width, Greek and Cyrillic, and their capitals; whether a
    // case-blind search takes one for the other is what the system's upper-casing
    // says (after two single-byte characters, where the search finds them).
    const std::string smallAbc = "\x82\x81\x82\x82\x82\x83", capitalAbc = "\x82\x60\x82\x61\x82\x62";
    const std::string smallGreek = "\x83\xBF\x83\xC0\x83\xC1", capitalGreek = "\x83\x9F\x83\xA0\x83\xA1";
    const std::string smallCyrillic = "\x84\x70\x84\x71\x84\x72", capitalCyrillic = "\x84\x40\x84\x41\x84\x42";
    auto foundAfterTwo = [](std::string small, const std::string& capital) {
        CharUpperBuffA(&small[0], static_cast<DWORD>(small.size()));
        return small == capital ? "2" : "";
    };
    struct Case {
        const char* what;
        std::string data;
        const char* start;
        std::string pattern;
        const char* exact;
        const char* answer;
    } cases[] = {
        // The second chunk begins at 999997, on the second byte of 83 81 (itself a
        // byte that could lead a character).
        {"match across the chunk border", dots996 + "\x83\x81" "abc", "0", "ABC", "", "999998"},
        {"the same, exact", dots996 + "\x83\x81" "abc", "0", "abc", "EXACT", "999998"},
        // The second chunk begins at 999999, on the 61 of 83 61.
        {"second byte at the chunk border", dots998 + "\x83\x61" + std::string(100, '.'), "0", "A", "", ""},
        {"from the second byte of a character", "\x83\x61" "a", "1", "A", "", "2"},
        {"after two characters' worth of lead bytes", "\x83\x83\x61", "2", "A", "", "2"},
        {"full-width small letters", "xx" + smallAbc + "xx", "0", capitalAbc, "", foundAfterTwo(smallAbc, capitalAbc)},
        {"full-width capitals", "xx" + capitalAbc + "xx", "0", smallAbc, "", foundAfterTwo(smallAbc, capitalAbc)},
        {"Greek", "xx" + smallGreek, "0", capitalGreek, "", foundAfterTwo(smallGreek, capitalGreek)},
        {"Cyrillic", "xx" + capitalCyrillic, "0", smallCyrillic, "", foundAfterTwo(smallCyrillic, capitalCyrillic)},
        {"full-width, exact", "xx" + smallAbc + "xx", "0", capitalAbc, "EXACT", ""},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = Scratch() + "\\step" + std::to_string(++number) + ".txt";
        WriteAll(path, c.data);
        ASSERT_EQ(Command({"FILEOPEN", "1", path, "READ"}), 0);
        EXPECT_EQ(Function({"FILESETPOS", "1", c.start}), c.start);
        EXPECT_EQ(Function({"FILESEARCHTEXT", "1", c.pattern, c.exact}), c.answer);
        EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
    }
}
