// String, integer and structure slots, binding functions of other libraries, and the
// foreign call, driven through the four exports against the test library of our own.
#include <string.h>

#include "fixture.h"

// The text at an address of this process, read where readable; read at once after
// a call, as the next call into the library empties the call's own texts.
static std::string TextAt(DWORD address) {
    std::string text;
    char c;
    while (text.size() < 256 &&
           ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<void*>(address + text.size()), &c, 1, nullptr) &&
           c)
        text += c;
    return text;
}

// Every export of the test library, bound to function numbers 1, 2, ... in order.
static const char* const kTestFunctions[] = {
    "Words20",      "Subtract2",          "Answer0",   "CdeclSubtract", "GreetingText",
    "NullText",     "LongText",           "UnreadableText", "TextIntoUnreadable", "StoreInt",
    "StoreText",    "FillField",          "ReadSizeAndChange", "FillStruct", "FailWith",
    "DisturbRegisters", "Noop",           "SetDirectionFlag", "StoreTwice", "Divide",
    "RecurseForever", "CdeclStore",       "RaiseAndHandle",   "DisturbThenFault", "ExecuteInvalid",
    "CleanUpThenStore", "UnwoundFrames",  "CallFuncProc", "X87DivideLeftPending", "X87DivideAndWait",
    "UnmaskThenFault",
};

// The text LongText answers: 5000 letters a, b, ... z, a, b, ...
static std::string LongTextOfTheTestLibrary() {
    std::string text;
    for (int i = 0; i < 5000; ++i) text += static_cast<char>('a' + i % 26);
    return text;
}

static bool IsLoaded(const std::string& path) { return GetModuleHandleA(path.c_str()) != nullptr; }

class VarsTest : public TrakxTest {
protected:
    // A copy of the test library under a name no other test loads, so that its load
    // state shows what this test's script did to it alone.
    std::string OwnCopyOfTestLibrary() {
        std::string copy = Scratch() + "\\own-testlib.dll";
        EXPECT_TRUE(CopyFileA(TestLibraryPath().c_str(), copy.c_str(), FALSE));
        EXPECT_FALSE(IsLoaded(copy));
        return copy;
    }

    // Loads the test library as library 1 and binds every export.
    void BindTestLibrary() {
        ASSERT_EQ(Command({"DLLLOAD", "1", TestLibraryPath()}), 0);
        int number = 1;
        for (const char* name : kTestFunctions)
            ASSERT_EQ(Command({"DLLINITFUNC", "1", std::to_string(number++), name}), 0) << name;
        testlib = GetModuleHandleA(TestLibraryPath().c_str());
        recordedWord = reinterpret_cast<DWORD(__stdcall*)(int)>(GetProcAddress(testlib, "RecordedWord"));
        ASSERT_TRUE(recordedWord);
        ASSERT_TRUE(boxes.empty());
    }

    // DLLFUNC name type args...
    std::string Call(const std::string& name, const std::string& type, std::vector<std::string> args) {
        args.insert(args.begin(), {"DLLFUNC", name, type});
        return Function(args);
    }

    HMODULE testlib = nullptr;
    DWORD(__stdcall* recordedWord)(int) = nullptr;
};

// ---- string and integer slots ----------------------------------------------------

TEST_F(VarsTest, StringSlotsKeepTextsByIndex) {
    const std::string full(4047, 'q');
    struct Case {
        std::vector<std::string> set;  // the SETSTR arguments
        const char* getIndex;
        std::string expected;
    } cases[] = {
        {{"3", "abc"}, "3", "abc"},
        {{"4"}, "4", ""},                       // no text stores the empty text
        {{"abc", "zero"}, "0", "zero"},         // a non-numeric index is slot 0
        {{"", "lost"}, "0", ""},  // an empty index ends the arguments: slot 0 is emptied
        {{"2nd", "two"}, "2", "two"},           // the index is read up to its first non-digit
        {{"19", full}, "19", full},             // the longest text comes back whole
        {{"18", full + "tail"}, "18", full},    // a longer one is cut to the field
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"SETSTR"};
        words.insert(words.end(), c.set.begin(), c.set.end());
        EXPECT_EQ(Command(words), 0);
        EXPECT_EQ(Function({"GETSTR", c.getIndex}), c.expected) << "SETSTR " << c.set[0];
    }
    EXPECT_EQ(Function({"GETSTR", "7"}), "");  // never set
    EXPECT_EQ(Status(), 0);
}

TEST_F(VarsTest, IntegerSlotsKeepValuesByIndex) {
    struct Case {
        std::vector<std::string> set;
        const char* getIndex;
        const char* expected;
    } cases[] = {
        {{"0", "-5"}, "0", "-5"},
        {{"1", "12abc"}, "1", "12"},
        {{"2", " +7"}, "2", "7"},
        {{"3"}, "3", "0"},
        {{"4", "2147483647"}, "4", "2147483647"},
        {{"5", "-2147483648"}, "5", "-2147483648"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"SETINT"};
        words.insert(words.end(), c.set.begin(), c.set.end());
        EXPECT_EQ(Command(words), 0);
        EXPECT_EQ(Function({"GETINT", c.getIndex}), c.expected) << "SETINT " << c.set[0];
    }
    EXPECT_EQ(Function({"GETINT", "19"}), "0");  // never set
}

// Numbers outside 0..19 reach no memory: the neighbouring slots and tables stay as
// they were, the commands answer 0 and the functions the empty text.
TEST_F(VarsTest, SlotIndexesOutsideTheTablesTouchNothing) {
    Command({"SETSTR", "19", "last string"});
    Command({"SETSTR", "0", "first string"});
    Command({"SETINT", "19", "1919"});
    Command({"SETINT", "0", "100"});
    Command({"SETSTRUCT", "19", "STRSTRUCT", "last struct"});
    Command({"SETSTRUCT", "0", "STRSTRUCT", "first struct"});
    for (const char* index : {"-1", "20", "2147483647", "-2147483648"}) {
        EXPECT_EQ(Command({"SETSTR", index, "overrun"}), 0) << index;
        EXPECT_EQ(Command({"SETINT", index, "666"}), 0) << index;
        EXPECT_EQ(Command({"SETSTRUCT", index, "INTSTRUCT", "1", "2"}), 0) << index;
        EXPECT_EQ(Command({"SETSTRUCT", index, "STRSTRUCT", "overrun"}), 0) << index;
        EXPECT_EQ(Function({"GETSTR", index}), "") << index;
        EXPECT_EQ(Function({"GETINT", index}), "") << index;
        EXPECT_EQ(Function({"GETSTRUCT", index, "INTSTRUCT"}), "") << index;
        EXPECT_EQ(Function({"GETSTRUCT", index, "STRSTRUCT"}), "") << index;
    }
    EXPECT_EQ(Function({"GETSTR", "19"}), "last string");
    EXPECT_EQ(Function({"GETSTR", "0"}), "first string");
    EXPECT_EQ(Function({"GETINT", "19"}), "1919");
    EXPECT_EQ(Function({"GETINT", "0"}), "100");
    EXPECT_EQ(Function({"GETSTRUCT", "19", "STRSTRUCT"}), "last struct|||");
    EXPECT_EQ(Function({"GETSTRUCT", "0", "STRSTRUCT"}), "first struct|||");
    EXPECT_EQ(Status(), 0);
}

// ---- structure slots --------------------------------------------------------------

TEST_F(VarsTest, StructureViewsShareTheirMemory) {
    const std::string zeros = "0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0";
    EXPECT_EQ(Function({"GETSTRUCT", "5", "INTSTRUCT"}), zeros);
    EXPECT_EQ(Function({"GETSTRUCT", "5", "STRSTRUCT"}), "|||");

    Command({"SETSTRUCT", "0", "INTSTRUCT", "1", "2", "3"});
    EXPECT_EQ(Function({"GETSTRUCT", "0", "INTSTRUCT"}), "1|2|3|0|0|0|0|0|0|0|0|0|0|0|0|0");

    // The integer 65 is the bytes 65 0 0 0: the letter A, then the terminator.
    Command({"SETSTRUCT", "1", "intstruct", "65"});
    EXPECT_EQ(Function({"GETSTRUCT", "1", "StrStruct"}), "A|||");

    // ABCD read as one integer, least significant byte first.
    Command({"SETSTRUCT", "2", "STRSTRUCT", "ABCD"});
    EXPECT_EQ(Function({"GETSTRUCT", "2", "INTSTRUCT"}), "1145258561|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0");

    // All sixteen values are read, the extremes included; later arguments are ignored.
    std::vector<std::string> set = {"SETSTRUCT", "3", "INTSTRUCT"};
    for (int i = 0; i < 17; ++i) set.push_back(std::to_string(i % 2 ? -i : i * 1000));
    set[3] = "-2147483648";
    set[18] = "2147483647";
    Command(set);
    EXPECT_EQ(Function({"GETSTRUCT", "3", "INTSTRUCT"}),
              "-2147483648|-1|2000|-3|4000|-5|6000|-7|8000|-9|10000|-11|12000|-13|14000|2147483647");
}

TEST_F(VarsTest, StructureTextsAndIntegersKeepTheirOtherFields) {
    Command({"SETSTRUCT", "1", "STRSTRUCT", "one", "two", "three", "four", "ignored"});
    EXPECT_EQ(Function({"GETSTRUCT", "1", "STRSTRUCT"}), "one|two|three|four");

    // The integers cover only the first 64 bytes: texts 1 to 3 stay.
    Command({"SETSTRUCT", "1", "INTSTRUCT", "7"});
    EXPECT_EQ(Function({"GETSTRUCT", "1", "STRSTRUCT"}), "\a|two|three|four");

    // Fewer texts empty the fields after them.
    Command({"SETSTRUCT", "1", "STRSTRUCT", "a", "b"});
    EXPECT_EQ(Function({"GETSTRUCT", "1", "STRSTRUCT"}), "a|b||");

    // An unknown view word changes nothing and answers nothing.
    EXPECT_EQ(Command({"SETSTRUCT", "1", "BOTH", "x", "y"}), 0);
    EXPECT_EQ(Function({"GETSTRUCT", "1", "STRSTRUCT"}), "a|b||");
    EXPECT_EQ(Function({"GETSTRUCT", "1", "BOTH"}), "");
    EXPECT_EQ(Function({"GETSTRUCT", "1", ""}), "");
}

TEST_F(VarsTest, LongStructureTextsAreCutToTheirFieldsAndTheAnswer) {
    const std::string full(4047, 'a');
    Command({"SETSTRUCT", "4", "STRSTRUCT", full + "beyond", "b", "c", "d"});
    // Field 0 holds exactly 4047 characters: the whole answer is that much and no more.
    EXPECT_EQ(Function({"GETSTRUCT", "4", "STRSTRUCT"}), full);
    Command({"SETSTRUCT", "4", "STRSTRUCT", std::string(4000, 'a'), std::string(100, 'b')});
    std::string answer = Function({"GETSTRUCT", "4", "STRSTRUCT"});
    EXPECT_EQ(answer, std::string(4000, 'a') + "|" + std::string(46, 'b'));
}

TEST_F(VarsTest, StructListNamesBothViews) {
    EXPECT_EQ(Function({"STRUCTLIST"}), "STRSTRUCT INTSTRUCT");
    EXPECT_EQ(Function({"structlist", "whatever", "5"}), "STRSTRUCT INTSTRUCT");
}

// ---- texts at raw addresses --------------------------------------------------------

TEST_F(VarsTest, TextAtAddressReadsOnlyReadableMemory) {
    BindTestLibrary();
    const std::string greeting = "Hello from the test library";
    std::string address = Call("GreetingText", "INT", {});
    ASSERT_NE(address, "0");
    EXPECT_EQ(Function({"GETSTRATADDR", address}), greeting);

    // The same address written as the negative number it would be at or above 2^31:
    // the reading wraps modulo 2^32 back to the address.
    unsigned long value = strtoul(address.c_str(), nullptr, 10);
    std::string negative = "-" + std::to_string(4294967296ULL - value);
    EXPECT_EQ(Function({"GETSTRATADDR", negative}), greeting);

    struct Case {
        std::string address;
        std::string expected;
    } cases[] = {
        {"0", ""},
        {"", ""},
        {"xyz", ""},
        {"1", ""},                                            // the first page is never mapped
        {"4294967295", ""},                                   // the very top of the address space
        {Call("UnreadableText", "INT", {}), ""},              // a page closed to reading
        {Call("TextIntoUnreadable", "INT", {}), "end of page"},  // cut where reading must stop
        {Call("LongText", "INT", {}), LongTextOfTheTestLibrary().substr(0, 4047)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Function({"GETSTRATADDR", c.address}), c.expected) << "address " << c.address;
    EXPECT_EQ(Call("LongText", "STR", {}).size(), 4047u);
}

// ---- the argument words -------------------------------------------------------------

// Each argument goes at `position` of a Words20 call (positions before it hold INT:0),
// and the word the function received there is checked: either a number, or an
// address whose text is read back.
TEST_F(VarsTest, ArgumentPrefixesDecideTheWordAtEachPosition) {
    BindTestLibrary();
    // Every slot k holds texts and a value that name k: "s<k>", "t<k>", and the
    // integer whose bytes spell "i" and the letter A + k.
    for (int k = 0; k < 20; ++k) {
        std::string n = std::to_string(k);
        Command({"SETSTR", n, "s" + n});
        Command({"SETINT", n, std::to_string('i' | ('A' + k) << 8)});
        Command({"SETSTRUCT", n, "STRSTRUCT", "t" + n});
    }
    auto intSlotValue = [](int k) { return static_cast<DWORD>('i' | ('A' + k) << 8); };

    struct Case {
        const char* argument;
        int position;
        bool isAddress;
        DWORD number;          // the word, when it is no address
        const char* textThere; // the text at the word, when it is an address
    } cases[] = {
        {"HANDLE:%1234", 0, false, 1234, nullptr},
        {"HANDLE:1234", 1, false, 1234, nullptr},
        {"HANDLE:%%1234", 2, false, 0, nullptr},  // only one "%" goes
        {"handle:77", 3, false, 77, nullptr},
        {"INT:-1", 4, false, 0xFFFFFFFFu, nullptr},
        {"INT:", 5, false, 0, nullptr},
        {"INT:12abc", 6, false, 12, nullptr},
        {"Int:99", 19, false, 99, nullptr},
        {"STR:abc", 7, true, 0, "abc"},
        {"STR:", 8, true, 0, ""},
        {"INTBUF", 0, false, intSlotValue(0), nullptr},
        {"INTBUF9", 4, false, intSlotValue(4), nullptr},  // the position picks the slot
        {"INTADDR", 0, true, 0, "iA"},
        {"intaddr3", 11, true, 0, "iL"},
        {"STRBUF7", 2, true, 0, "s2"},
        {"STRADDR", 6, true, 0, "s6"},
        {"STRSIZE", 3, true, 0, "\xB8\x0F"},  // 4024, least significant byte first
        {"INTSTRUCT", 3, true, 0, "t3"},
        {"STRSTRUCT", 12, true, 0, "t12"},
        {"123", 7, false, 0, nullptr},  // no prefix passes 0
        {"INT", 9, false, 0, nullptr},
        {"INTBU", 9, false, 0, nullptr},
        // Chaining: the first three tests remove their keyword for the later ones.
        {"STR:INTBUF", 1, false, intSlotValue(1), nullptr},
        {"HANDLE:INT:5", 5, false, 5, nullptr},
        {"HANDLE:%INT:6", 5, false, 6, nullptr},
        {"INT:STRBUF", 10, true, 0, "s10"},
        {"HANDLE:STR:text", 13, true, 0, "text"},
        {"STR:STR:x", 14, true, 0, "STR:x"},  // each test runs once
    };
    for (const Case& c : cases) {
        std::vector<std::string> args(c.position, "INT:0");
        args.push_back(c.argument);
        Call("Words20", "INT", args);
        DWORD word = recordedWord(c.position);
        if (!c.isAddress) {
            EXPECT_EQ(word, c.number) << c.argument;
            continue;
        }
        EXPECT_NE(word, 0u) << c.argument;
        EXPECT_EQ(TextAt(word), c.textThere) << c.argument;
    }
}

TEST_F(VarsTest, AllTwentyWordsArriveInOrder) {
    BindTestLibrary();
    std::vector<std::string> args;
    DWORD sum = 0;
    for (int i = 1; i <= 20; ++i) {
        args.push_back("INT:" + std::to_string(i * 7));
        sum = sum * 33 + i * 7;
    }
    args.push_back("INT:999");  // beyond the twentieth: ignored
    EXPECT_EQ(Call("Words20", "INT", args), std::to_string(static_cast<long>(sum)));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(recordedWord(i), static_cast<DWORD>((i + 1) * 7)) << i;
}

// An empty text ends the block: it and every later position pass 0, and nothing of
// an earlier call carries over.
TEST_F(VarsTest, AnEmptyArgumentEndsTheArguments) {
    BindTestLibrary();
    std::vector<std::string> full;
    for (int i = 1; i <= 20; ++i) full.push_back("INT:" + std::to_string(i));
    Call("Words20", "INT", full);
    Call("Words20", "INT", {"INT:1", "INT:2", "", "INT:4", "STR:after"});
    EXPECT_EQ(recordedWord(0), 1u);
    EXPECT_EQ(recordedWord(1), 2u);
    for (int i = 2; i < 20; ++i) EXPECT_EQ(recordedWord(i), 0u) << i;
}

// "!CLIPBOARD!" that becomes the empty text is an empty argument inside the block:
// it passes 0 at its own position and the arguments after it pass their words.
TEST_F(VarsTest, AnEmptyClipboardArgumentSkipsOnlyItsOwnPosition) {
    BindTestLibrary();
    Command({"SETINT", "0", "77"});
    Command({"SETSTRUCT", "3", "STRSTRUCT", "t3"});
    for (bool emptyText : {true, false}) {
        const char* clipboard = emptyText ? "an empty text" : "no text at all";
        if (emptyText) PutClipboardText("");
        else EmptyTheClipboard();
        Call("Words20", "INT", {"INTBUF", "INT:5", "!CLIPBOARD!", "INTSTRUCT", "STR:after", "INT:6"});
        EXPECT_EQ(Status(), 0) << clipboard;
        EXPECT_EQ(recordedWord(0), 77u) << clipboard;
        EXPECT_EQ(recordedWord(1), 5u) << clipboard;
        EXPECT_EQ(recordedWord(2), 0u) << clipboard;
        EXPECT_EQ(TextAt(recordedWord(3)), "t3") << clipboard;  // structure slot 3's address
        EXPECT_EQ(TextAt(recordedWord(4)), "after") << clipboard;
        EXPECT_EQ(recordedWord(5), 6u) << clipboard;
        for (int i = 6; i < 20; ++i) EXPECT_EQ(recordedWord(i), 0u) << clipboard << ", position " << i;
    }
}

TEST_F(VarsTest, ReturnTypeWordDecidesWhetherAndHowToCall) {
    BindTestLibrary();
    Command({"SETINT", "0", "1"});
    struct Case {
        const char* type;
        const char* expected;
        bool called;
    } cases[] = {
        {"INT", "-3", true},
        {"int", "-3", true},
        {"VOID", "", false},
        {"", "", false},
        {"INTEGER", "", false},
        {"INT                 ", "", false},  // no trimming, and cut to 15 characters
    };
    for (const Case& c : cases) {
        Command({"SETINT", "0", "1"});
        // StoreInt(&int slot 0, -3) answers -3 and leaves its mark in the slot.
        EXPECT_EQ(Call("StoreInt", c.type, {"INTADDR", "INT:-3"}), c.expected) << c.type;
        EXPECT_EQ(Function({"GETINT", "0"}), c.called ? "-3" : "1") << c.type;
    }
    EXPECT_EQ(Call("GreetingText", "STR", {}), "Hello from the test library");
    EXPECT_EQ(Call("GreetingText", "str", {}), "Hello from the test library");
    EXPECT_EQ(Call("NullText", "STR", {}), "");
    EXPECT_EQ(Call("UnreadableText", "STR", {}), "");
    EXPECT_EQ(Call("TextIntoUnreadable", "STR", {}), "end of page");
    EXPECT_EQ(Call("LongText", "STR", {}), LongTextOfTheTestLibrary().substr(0, 4047));
    EXPECT_EQ(Status(), 0);
}

TEST_F(VarsTest, FunctionNamesMatchWithoutCaseAndOnlyWhenBound) {
    BindTestLibrary();
    EXPECT_EQ(Call("answer0", "INT", {}), "42");
    EXPECT_EQ(Call("ANSWER0", "INT", {}), "42");
    EXPECT_EQ(Call("Answer", "INT", {}), "Invalid Function");
    EXPECT_EQ(Call("NeverBound", "INT", {}), "Invalid Function");
    EXPECT_EQ(Call("", "INT", {}), "Invalid Function");
    EXPECT_EQ(Function({"DLLFUNC"}), "Invalid Function");
    EXPECT_EQ(Status(), 0);

    // Binding a number again replaces its name and address.
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "3", "Noop"}), 0);
    EXPECT_EQ(Call("Answer0", "INT", {}), "Invalid Function");
    EXPECT_EQ(Call("Noop", "INT", {"INT:5"}), "5");
}

// What foreign code writes through the addresses it was given is there afterwards.
TEST_F(VarsTest, ForeignWritesAreReadBackFromTheSlots) {
    BindTestLibrary();
    EXPECT_EQ(Call("StoreInt", "INT", {"INTADDR", "INT:77"}), "77");
    EXPECT_EQ(Function({"GETINT", "0"}), "77");

    EXPECT_EQ(Call("StoreText", "INT", {"STRBUF", "STR:written by the callee"}), "21");
    EXPECT_EQ(Function({"GETSTR", "0"}), "written by the callee");

    EXPECT_EQ(Call("FillStruct", "INT", {"INTSTRUCT"}), "16");
    EXPECT_EQ(Function({"GETSTRUCT", "0", "INTSTRUCT"}), "11|22|33|44|55|66|77|88|99|110|121|132|143|154|165|176");
    Command({"SETSTRUCT", "0", "STRSTRUCT", "", "x"});
    EXPECT_EQ(Call("StoreText", "INT", {"STRSTRUCT", "STR:into the record"}), "15");
    EXPECT_EQ(Function({"GETSTRUCT", "0", "STRSTRUCT"}), "into the record|||");

    // A callee that fills the whole field leaves no terminator; the answer stops at
    // the field's end.
    Command({"SETSTR", "1", "next slot"});
    EXPECT_EQ(Call("FillField", "INT", {"STRBUF"}), "4048");
    EXPECT_EQ(Function({"GETSTR", "0"}), std::string(4047, 'z'));
    EXPECT_EQ(Function({"GETSTR", "1"}), "next slot");
}

// The size value is 4024 at every call, whatever the previous callee made of it.
TEST_F(VarsTest, SizeValueIsFreshAtEveryCall) {
    BindTestLibrary();
    EXPECT_EQ(Call("ReadSizeAndChange", "INT", {"STRSIZE"}), "4024");
    EXPECT_EQ(Call("ReadSizeAndChange", "INT", {"strsize"}), "4024");
}

TEST_F(VarsTest, LastErrorOfTheCalleeReachesGetLastError) {
    BindTestLibrary();
    EXPECT_EQ(Call("FailWith", "INT", {"INT:5"}), "0");
    EXPECT_EQ(Function({"GETLASTERROR"}), SystemText(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Call("FailWith", "STR", {"INT:2"}), "");  // a null text answers empty
    EXPECT_EQ(Function({"GETLASTERROR"}), SystemText(ERROR_FILE_NOT_FOUND));
}

// ---- the stack and the registers around the call ----------------------------------

// Each kind of callee removes a different number of the 80 bytes pushed, or disturbs
// registers it should keep; FuncProc must come back with ESP, EBX, ESI, EDI and EBP
// exactly as they were, and the answer right.
TEST_F(VarsTest, StackAndRegistersSurviveEveryKindOfCallee) {
    BindTestLibrary();
    std::vector<std::string> twenty;
    for (int i = 1; i <= 20; ++i) twenty.push_back("INT:" + std::to_string(i));
    struct Case {
        const char* kind;
        std::vector<std::string> words;
        const char* expected;
    } cases[] = {
        {"__stdcall, all twenty", {"DLLFUNC", "Noop", "INT", "INT:9"}, "9"},
        {"__stdcall, two parameters", {"DLLFUNC", "Subtract2", "INT", "INT:2", "INT:5"}, "-3"},
        {"__stdcall, none", {"DLLFUNC", "Answer0", "INT"}, "42"},
        {"__cdecl", {"DLLFUNC", "CdeclSubtract", "INT", "INT:10", "INT:4"}, "6"},
        {"disturbs EBX, ESI, EDI", {"DLLFUNC", "DisturbRegisters", "INT"}, "7"},
        {"text answer, two of twenty", {"DLLFUNC", "GreetingText", "STR", "INT:1", "INT:2"},
         "Hello from the test library"},
    };
    for (const Case& c : cases) {
        std::string block = MakeBlock(c.words);
        const char* answer = CallWatched(funcProc, block.data());
        ExpectHostStateKept(c.kind);
        EXPECT_STREQ(answer, c.expected) << c.kind;
    }
    // The 20-parameter call with all of its words, through the watch as well.
    twenty.insert(twenty.begin(), {"DLLFUNC", "Words20", "INT"});
    std::string block = MakeBlock(twenty);
    CallWatched(funcProc, block.data());
    EXPECT_EQ(g_watchAfter.esp, g_watchBefore.esp);
    EXPECT_EQ(g_watchAfter.ebp, g_watchBefore.ebp);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(recordedWord(i), static_cast<DWORD>(i + 1));
}

// A callee returning a float or double leaves it in the x87 registers (the runtime's
// atof here, declared INT); eight such values would fill the stack and the host's own
// arithmetic would get NaNs. Each call comes back with the stack empty, and with the
// control word as the callee set it.
TEST_F(VarsTest, FloatAnswersLeaveTheX87StackEmpty) {
    ASSERT_EQ(Command({"DLLLOAD", "1", "msvcrt.dll"}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "1", "atof"}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "2", "_controlfp"}), 0);
    std::string block = MakeBlock({"DLLFUNC", "atof", "INT", "STR:2.5"});
    for (int i = 0; i < 10; ++i) {
        CallWatched(funcProc, block.data());
        EXPECT_EQ(g_watchAfter.FpuTags(), AllX87RegistersEmpty) << "after call " << i;
    }
    volatile double a = 1.5, b = 2.25;
    EXPECT_EQ(a * b + a, 4.875) << "the host's own arithmetic after ten calls";

    // _controlfp(_PC_24, _MCW_PC) sets the precision bits of the control word to 00.
    WORD saved;
    asm volatile("fnstcw %0" : "=m"(saved));
    block = MakeBlock({"DLLFUNC", "_controlfp", "INT", "INT:131072", "INT:196608"});
    CallWatched(funcProc, block.data());
    asm volatile("fldcw %0" : : "m"(saved));
    EXPECT_EQ(g_watchAfter.fpu[0] & 0x300, 0u) << "control word " << std::hex << g_watchAfter.fpu[0];
    EXPECT_NE(saved & 0x300, 0) << "the test needs a precision other than 24 bits to begin with";
}

// ---- callees that fault -------------------------------------------------------------

// The system's error code for an exception code, the way the system maps it.
static DWORD SystemCodeFor(DWORD exception) {
    auto map = reinterpret_cast<ULONG(WINAPI*)(LONG)>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlNtStatusToDosError"));
    return map(static_cast<LONG>(exception));
}

// A callee that raises an exception it does not handle itself comes back to the host
// as a normal return does: the answer empty, status 1003 until the next call, the
// last error the system's code for the exception (GETLASTERROR its text, which some
// codes lack), the caller's x87 control word and MXCSR back in place with no x87
// exception pending, and the next call works. One that handles its own exception
// behaves as before.
TEST_F(VarsTest, FaultingCalleesReturnToTheHost) {
    BindTestLibrary();
    ASSERT_EQ(Command({"DLLLOAD", "2", "kernel32.dll"}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "2", "100", "GetLastError"}), 0);
    ASSERT_EQ(SystemCodeFor(EXCEPTION_ACCESS_VIOLATION), static_cast<DWORD>(ERROR_NOACCESS));
    // An address with no memory behind it: reserved for the test, never committed.
    void* region = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(region, nullptr);
    auto word = [](DWORD value) { return "INT:" + std::to_string(static_cast<long>(value)); };
    std::string unmapped = word(reinterpret_cast<UINT_PTR>(region));
    struct Case {
        const char* kind;
        std::vector<std::string> words;
        DWORD exception;       // 0: the callee handles its own and answers normally
        const char* expected;  // its answer then
    } cases[] = {
        {"writes through a null pointer", {"StoreInt", "INT", "INT:0", "INT:5"}, EXCEPTION_ACCESS_VIOLATION},
        {"writes to an unmapped address", {"StoreInt", "INT", unmapped, "INT:5"}, EXCEPTION_ACCESS_VIOLATION},
        {"declared STR, faults", {"StoreInt", "STR", "INT:0", "INT:5"}, EXCEPTION_ACCESS_VIOLATION},
        {"invalid instruction", {"ExecuteInvalid", "INT"}, EXCEPTION_ILLEGAL_INSTRUCTION},
        {"divides by zero", {"Divide", "INT", "INT:7", "INT:0"}, EXCEPTION_INT_DIVIDE_BY_ZERO},
        {"recurses without end", {"RecurseForever", "INT", "INT:0"}, EXCEPTION_STACK_OVERFLOW},
        {"recurses without end again", {"RecurseForever", "INT", "INT:0"}, EXCEPTION_STACK_OVERFLOW},
        {"__cdecl, faults", {"CdeclStore", "INT", "INT:0", "INT:1"}, EXCEPTION_ACCESS_VIOLATION},
        {"disturbs every register, then faults", {"DisturbThenFault", "INT"}, EXCEPTION_ACCESS_VIOLATION},
        {"returns with an x87 divide by zero pending", {"X87DivideLeftPending", "INT"}, EXCEPTION_FLT_DIVIDE_BY_ZERO},
        {"raises an x87 divide by zero", {"X87DivideAndWait", "INT"}, EXCEPTION_FLT_DIVIDE_BY_ZERO},
        {"unmasks x87 and SSE exceptions, then faults", {"UnmaskThenFault", "INT"}, EXCEPTION_ACCESS_VIOLATION},
        {"raises an access violation and handles it",
         {"RaiseAndHandle", "INT", word(EXCEPTION_ACCESS_VIOLATION)}, 0, "1"},
        {"raises the C++ exception code and handles it", {"RaiseAndHandle", "INT", word(0xE06D7363)}, 0, "1"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = c.words;
        words.insert(words.begin(), "DLLFUNC");
        std::string block = MakeBlock(words);
        g_crashNote = c.kind;
        std::string answer = CallWatched(funcProc, block.data());
        int status = Status();
        std::string lastErrorCode = Call("GetLastError", "INT", {});
        std::string lastError = Function({"GETLASTERROR"});
        ExpectHostStateKept(c.kind);
        EXPECT_EQ(g_watchAfter.FpuControl(), g_watchBefore.FpuControl()) << c.kind;
        EXPECT_EQ(g_watchAfter.mxcsr, g_watchBefore.mxcsr) << c.kind;
        EXPECT_EQ(g_watchAfter.fpu[1] & X87ExceptionPending, 0u) << c.kind;
        if (c.exception) {
            EXPECT_EQ(answer, "") << c.kind;
            EXPECT_EQ(status, 1003) << c.kind;
            DWORD code = SystemCodeFor(c.exception);
            EXPECT_EQ(lastErrorCode, std::to_string(static_cast<long>(code))) << c.kind;  // INT answers signed
            EXPECT_EQ(lastError, SystemText(code)) << c.kind;
        } else {
            EXPECT_EQ(answer, c.expected) << c.kind;
            EXPECT_EQ(status, 0) << c.kind;
        }
        EXPECT_EQ(Call("Noop", "INT", {"INT:5"}), "5") << "after: " << c.kind;
        EXPECT_EQ(Status(), 0) << "after: " << c.kind;
    }
    g_crashNote.clear();
    VirtualFree(region, 0, MEM_RELEASE);
}

// The callee's own frames are unwound before the call comes back, so that its
// clean-up code (a __finally block, a destructor releasing a lock) runs; a call that
// does not fault passes through none of it.
TEST_F(VarsTest, AFaultRunsTheCalleesCleanUp) {
    BindTestLibrary();
    EXPECT_EQ(Call("CleanUpThenStore", "INT", {"INTADDR", "INT:3"}), "3");
    EXPECT_EQ(Call("UnwoundFrames", "INT", {}), "0");
    EXPECT_EQ(Call("CleanUpThenStore", "INT", {"INT:0", "INT:3"}), "");
    EXPECT_EQ(Status(), 1003);
    EXPECT_EQ(Call("UnwoundFrames", "INT", {}), "1");
}

// A callee may call back into the library. A fault of the inner call is the inner
// call's: the outer one, which returns normally, answers with status 0.
TEST_F(VarsTest, ANestedCallKeepsItsStatusToItself) {
    BindTestLibrary();
    auto address = [](const void* p) { return "INT:" + std::to_string(reinterpret_cast<UINT_PTR>(p)); };
    std::string faulting = MakeBlock({"DLLFUNC", "StoreInt", "INT", "INT:0", "INT:5"});
    std::string clean = MakeBlock({"DLLFUNC", "Noop", "INT", "INT:5"});
    void* proc = reinterpret_cast<void*>(funcProc);
    EXPECT_EQ(Call("CallFuncProc", "INT", {address(proc), address(faulting.data())}), "7");
    EXPECT_EQ(Status(), 0);
    EXPECT_EQ(Call("CallFuncProc", "INT", {address(proc), address(clean.data())}), "7");
    EXPECT_EQ(Status(), 0);
}

// Nothing is rolled back: what the callee wrote before it faulted stays, the slots it
// did not write keep their contents, and the library goes on, unload included.
TEST_F(VarsTest, AFaultKeepsWhatTheCalleeWroteAndEverythingElse) {
    BindTestLibrary();
    Command({"SETINT", "0", "1"});
    Command({"SETINT", "1", "2"});
    Command({"SETSTR", "5", "kept"});
    // StoreTwice writes integer slot 0, then faults on the null second pointer.
    EXPECT_EQ(Call("StoreTwice", "INT", {"INTADDR", "INT:0", "INT:9"}), "");
    EXPECT_EQ(Status(), 1003);
    EXPECT_EQ(Function({"GETINT", "0"}), "9");
    EXPECT_EQ(Function({"GETINT", "1"}), "2");
    EXPECT_EQ(Function({"GETSTR", "5"}), "kept");
    EXPECT_EQ(Status(), 0);
    EXPECT_EQ(Call("StoreTwice", "INT", {"INTADDR", "INTADDR", "INT:4"}), "4");
    EXPECT_EQ(Function({"GETINT", "1"}), "4");
    EXPECT_EQ(Command({"DLLUNLOAD", "1"}), 0);
    EXPECT_EQ(Call("StoreTwice", "INT", {"INTADDR", "INTADDR", "INT:4"}), "Invalid Function");
}

// ---- loading, binding and releasing ------------------------------------------------

TEST_F(VarsTest, LoadFailureShowsItsBoxAndKeepsTheReason) {
    std::string missing = Scratch() + "\\no-such-library.dll";
    EXPECT_EQ(Command({"DLLLOAD", "2", missing}), -1);
    EXPECT_EQ(Status(), 0);
    ExpectBoxes(1, missing + "\n\nCannot load library...", "DLLLOAD", MB_OK | MB_TOPMOST);

    // GETLASTERROR gives the reason the system gave for the same failure.
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA(missing.c_str()), nullptr);
    std::string reason = SystemText(GetLastError());
    EXPECT_FALSE(reason.empty());
    SetLastError(0);
    Command({"DLLLOAD", "2", missing});
    EXPECT_EQ(Function({"GETLASTERROR"}), reason);

    // A failed load empties the number: binding from it finds nothing there.
    EXPECT_EQ(Command({"DLLLOAD", "3", TestLibraryPath()}), 0);
    EXPECT_EQ(Command({"DLLLOAD", "3", missing}), -1);
    boxes.clear();
    EXPECT_EQ(Command({"DLLINITFUNC", "3", "1", "Answer0"}), -1);
    ExpectBoxes(1, "Answer0\n\nCannot get function address...", "DLLINITFUNC", MB_OK);
}

TEST_F(VarsTest, BindFailureShowsItsBoxAndForgetsTheNumber) {
    BindTestLibrary();
    EXPECT_EQ(Command({"DLLINITFUNC", "1", "3", "NoSuchExport"}), -1);
    EXPECT_EQ(Status(), 0);
    ExpectBoxes(1, "NoSuchExport\n\nCannot get function address...", "DLLINITFUNC", MB_OK);
    // Function 3 was Answer0: its address is gone, so the name no longer answers.
    EXPECT_EQ(Call("Answer0", "INT", {}), "Invalid Function");
    EXPECT_EQ(Call("Subtract2", "INT", {"INT:1", "INT:1"}), "0");

    // A name longer than the field is refused the same way, and its box keeps the message.
    std::string longName(300, 'N');
    EXPECT_EQ(Command({"DLLINITFUNC", "1", "2", longName}), -1);
    ExpectBoxes(1, longName + "\n\nCannot get function address...", "DLLINITFUNC", MB_OK);
    EXPECT_EQ(Call("Subtract2", "INT", {"INT:1", "INT:1"}), "Invalid Function");

    // A name of any length in the box is cut so that the message still fits.
    boxes.clear();
    std::string hugeName(5000, 'H');
    EXPECT_EQ(Command({"DLLLOAD", "4", hugeName}), -1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.size(), 4047u);
    EXPECT_EQ(boxes[0].text.substr(4047 - 24), "\n\nCannot load library...");
}

TEST_F(VarsTest, NumbersOutsideTheTablesAreRefusedWithoutABox) {
    BindTestLibrary();
    struct Case {
        std::vector<std::string> words;
    } cases[] = {
        {{"DLLLOAD", "0", TestLibraryPath()}},
        {{"DLLLOAD", "11", TestLibraryPath()}},
        {{"DLLLOAD", "-1", TestLibraryPath()}},
        {{"DLLINITFUNC", "0", "1", "Answer0"}},
        {{"DLLINITFUNC", "11", "1", "Answer0"}},
        {{"DLLINITFUNC", "1", "0", "Answer0"}},
        {{"DLLINITFUNC", "1", "101", "Answer0"}},
        {{"DLLINITFUNC", "1", "-2147483648", "Answer0"}},
        {{"DLLUNLOAD", "0"}},
        {{"DLLUNLOAD", "11"}},
    };
    for (const Case& c : cases) EXPECT_EQ(Command(c.words), -1) << c.words[0] << " " << c.words[1];
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(Status(), 0);
    // The edges of the tables work.
    EXPECT_EQ(Command({"DLLLOAD", "10", TestLibraryPath()}), 0);
    EXPECT_EQ(Command({"DLLINITFUNC", "10", "100", "Noop"}), 0);
    EXPECT_EQ(Call("noop", "INT", {"INT:100"}), "100");
    EXPECT_EQ(Call("Answer0", "INT", {}), "42");
}

// DLLUNLOAD releases once and forgets the functions bound from the library, so no
// call can reach code that may be gone.
TEST_F(VarsTest, UnloadReleasesOnceAndForgetsItsFunctions) {
    const std::string copy = OwnCopyOfTestLibrary();
    ASSERT_EQ(Command({"DLLLOAD", "1", copy}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "1", "Answer0"}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "2", "Words20"}), 0);
    ASSERT_EQ(Command({"DLLLOAD", "2", copy}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "2", "50", "Noop"}), 0);

    EXPECT_EQ(Command({"DLLUNLOAD", "1"}), 0);
    ASSERT_TRUE(IsLoaded(copy)) << "number 2 still holds its reference";
    EXPECT_EQ(Call("Answer0", "INT", {}), "Invalid Function");
    EXPECT_EQ(Call("Words20", "INT", {}), "Invalid Function");
    // Bound through number 2, whose reference still holds: still callable.
    EXPECT_EQ(Call("Noop", "INT", {"INT:3"}), "3");
    EXPECT_EQ(Command({"DLLUNLOAD", "1"}), 0);  // already released: nothing happens
    EXPECT_TRUE(IsLoaded(copy));
    EXPECT_EQ(Command({"DLLUNLOAD", "2"}), 0);
    EXPECT_FALSE(IsLoaded(copy)) << "two loads, two releases";
    EXPECT_EQ(Call("Noop", "INT", {"INT:3"}), "Invalid Function");
    EXPECT_EQ(Command({"DLLUNLOAD", "5"}), 0);  // never loaded
    EXPECT_TRUE(boxes.empty());
}

// Loading into a number that holds a library forgets the former one without
// releasing it: functions bound from it stay callable.
TEST_F(VarsTest, LoadingOverANumberLeavesTheFormerLibraryLoaded) {
    const std::string copy = OwnCopyOfTestLibrary();
    ASSERT_EQ(Command({"DLLLOAD", "1", copy}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "1", "Answer0"}), 0);
    EXPECT_EQ(Command({"DLLLOAD", "1", "kernel32.dll"}), 0);
    ASSERT_TRUE(IsLoaded(copy)) << "the former library was released";
    EXPECT_EQ(Command({"DLLINITFUNC", "1", "60", "GetTickCount"}), 0);
    EXPECT_EQ(Command({"DLLUNLOAD", "1"}), 0);
    EXPECT_EQ(Call("GetTickCount", "INT", {}), "Invalid Function");
    ASSERT_TRUE(IsLoaded(copy));
    EXPECT_EQ(Call("Answer0", "INT", {}), "42");
    // The script can no longer release it; the test does.
    FreeLibrary(GetModuleHandleA(copy.c_str()));
}

// Two numbers bound under one name: DLLFUNC calls the lower-numbered one, whichever
// was bound first. The test library and its copy both export GreetingText, which
// answers a text inside its own module.
TEST_F(VarsTest, LowerNumberedBindingWinsForASharedName) {
    const std::string copy = OwnCopyOfTestLibrary();
    struct Binding {
        const char* library;  // "1" the test library, "2" its copy
        const char* number;
    };
    struct Case {
        Binding first, second;
        const char* winner;
    } cases[] = {
        {{"1", "7"}, {"2", "30"}, "1"},
        {{"2", "30"}, {"1", "7"}, "1"},
        {{"1", "30"}, {"2", "7"}, "2"},
        {{"2", "7"}, {"1", "30"}, "2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first.library) + "@" + c.first.number + " then " + c.second.library + "@" +
                     c.second.number);
        Reload(WindowInitText().c_str());
        ASSERT_EQ(Command({"DLLLOAD", "1", TestLibraryPath()}), 0);
        ASSERT_EQ(Command({"DLLLOAD", "2", copy}), 0);
        for (const Binding& b : {c.first, c.second})
            ASSERT_EQ(Command({"DLLINITFUNC", b.library, b.number, "GreetingText"}), 0);
        DWORD address = strtoul(Call("GreetingText", "INT", {}).c_str(), nullptr, 10);
        HMODULE owner = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(address), &owner);
        EXPECT_EQ(owner, GetModuleHandleA((*c.winner == '1' ? TestLibraryPath() : copy).c_str()));
        Command({"DLLUNLOAD", "1"});
        Command({"DLLUNLOAD", "2"});
    }
}

// The name field holds 255 characters: a name of 255 binds and calls, one of 256
// is refused although the library exports it.
TEST_F(VarsTest, FunctionNamesOfUpTo255Characters) {
    BindTestLibrary();
    const std::string n255(255, 'L'), n256(256, 'L');
    ASSERT_NE(GetProcAddress(testlib, n255.c_str()), nullptr);
    ASSERT_NE(GetProcAddress(testlib, n256.c_str()), nullptr);
    EXPECT_EQ(Command({"DLLINITFUNC", "1", "90", n255}), 0);
    EXPECT_EQ(Call(n255, "INT", {}), "42");
    EXPECT_EQ(Command({"DLLINITFUNC", "1", "91", n256}), -1);
    ExpectBoxes(1, n256 + "\n\nCannot get function address...", "DLLINITFUNC", MB_OK);
    EXPECT_EQ(Call(n256, "INT", {}), "Invalid Function");
}

// A callee that sets the direction flag and returns: the caller gets it back clear.
extern "C" {
DWORD g_flagsAfterCall;
const char* __cdecl CallReadingFlags(FunctionFn function, const char* block);
}
asm(".text\n"
    ".globl _CallReadingFlags\n"
    "_CallReadingFlags:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl 12(%ebp)\n"      // the block
    "    call *8(%ebp)\n"       // FuncProc
    "    pushfl\n"              // the flags as FuncProc left them
    "    popl _g_flagsAfterCall\n"
    "    cld\n"                 // this program's code needs the flag clear
    "    movl %ebp, %esp\n"
    "    popl %ebp\n"
    "    ret\n");

TEST_F(VarsTest, DirectionFlagIsClearAfterACalleeSetsIt) {
    BindTestLibrary();
    std::string block = MakeBlock({"DLLFUNC", "SetDirectionFlag", "INT"});
    const char* answer = CallReadingFlags(funcProc, block.data());
    EXPECT_EQ(g_flagsAfterCall & 0x400, 0u) << "the direction flag is set";
    EXPECT_STREQ(answer, "1");
}

// A real system function, with an answer the test computes the same way.
TEST_F(VarsTest, CallsIntoSystemLibraries) {
    ASSERT_EQ(Command({"DLLLOAD", "1", "kernel32.dll"}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "1", "GetWindowsDirectoryA"}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "2", "lstrlenA"}), 0);
    char expected[MAX_PATH];
    UINT length = GetWindowsDirectoryA(expected, MAX_PATH);
    EXPECT_EQ(Function({"DLLFUNC", "GetWindowsDirectoryA", "INT", "STRBUF", "INT:260"}),
              std::to_string(length));
    EXPECT_EQ(Function({"GETSTR", "0"}), expected);
    EXPECT_EQ(Function({"DLLFUNC", "lstrlenA", "INT", "STR:twelve chars"}), "12");
}
