// Files: the ten slots, reading and writing in three modes, searching and the
// list box save, all on real files in the test's scratch folder.
#include "fixture.h"

#include <malloc.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include <string>

namespace {

const std::string kNoPosition = "4294967295";  // what the system answers for a refused seek or size

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Whether another user of the file may open it now with this access.
bool OthersMayOpen(const std::string& path, DWORD access) {
    HANDLE h = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

// Bytes 0..n-1 of a repeating pattern that holds every byte value.
std::string Counting(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 256);
    return s;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        if (!text.empty()) text += ' ';
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

}  // namespace

class FileTest : public TrakxTest {
protected:
    std::string Path(const std::string& name) { return Scratch() + "\\" + name; }
    // A file with the given contents, opened in the slot.
    std::string OpenWith(int slot, const std::string& name, const std::string& data, const char* mode) {
        std::string path = Path(name);
        WriteAll(path, data);
        EXPECT_EQ(Command({"FILEOPEN", std::to_string(slot), path, mode}), 0) << name << " " << mode;
        return path;
    }
    std::string Pos(int slot) { return Function({"FILEGETPOS", std::to_string(slot)}); }
};

// ---- slots -------------------------------------------------------------------

TEST_F(FileTest, OpenModes) {
    struct Case {
        const char* mode;
        bool fileExists;
        int answer;
        bool fileAfter;
    } cases[] = {
        {"QUERY", true, 0, true},       {"QUERY", false, -1, false},   {"READ", true, 0, true},
        {"READ", false, -1, false},     {"WRITE", false, 0, true},     {"write", true, 0, true},
        {"read|write", false, 0, true}, {"READWRITE", true, -1, true}, {"APPEND", false, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + (c.fileExists ? " existing" : " missing"));
        std::string path = Path("modes.bin");
        DeleteFileA(path.c_str());
        if (c.fileExists) WriteAll(path, "kept");
        EXPECT_EQ(Command({"FILEOPEN", "1", path, c.mode}), c.answer);
        EXPECT_EQ(Pos(1), "0");
        // A failed open leaves a slot whose operations fail in the system.
        EXPECT_EQ(Function({"FILEGETSIZE", "1"}), c.answer ? kNoPosition : (c.fileExists ? "4" : "0"));
        EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
        EXPECT_EQ(Exists(path), c.fileAfter);
        if (c.fileExists) EXPECT_EQ(ReadAll(path), "kept");  // nothing is truncated
    }
}

TEST_F(FileTest, OpenWithoutModeChangesNothing) {
    OpenWith(1, "a.txt", "0123456789", "READ");
    EXPECT_EQ(Function({"FILESETPOS", "1", "4"}), "4");
    EXPECT_EQ(Command({"FILEOPEN", "1", Path("other.txt")}), 0);
    EXPECT_EQ(Pos(1), "4");
    EXPECT_EQ(Function({"FILEGETSIZE", "1"}), "10");
    EXPECT_FALSE(Exists(Path("other.txt")));
}

TEST_F(FileTest, ShareModes) {
    std::string path = OpenWith(1, "shared.txt", "data", "READ");
    // A reading slot admits more readers, but no writer.
    EXPECT_TRUE(OthersMayOpen(path, GENERIC_READ));
    EXPECT_FALSE(OthersMayOpen(path, GENERIC_WRITE));
    EXPECT_EQ(Command({"FILEOPEN", "2", path, "READ"}), 0);
    EXPECT_EQ(Command({"FILEOPEN", "3", path, "WRITE"}), -1);
    EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
    EXPECT_EQ(Command({"FILECLOSE", "2"}), 0);

    for (const char* mode : {"WRITE", "READ|WRITE"}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(Command({"FILEOPEN", "1", path, mode}), 0);
        EXPECT_FALSE(OthersMayOpen(path, GENERIC_READ));
        EXPECT_EQ(Command({"FILEOPEN", "2", path, "READ"}), -1);
        EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
        EXPECT_TRUE(OthersMayOpen(path, GENERIC_READ | GENERIC_WRITE));
    }
}

TEST_F(FileTest, CloseAndPositions) {
    EXPECT_EQ(Command({"FILECLOSE", "4"}), 0);  // never opened
    EXPECT_EQ(Command({"FILECLOSE", "4"}), 0);
    EXPECT_EQ(Command({"FILEOPEN", "4", Path("missing"), "READ"}), -1);
    EXPECT_EQ(Command({"FILECLOSE", "4"}), 0);

    OpenWith(3, "pos.txt", "0123456789", "READ");
    EXPECT_EQ(Function({"FILESETPOS", "3abc", "25"}), "25");  // past the end is accepted
    EXPECT_EQ(Pos(3), "25");
    EXPECT_EQ(Function({"FILESETPOS", "3", "2147483648"}), kNoPosition);
    EXPECT_EQ(Pos(3), kNoPosition);
    EXPECT_EQ(Function({"FILESETPOS", "3", "99999999999"}), kNoPosition);
    EXPECT_EQ(Function({"FILESETPOS", "3", "x"}), "0");
    EXPECT_EQ(Function({"FILESETPOS", "3", "7"}), "7");
    EXPECT_EQ(Function({"FILEREAD", "3", "TEXT", "2"}), "78");
    EXPECT_EQ(Command({"FILECLOSE", "3"}), 0);
    EXPECT_EQ(Pos(3), "9");  // a close keeps the position
    EXPECT_EQ(Function({"FILEGETSIZE", "3"}), kNoPosition);
}

TEST_F(FileTest, NumbersOutsideTheTable) {
    std::string path = OpenWith(10, "ten.txt", "0123456789", "READ");
    OpenWith(1, "one.txt", "abc", "READ");
    for (const char* number : {"0", "11", "-1", "abc", "2147483648", "65537"}) {
        SCOPED_TRACE(number);
        EXPECT_EQ(Command({"FILEOPEN", number, path, "READ"}), -1);
        EXPECT_EQ(Command({"FILECLOSE", number}), -1);
        EXPECT_EQ(Command({"FILEREAD", number, "TEXT", "1"}), -1);
        EXPECT_EQ(Command({"FILEWRITE", number, "TEXT", "x"}), -1);
        EXPECT_EQ(Function({"FILEGETPOS", number}), "");
        EXPECT_EQ(Function({"FILESETPOS", number, "5"}), "");
        EXPECT_EQ(Function({"FILEGETSIZE", number}), "");
        EXPECT_EQ(Function({"FILEREAD", number, "HEX", "1"}), "");
        EXPECT_EQ(Function({"FILESEARCHTEXT", number, "a"}), "");
        EXPECT_EQ(Function({"FILESEARCHHEX", number, "41"}), "");
    }
    EXPECT_EQ(Function({"FILEGETSIZE", "10"}), "10");
    EXPECT_EQ(Function({"FILEREAD", "1", "TEXT"}), "abc");
}

TEST_F(FileTest, ReopeningASlotClosesItsFile) {
    std::string first = OpenWith(1, "first.txt", "one", "WRITE");
    EXPECT_EQ(Command({"FILEOPEN", "1", first, "WRITE"}), 0);  // the same file again
    EXPECT_EQ(Command({"FILEOPEN", "1", Path("second.txt"), "READ|WRITE"}), 0);
    EXPECT_TRUE(OthersMayOpen(first, GENERIC_READ | GENERIC_WRITE));
    EXPECT_FALSE(OthersMayOpen(Path("second.txt"), GENERIC_READ));
}

static int g_closeCalls;
static BOOL WINAPI FailFirstClose(HANDLE handle) {
    if (g_closeCalls++ == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(handle);
}

TEST_F(FileTest, UnloadClosesEveryFile) {
    EXPECT_EQ(Command({"FILEOPEN", "1", Path("missing"), "READ"}), -1);  // holds the invalid value
    std::string a = OpenWith(3, "three.txt", "3", "WRITE");
    std::string b = OpenWith(5, "five.txt", "5", "READ|WRITE");
    std::string c = OpenWith(10, "ten.txt", "10", "WRITE");
    g_closeCalls = 0;
    ASSERT_TRUE(Patch("kernel32.dll", "CloseHandle", reinterpret_cast<void*>(FailFirstClose)));
    Unload();
    // Slot 1 and the empty slots were passed over; slot 3's close failed, and the
    // files after it were closed all the same.
    EXPECT_EQ(g_closeCalls, 3);
    EXPECT_FALSE(OthersMayOpen(a, GENERIC_READ));
    EXPECT_TRUE(OthersMayOpen(b, GENERIC_READ | GENERIC_WRITE));
    EXPECT_TRUE(OthersMayOpen(c, GENERIC_READ | GENERIC_WRITE));
}

// ---- reading -------------------------------------------------------------------

TEST_F(FileTest, ReadsWithTheDefaultSizeAndWrapsAtTheEnd) {
    std::string data = Counting(10000);
    for (char& ch : data)
        if (!ch) ch = 'z';
    OpenWith(1, "ten-thousand.bin", data, "READ");
    EXPECT_EQ(Function({"FILEREAD", "1", "TEXT"}), data.substr(0, 4024));
    EXPECT_EQ(Pos(1), "4024");
    EXPECT_EQ(Command({"FILEREAD", "1", "TEXT", ""}), 0);
    EXPECT_EQ(Pos(1), "8048");
    EXPECT_EQ(Function({"FILEREAD", "1", "anything"}), data.substr(8048));
    EXPECT_EQ(Pos(1), "0");
    // A count beyond the file, or a negative one, reads what the limits allow.
    EXPECT_EQ(Function({"FILEREAD", "1", "TEXT", "-3"}).size(), 4024u);
    EXPECT_EQ(Function({"FILEREAD", "1", "TEXT", "5"}), data.substr(4024, 5));
}

TEST_F(FileTest, ReadModes) {
    const std::string data("A\0\xFF" "b", 4);
    struct Case {
        const char* mode;
        const char* marker;
        std::string answer;
    } cases[] = {
        {"TEXT", "", "A"},
        {"RAWDATA", "~", std::string("A~\xFF" "b")},
        {"rawdata", "~x", std::string("A~\xFF" "b")},
        {"RAWDATA", "", "A"},
        {"HEX", "", "41 00 FF 62"},
        {"hex", "", "41 00 FF 62"},
    };
    OpenWith(1, "modes.bin", data, "READ");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.marker);
        EXPECT_EQ(Function({"FILEREAD", "1", c.mode, "0", c.marker}), c.answer);
        EXPECT_EQ(Pos(1), "0");
    }
    // The buffer keeps the raw bytes, NULs included, for "!BUFFER!".
    EXPECT_EQ(Command({"FILEREAD", "1", "RAWDATA"}), 0);
    std::string copy = OpenWith(2, "copy.bin", "", "WRITE");
    EXPECT_EQ(Command({"FILEWRITE", "2", "TEXT", "!buffer!"}), 0);
    EXPECT_EQ(Command({"FILECLOSE", "2"}), 0);
    EXPECT_EQ(ReadAll(copy), data);
}

TEST_F(FileTest, HexReadsAreWhole) {
    std::string data = Counting(40000);
    OpenWith(1, "hex.bin", data, "READ");
    // 2000 bytes make 5999 characters, more than the default buffer of 4026.
    EXPECT_EQ(Function({"FILEREAD", "1", "HEX", "2000"}), Hex(data.substr(0, 2000)));
    EXPECT_EQ(Function({"FILEREAD", "1", "HEX"}), Hex(data.substr(2000, 4024)));
    // A larger buffer: a hex read stops at 32768 bytes.
    EXPECT_EQ(Function({"FILEREADBUFSIZE", "100000"}), "100000");
    EXPECT_EQ(Function({"FILESETPOS", "1", "0"}), "0");
    EXPECT_EQ(Function({"FILEREAD", "1", "HEX"}), Hex(data.substr(0, 32768)));
    EXPECT_EQ(Pos(1), "32768");
    EXPECT_EQ(Function({"FILEREAD", "1", "TEXT", "0"}).size(), strlen(data.substr(32768).c_str()));
    EXPECT_EQ(Pos(1), "0");
    // The first, the last and the pairs between are written in different steps.
    for (size_t count : {1, 2, 3, 4, 5}) {
        EXPECT_EQ(Function({"FILESETPOS", "1", "250"}), "250");
        EXPECT_EQ(Function({"FILEREAD", "1", "HEX", std::to_string(count)}), Hex(data.substr(250, count)));
    }
}

// The text of n bytes takes 3n bytes of the read buffer. When the buffer cannot
// grow for it, the read takes only as many bytes as Init's block of 4026 holds
// the text of.
TEST_F(FileTest, HexReadWhenTheBufferCannotGrow) {
    std::string data = Counting(5000);
    OpenWith(1, "hex.bin", data, "READ");
    ASSERT_TRUE(PatchHeap());
    g_heap.allocationsLeft = 0;
    std::string answer = Function({"FILEREAD", "1", "HEX", "2000"});
    g_heap.allocationsLeft = -1;
    EXPECT_EQ(answer, Hex(data.substr(0, 1342)));
    EXPECT_EQ(Pos(1), "1342");
}

TEST_F(FileTest, ReadsThatReadNothingAreReported) {
    OpenWith(1, "data.txt", "hello", "READ");
    OpenWith(2, "empty.txt", "", "READ");
    OpenWith(3, "write-only.txt", "secret", "WRITE");
    OpenWith(4, "query.txt", "secret", "QUERY");
    EXPECT_EQ(Command({"FILEOPEN", "5", Path("missing"), "READ"}), -1);
    ASSERT_EQ(Function({"FILEREAD", "1", "TEXT"}), "hello");

    struct Case {
        const char* slot;
        const char* note;
    } cases[] = {{"2", "empty file"}, {"3", "no read access"}, {"4", "query only"}, {"5", "failed open"},
                 {"6", "never opened"}};
    for (const Case& c : cases) {
        for (const char* mode : {"TEXT", "RAWDATA", "HEX"}) {
            SCOPED_TRACE(std::string(c.note) + " " + mode);
            EXPECT_EQ(Command({"FILEREAD", c.slot, mode}), -1);
            EXPECT_EQ(Function({"FILEREAD", c.slot, mode, "0", "~"}), "");
        }
    }
    // Past the end of the file.
    EXPECT_EQ(Function({"FILESETPOS", "1", "9"}), "9");
    EXPECT_EQ(Command({"FILEREAD", "1", "TEXT"}), -1);
    EXPECT_EQ(Function({"FILESETPOS", "1", "9"}), "9");
    EXPECT_EQ(Function({"FILEREAD", "1", "HEX"}), "");
    // Reading switched off.
    EXPECT_EQ(Function({"FILEREADBUFSIZE", "0"}), "0");
    EXPECT_EQ(Function({"FILESETPOS", "1", "0"}), "0");
    EXPECT_EQ(Command({"FILEREAD", "1", "TEXT"}), -1);
    EXPECT_EQ(Function({"FILEREAD", "1", "TEXT"}), "");
    EXPECT_EQ(Pos(1), "0");
}

TEST_F(FileTest, ReadBufferSize) {
    OpenWith(1, "big.txt", std::string(9000, 'q'), "READ");
    struct Case {
        const char* argument;
        std::string answer;
        std::string sizeAfter;
    } cases[] = {
        {"", "4024", "4024"},     {"08000", "08000", "8000"},  {"12a", "", "8000"},
        {"-5", "", "8000"},       {" 5", "", "8000"},          {"4294967294", "8000", "8000"},
        {"99999999999", "8000", "8000"}, {"0", "0", "0"},      {"17", "17", "17"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.argument);
        EXPECT_EQ(FunctionKeepingBlock({"FILEREADBUFSIZE", c.argument}), c.answer);
        EXPECT_EQ(Function({"FILEREADBUFSIZE"}), c.sizeAfter);
    }
    EXPECT_EQ(Function({"FILEREAD", "1", "TEXT"}), std::string(17, 'q'));
    EXPECT_EQ(Function({"FILEREADBUFSIZE", "08000"}), "08000");
    EXPECT_EQ(Function({"FILEREAD", "1", "TEXT"}).size(), 8000u);
}

// A RAWDATA answer is given back by the next call, every time: the block is cut
// back to two bytes (in place, as the heap shrinks a block) however often a large
// answer grew it, and a call with no answer in between changes nothing.
TEST_F(FileTest, RawAnswerIsGivenBackByTheNextCall) {
    const size_t bytes = 200000;
    OpenWith(1, "large.bin", std::string(bytes, 'r'), "READ");
    ASSERT_EQ(Function({"FILEREADBUFSIZE", std::to_string(bytes)}), std::to_string(bytes));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        void* answer = const_cast<char*>(FunctionRaw({"FILEREAD", "1", "RAWDATA", "0", "~"}));
        ASSERT_GE(_msize(answer), bytes);
        EXPECT_EQ(Function({"GETINT", "0"}), "0");
        EXPECT_EQ(_msize(answer), 2u);
        EXPECT_EQ(Function({"GETINT", "0"}), "0");
        EXPECT_EQ(_msize(answer), 2u);
    }
}

TEST_F(FileTest, ShrinkingTheBufferKeepsTheCopiesInside) {
    std::string data = Counting(3000);
    OpenWith(1, "source.bin", data, "READ");
    ASSERT_EQ(Command({"FILEREAD", "1", "RAWDATA", "3000"}), 0);
    EXPECT_EQ(Function({"FILEREADBUFSIZE", "10"}), "10");
    std::string copy = OpenWith(2, "copy.bin", "", "WRITE");
    EXPECT_EQ(Command({"FILEWRITE", "2", "RAWDATA", "!BUFFER!"}), 0);
    EXPECT_EQ(Command({"FILECLOSE", "2"}), 0);
    EXPECT_EQ(ReadAll(copy), data.substr(0, 10));
}

// A repeated Init gives the read buffer its first size back, whether
// FILEREADBUFSIZE left the block smaller or larger, and later reads stay inside it.
TEST_F(FileTest, InitAgainRestoresTheReadBuffer) {
    std::string data = Counting(8192);
    for (char& ch : data)
        if (!ch) ch = 'z';
    OpenWith(1, "eight.bin", data, "READ");
    std::string copy = Path("copy.bin");
    for (const char* size : {"10", "100000"}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Function({"FILESETPOS", "1", "0"}), "0");
        EXPECT_EQ(Function({"FILEREADBUFSIZE", size}), size);
        ASSERT_EQ(Command({"FILEREAD", "1", "TEXT"}), 0);
        ASSERT_EQ(CallInit(WindowInitText().c_str()), "KX");
        EXPECT_EQ(Function({"FILEREADBUFSIZE"}), "4024");
        // What the last read left is cut to the buffer, never copied from beyond it.
        DeleteFileA(copy.c_str());
        EXPECT_EQ(Command({"FILEOPEN", "2", copy, "WRITE"}), 0);
        EXPECT_EQ(Command({"FILEWRITE", "2", "RAWDATA", "!BUFFER!"}), 0);
        EXPECT_EQ(Command({"FILECLOSE", "2"}), 0);
        std::string written = ReadAll(copy);
        EXPECT_EQ(written.size(), std::min<size_t>(atoi(size), 4024));
        EXPECT_TRUE(written == data.substr(0, written.size()));
        EXPECT_EQ(Function({"FILESETPOS", "1", "0"}), "0");
        EXPECT_EQ(Function({"FILEREAD", "1", "TEXT"}), data.substr(0, 4024));
        EXPECT_EQ(Function({"FILEREAD", "1", "RAWDATA", "", "*"}), data.substr(4024, 4024));
    }
}

// ---- writing -------------------------------------------------------------------

TEST_F(FileTest, WriteModes) {
    struct Case {
        const char* mode;
        const char* data;
        const char* marker;
        std::string bytes;
    } cases[] = {
        {"TEXT", "A~B", "~", std::string("A\0B", 3)},
        {"rawdata", "A~B~", "~!", std::string("A\0B\0", 4)},
        {"TEXT", "A~B", "", "A~B"},
        {"HEX", "41 42 43", "", "ABC"},
        {"hex", "414243", "", "A$"},         // every third character is skipped
        {"HEX", "-1 ZZ 7", "", std::string("\xFF\0\x07", 3)},  // as strtol reads each pair
        {"HEX", "4a 6B ff Ab", "", "\x4A\x6B\xFF\xAB"},  // digits of either case
        {"HEX", "", "", ""},
        {"BINARY", "41", "", ""},             // another mode word writes nothing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.data);
        std::string path = OpenWith(1, "out.bin", "", "WRITE");
        EXPECT_EQ(CommandKeepingBlock({"FILEWRITE", "1", c.mode, c.data, c.marker}), 0);
        EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
        EXPECT_EQ(ReadAll(path), c.bytes);
    }
}

TEST_F(FileTest, WritesAppendAndOverwriteInPlace) {
    std::string path = OpenWith(1, "log.txt", "", "READ|WRITE");
    EXPECT_EQ(Command({"FILEWRITE", "1", "TEXT", "first "}), 0);
    EXPECT_EQ(Pos(1), "6");  // at the end, not wrapped
    EXPECT_EQ(Command({"FILEWRITE", "1", "TEXT", "second"}), 0);
    EXPECT_EQ(Pos(1), "12");
    EXPECT_EQ(Function({"FILEGETSIZE", "1"}), "12");
    EXPECT_EQ(Function({"FILESETPOS", "1", "2"}), "2");
    EXPECT_EQ(Command({"FILEWRITE", "1", "HEX", "52 53"}), 0);
    EXPECT_EQ(Pos(1), "4");
    EXPECT_EQ(Function({"FILEGETSIZE", "1"}), "12");
    EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
    EXPECT_EQ(ReadAll(path), "fiRSt second");
}

TEST_F(FileTest, HexWriteStopsAt32767Bytes) {
    std::string text;
    for (int i = 0; i < 40000; ++i) text += "5A ";
    std::string path = OpenWith(1, "many.bin", "", "WRITE");
    EXPECT_EQ(Command({"FILEWRITE", "1", "HEX", text}), 0);
    EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
    EXPECT_EQ(ReadAll(path), std::string(32767, 'Z'));
}

TEST_F(FileTest, WritesWithoutWriteAccessFail) {
    std::string path = OpenWith(1, "ro.txt", "keep", "READ");
    EXPECT_EQ(Command({"FILEWRITE", "1", "TEXT", "x"}), -1);
    EXPECT_EQ(Command({"FILEWRITE", "1", "HEX", "41"}), -1);
    EXPECT_EQ(Pos(1), "0");
    EXPECT_EQ(Command({"FILEWRITE", "2", "TEXT", "x"}), -1);  // never opened
    EXPECT_EQ(ReadAll(path), "keep");
}

// ---- searching -----------------------------------------------------------------

TEST_F(FileTest, SearchResults) {
    struct Case {
        const char* keyword;
        std::string data;
        DWORD from;
        std::string pattern;
        const char* exact;
        std::string answer;
        std::string positionAfter;
    } cases[] = {
        {"FILESEARCHTEXT", "ABCdef", 0, "abc", "", "0", "0"},
        {"FILESEARCHTEXT", "ABCdef", 0, "abc", "exact", "", "0"},
        {"FILESEARCHTEXT", "xxABCdef", 0, "CDE", "", "4", "4"},
        {"FILESEARCHTEXT", "abcabc", 1, "abc", "", "3", "3"},  // from the position on
        {"FILESEARCHTEXT", "abcabc", 4, "abc", "", "", "0"},   // no wrap to the start
        {"FILESEARCHTEXT", "", 0, "abc", "", "", "0"},
        {"FILESEARCHTEXT", "ab", 0, "abc", "", "", "0"},
        {"FILESEARCHTEXT", std::string("x\0y", 3), 0, "x\xFFy", "EXACT", "0", "0"},
        {"FILESEARCHHEX", std::string("\x02\0\x01", 3), 0, "00 01", "EXACT", "1", "1"},
        {"FILESEARCHHEX", "\x02\xFF\x01", 0, "00 01", "EXACT", "1", "1"},
        {"FILESEARCHHEX", "\x02\xFF\x01", 0, "FF-01", "", "1", "1"},
        {"FILESEARCHHEX", "xyABC", 0, "61 62", "", "2", "2"},
        {"FILESEARCHHEX", "xyABC", 0, "61 62", "EXACT", "", "0"},
        {"FILESEARCHHEX", "xyJk\xAB", 0, "4a 6b ab", "EXACT", "2", "2"},  // digits of either case
        {"FILESEARCHHEX", "abcdef", 3, "   41", "", "3", "3"},  // an empty pattern matches at once
        {"FILESEARCHHEX", "abcdef", 0, "63 ZZ 65", "", "2", "2"},  // ZZ ends the pattern
        {"FILESEARCHHEX", "abcdef", 9, "61", "", "", "0"},         // past the end
        {"FILESEARCHTEXT", "abcdef", 6, "f", "", "", "0"},         // at the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.keyword) + " " + c.pattern + " " + c.exact);
        OpenWith(1, "haystack.bin", c.data, "READ");
        EXPECT_EQ(Function({"FILESETPOS", "1", std::to_string(c.from)}), std::to_string(c.from));
        EXPECT_EQ(FunctionKeepingBlock({c.keyword, "1", c.pattern, c.exact}), c.answer);
        EXPECT_EQ(Pos(1), c.positionAfter);
        EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
    }
}

TEST_F(FileTest, SearchFailures) {
    OpenWith(1, "w.txt", "abc", "WRITE");
    EXPECT_EQ(Function({"FILESETPOS", "1", "1"}), "1");
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1", "b"}), "ERROR");
    EXPECT_EQ(Function({"FILESEARCHHEX", "1", "62"}), "ERROR");
    EXPECT_EQ(Pos(1), "1");
    EXPECT_EQ(Function({"FILESEARCHTEXT", "2", "b"}), "ERROR");  // never opened
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1", ""}), "Invalid Function");
    EXPECT_EQ(Function({"FILESEARCHHEX", "1"}), "Invalid Function");
}

// A slot that cannot be read (opened QUERY or WRITE) meets the rule for positions
// past the end: a search checks the position first, so past the end it answers the
// empty text and moves the slot to 0 whatever the mode, while a read fails first
// and keeps the position. At the end itself and inside the file both fail.
TEST_F(FileTest, UnreadableSlotsPastTheEnd) {
    struct Case {
        const char* position;
        const char* searchAnswer;
        const char* positionAfterSearch;
    } cases[] = {
        {"1", "ERROR", "1"},  // inside the file
        {"3", "ERROR", "3"},  // at its end
        {"9", "", "0"},       // past it
    };
    for (const char* mode : {"WRITE", "QUERY"}) {
        OpenWith(1, "unreadable.txt", "abc", mode);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(mode) + " at " + c.position);
            for (const std::vector<std::string>& search :
                 {std::vector<std::string>{"FILESEARCHTEXT", "1", "b"}, std::vector<std::string>{"FILESEARCHHEX", "1", "62"}}) {
                EXPECT_EQ(Function({"FILESETPOS", "1", c.position}), c.position);
                EXPECT_EQ(Function(search), c.searchAnswer) << search[0];
                EXPECT_EQ(Pos(1), c.positionAfterSearch) << search[0];
            }
            EXPECT_EQ(Function({"FILESETPOS", "1", c.position}), c.position);
            EXPECT_EQ(Function({"FILEREAD", "1", "TEXT", "2"}), "");
            EXPECT_EQ(Command({"FILEREAD", "1", "TEXT", "2"}), -1);
            EXPECT_EQ(Pos(1), c.position);
        }
        EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
    }
}

// A hex pattern holds at most 1342 bytes, the pairs that start below character
// 4025; the pairs after them are not read.
TEST_F(FileTest, LongHexPatternIsCut) {
    OpenWith(1, "as.bin", std::string(1342, 'A') + "B" + std::string(3000, 'A'), "READ");
    std::string pattern;
    for (int i = 0; i < 2000; ++i) pattern += "41 ";
    EXPECT_EQ(FunctionKeepingBlock({"FILESEARCHHEX", "1", pattern}), "0");
    EXPECT_EQ(Function({"FILESETPOS", "1", "1"}), "1");
    EXPECT_EQ(Function({"FILESEARCHHEX", "1", pattern}), "1343");
}

TEST_F(FileTest, SearchAcrossChunkBorders) {
    // The first chunk holds bytes 0..999999; the matches straddle its end.
    std::string data(2100000, '.');
    data.replace(999997, 6, "NEEDLE");
    data.replace(1999990, 4, std::string("\x01\0\0\x02", 4));
    OpenWith(1, "border.bin", data, "READ");
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1", "needle"}), "999997");
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1", "NEEDLE", "EXACT"}), "999997");  // the same match again
    EXPECT_EQ(Function({"FILESETPOS", "1", "999998"}), "999998");
    EXPECT_EQ(Function({"FILESEARCHHEX", "1", "01 00 00 02"}), "1999990");
    EXPECT_EQ(Function({"FILESETPOS", "1", "999998"}), "999998");
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1", "NEEDLE"}), "");
    EXPECT_EQ(Pos(1), "0");
    EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);

    // A match with all of its bytes, all but the last, only the first or none of
    // them in the first chunk: the next chunk must begin early enough for each.
    for (int inFirstChunk : {6, 5, 1, 0}) {
        SCOPED_TRACE(std::to_string(inFirstChunk) + " bytes of the match in the first chunk");
        const std::string at = std::to_string(1000000 - inFirstChunk);
        std::string around(1100000, '.');
        around.replace(1000000 - inFirstChunk, 6, "NEEDLE");
        OpenWith(1, "around.bin", around, "READ");
        EXPECT_EQ(Function({"FILESEARCHTEXT", "1", "needle"}), at);
        EXPECT_EQ(Function({"FILESETPOS", "1", "0"}), "0");
        EXPECT_EQ(Function({"FILESEARCHHEX", "1", "4E 45 45 44 4C 45", "EXACT"}), at);
        EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
    }
}

TEST_F(FileTest, SearchOfPeriodicText) {
    // Every position is a candidate for the first and last letters; the match
    // must still be the first one.
    std::string pattern = std::string(300, 'a') + "b" + std::string(300, 'a');
    std::string data(1500000, 'A');
    data.replace(1200000, pattern.size(), std::string(300, 'A') + "B" + std::string(300, 'A'));
    data.replace(700000, 301, std::string(300, 'A') + "C");
    OpenWith(1, "periodic.bin", data, "READ");
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1", pattern}), "1200000");
    EXPECT_EQ(Function({"FILESETPOS", "1", "0"}), "0");
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1", pattern, "EXACT"}), "");
}

TEST_F(FileTest, SearchOfAPatternLongerThanAChunk) {
    OpenWith(1, "long.bin", std::string(2500000, 'a'), "READ");
    PutClipboardText(std::string(1000001, 'a'));
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1", "!CLIPBOARD!"}), "");
    EXPECT_EQ(Pos(1), "0");
}

TEST_F(FileTest, SearchFoldsCaseAsTheSystemDoes) {
    // Every byte value once; a case-blind search for each byte finds the first
    // byte that the system's ANSI upper-casing makes equal to it.
    std::string data;
    for (int b = 1; b < 256; ++b) data += static_cast<char>(b);
    OpenWith(1, "bytes.bin", data, "READ");
    char upper[256];
    memcpy(upper, data.c_str(), 256);
    CharUpperBuffA(upper, 255);
    for (int b = 1; b < 256; ++b) {
        size_t expected = 0;
        while (upper[expected] != upper[b - 1]) ++expected;
        SCOPED_TRACE(b);
        EXPECT_EQ(Function({"FILESETPOS", "1", "0"}), "0");
        EXPECT_EQ(Function({"FILESEARCHTEXT", "1", std::string(1, static_cast<char>(b))}),
                  std::to_string(expected));
    }
}

// ---- the list box save ---------------------------------------------------------

class ListBoxTest : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        box = CreateWindowA("LISTBOX", "", WS_CHILD | WS_VISIBLE | LBS_HASSTRINGS, 0, 0, 200, 200, window, nullptr,
                            GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(box, nullptr);
    }
    void Add(const char* item) { SendMessageA(box, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item)); }
    std::string Handle() const { return std::to_string(reinterpret_cast<UINT_PTR>(box)); }
    HWND box = nullptr;
};

TEST_F(ListBoxTest, SavesEveryItemAsALine) {
    Add("alpha");
    Add("beta");
    std::string path = Path("items.txt");
    WriteAll(path, std::string(100, 'x'));  // replaced completely
    EXPECT_EQ(CommandKeepingBlock({"SAVEFILE", "%" + Handle(), path}), 0);
    EXPECT_EQ(ReadAll(path), "alpha\r\nbeta\r\n");
    Add("");
    Add(std::string(5000, 'L').c_str());
    EXPECT_EQ(Command({"SAVEFILE", Handle(), path}), 0);
    EXPECT_EQ(ReadAll(path), "alpha\r\nbeta\r\n\r\n" + std::string(5000, 'L') + "\r\n");
}

TEST_F(ListBoxTest, Failures) {
    std::string path = Path("untouched.txt");
    WriteAll(path, "old");
    Add("item");
    HWND plain = CreateWindowA("STATIC", "", WS_CHILD, 0, 0, 10, 10, window, nullptr, nullptr, nullptr);
    struct Case {
        std::string handle;
        std::string path;
        const char* note;
    } cases[] = {
        {"", path, "no handle"},
        {Handle(), "", "no path"},
        {Handle(), std::string(261, 'p'), "path over 260 characters"},
        {"12345678", path, "not a window"},
        {"%", path, "no digits"},
        {std::to_string(reinterpret_cast<UINT_PTR>(plain)), path, "not a list box"},
        {Handle(), Path("no-such-folder\\x.txt"), "cannot create"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        EXPECT_EQ(Command({"SAVEFILE", c.handle, c.path}), -1);
    }
    SendMessageA(box, LB_RESETCONTENT, 0, 0);
    EXPECT_EQ(Command({"SAVEFILE", Handle(), path}), -1);  // an empty box
    EXPECT_EQ(ReadAll(path), "old");
}

TEST_F(ListBoxTest, PathOfExactly260Characters) {
    Add("x");
    // Padded with "." steps and doubled separators, which the system drops.
    const std::string tail = "x.txt";
    std::string path = Scratch() + "\\";
    while (path.size() + tail.size() + 2 <= 260) path += ".\\";
    if (path.size() + tail.size() < 260) path += "\\";
    path += tail;
    ASSERT_EQ(path.size(), 260u);
    std::string longer = Scratch() + "\\" + path.substr(Scratch().size());
    DeleteFileA(Path(tail).c_str());
    EXPECT_EQ(Command({"SAVEFILE", Handle(), longer}), -1);
    EXPECT_FALSE(Exists(Path(tail)));
    EXPECT_EQ(Command({"SAVEFILE", Handle(), path}), 0);
    EXPECT_EQ(ReadAll(Path(tail)), "x\r\n");
}

// ---- write failures --------------------------------------------------------------

static BOOL WINAPI DiskFullWrite(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
    if (written) *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}
static BOOL WINAPI DiskFullEnd(HANDLE) {
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}
// Closes all the same, so that the file is not left locked.
static BOOL WINAPI DiskFullClose(HANDLE handle) {
    CloseHandle(handle);
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// Each system call a write depends on fails in turn (through the library's imports,
// so that every machine runs these): the command answers -1 and GETLASTERROR gives
// the failure's reason.
TEST_F(ListBoxTest, WriteFailuresAreReported) {
    Add("alpha");
    Add("beta");
    const std::string saved = Path("saved.txt");
    struct Case {
        const char* note;
        const char* function;
        void* replacement;
        std::vector<std::string> words;
        DWORD from;  // position of slot 1 before the call
        int answer;
        std::string after;  // the file slot 1 holds, afterwards
    } cases[] = {
        {"a write", "WriteFile", reinterpret_cast<void*>(DiskFullWrite), {"FILEWRITE", "1", "TEXT", "more"}, 10, -1,
         "0123456789"},
        {"a hex write", "WriteFile", reinterpret_cast<void*>(DiskFullWrite), {"FILEWRITE", "1", "HEX", "41 42"}, 10,
         -1, "0123456789"},
        {"the end of the grown file", "SetEndOfFile", reinterpret_cast<void*>(DiskFullEnd),
         {"FILEWRITE", "1", "TEXT", "more"}, 10, -1, "0123456789more"},
        {"no end to set inside the file", "SetEndOfFile", reinterpret_cast<void*>(DiskFullEnd),
         {"FILEWRITE", "1", "TEXT", "ab"}, 2, 0, "01ab456789"},
        {"a list box line", "WriteFile", reinterpret_cast<void*>(DiskFullWrite), {"SAVEFILE", Handle(), saved}, 0,
         -1, "0123456789"},
        {"the close of the saved file", "CloseHandle", reinterpret_cast<void*>(DiskFullClose),
         {"SAVEFILE", Handle(), saved}, 0, -1, "0123456789"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        std::string path = OpenWith(1, "out.txt", "0123456789", "READ|WRITE");
        EXPECT_EQ(Function({"FILESETPOS", "1", std::to_string(c.from)}), std::to_string(c.from));
        ASSERT_TRUE(Patch("kernel32.dll", c.function, c.replacement));
        SetLastError(0);
        EXPECT_EQ(Command(c.words), c.answer);
        std::string reason = Function({"GETLASTERROR"});
        Unpatch();
        if (c.answer) EXPECT_EQ(reason, SystemText(ERROR_DISK_FULL));
        EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
        EXPECT_EQ(ReadAll(path), c.after);
    }
}

// ---- a full disk ---------------------------------------------------------------

// A folder on a disk of a few hundred KB, when the test command could mount one.
static std::string SmallDisk() {
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("TRAKX_SMALL_DISK", path, MAX_PATH);
    return n && n < MAX_PATH ? std::string(path, n) : "";
}

TEST_F(ListBoxTest, WritesThatDoNotFitFail) {
    std::string disk = SmallDisk();
    if (disk.empty()) GTEST_SKIP() << "no small disk mounted (TRAKX_SMALL_DISK)";
    const std::string item(4000, 'i');
    for (int i = 0; i < 100; ++i) Add(item.c_str());  // 400 KB of lines
    std::string saved = disk + "\\items.txt";
    EXPECT_EQ(Command({"SAVEFILE", Handle(), saved}), -1);
    // The lines before the failing write stay (with what the system could write of
    // the failing one).
    std::string all;
    for (int i = 0; i < 100; ++i) all += item + "\r\n";
    std::string kept = ReadAll(saved);
    EXPECT_GT(kept.size(), item.size() + 2);
    EXPECT_LT(kept.size(), all.size());
    EXPECT_EQ(kept, all.substr(0, kept.size()));
    DeleteFileA(saved.c_str());

    std::string written = disk + "\\big.txt";
    EXPECT_EQ(Command({"FILEOPEN", "1", written, "WRITE"}), 0);
    EXPECT_EQ(Command({"FILEWRITE", "1", "TEXT", std::string(400000, 'w')}), -1);
    EXPECT_EQ(Command({"FILECLOSE", "1"}), 0);
    DeleteFileA(written.c_str());
}
