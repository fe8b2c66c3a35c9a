// Automation objects: the object slots, real objects of the platform (the scripting
// runtime's dictionary, VBScript's regular expressions, the XML document, the shell
// object, WMI where the platform has it) and the test library's own automation object,
// which counts its references so that every path is seen to give them back.
#include <string>

#include "fixture.h"

class ComTest : public TrakxTest {
protected:
    std::string Error() { return Function({"DLLERROR"}); }
    std::string Count() { return Function({"COMCOUNT"}); }
    // COMCREATE k class, expected to work.
    void Create(int k, const std::string& progid) {
        ASSERT_EQ(Command({"COMCREATE", std::to_string(k), progid}), 0) << progid << ": " << Error();
    }
};

// ---- the slots --------------------------------------------------------------------------------

TEST_F(ComTest, SlotsHoldOneObjectEachAndAreCounted) {
    EXPECT_EQ(Count(), "0");
    Create(1, "Scripting.Dictionary");
    Create(1000, "Msxml2.DOMDocument.6.0");  // a versioned ProgID
    Create(7, "{EE09B103-97E0-11CF-978F-00A02463E06F}");  // the dictionary's CLSID
    EXPECT_EQ(Count(), "3");
    Create(7, "Scripting.Dictionary");  // the one there before is released
    EXPECT_EQ(Count(), "3");
    EXPECT_EQ(Command({"COMRELEASE", "7"}), 0);
    EXPECT_EQ(Count(), "2");
    EXPECT_EQ(Command({"COMRELEASE", "OBJ:1000"}), 0);
    EXPECT_EQ(Count(), "1");
}

TEST_F(ComTest, BadNumbersAndEmptySlotsAnswer1005AndChangeNothing) {
    Create(5, "Scripting.Dictionary");
    struct Case {
        std::vector<std::string> words;
    } cases[] = {
        {{"COMCREATE", "0", "Scripting.Dictionary"}},
        {{"COMCREATE", "1001", "Scripting.Dictionary"}},
        {{"COMCREATE", "-1", "Scripting.Dictionary"}},
        {{"COMCREATE", "", "Scripting.Dictionary"}},
        {{"COMCREATE", "x", "Scripting.Dictionary"}},
        {{"COMGET", "0", "winmgmts:"}},
        {{"COMRELEASE", "6"}},
        {{"COMRELEASE", "1001"}},
        {{"COMRELEASE", "OBJ:0"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Command(c.words), 1005) << c.words[0] << " " << c.words[1];
        EXPECT_NE(Error(), "") << c.words[0] << " " << c.words[1];
        EXPECT_EQ(Count(), "1");
    }
}

TEST_F(ComTest, UnknownClassesAnswer1006WithTheReasonAndChangeNoSlot) {
    Create(2, "Scripting.Dictionary");
    for (const char* name : {"No.Such.Class", "{00000000-0000-0000-0000-0000000000AB}", "{not a clsid", ""}) {
        EXPECT_EQ(Command({"COMCREATE", "2", name}), 1006) << name;
        std::string error = Error();
        EXPECT_NE(error.find("0x8"), std::string::npos) << name << ": " << error;
        EXPECT_EQ(Count(), "1") << name;
    }
    EXPECT_EQ(Command({"COMGET", "3", "No.Such.Class"}), 1006);
    EXPECT_EQ(Count(), "1");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ComTest, DllUnloadOfNothingReleasesEveryObject) {
    Create(1, "Scripting.Dictionary");
    Create(2, "Scripting.Dictionary");
    Command({"DLLUNLOAD"});
    EXPECT_EQ(Count(), "0");
    Create(1, "Scripting.Dictionary");  // COM still serves afterwards
    EXPECT_EQ(Count(), "1");
}

// ---- the scripting runtime's dictionary ---------------------------------------------------------

TEST_F(ComTest, DictionaryAddItemExistsCountAndKeys) {
    Create(1, "Scripting.Dictionary");
    EXPECT_EQ(Function({"COMINVOKE", "1", "Add", "apple", "red"}), "");
    EXPECT_EQ(Status(), 0) << Error();
    EXPECT_EQ(Function({"COMINVOKE", "1", "Add", "pear", "STR:123"}), "");
    EXPECT_EQ(Function({"COMINVOKE", "1", "Add", "7", "2.5"}), "");
    struct Case {
        std::vector<std::string> words;
        std::string answer;
    } cases[] = {
        {{"COMPROP", "1", "Count"}, "3"},
        {{"COMPROP", "1", "Item", "apple"}, "red"},
        {{"COMPROP", "1", "Item", "pear"}, "123"},
        {{"COMPROP", "1", "Item", "7"}, "2.5"},          // the key is the number 7
        {{"COMINVOKE", "1", "Exists", "apple"}, "-1"},  // booleans as -1 and 0
        {{"COMINVOKE", "1", "Exists", "STR:7"}, "0"},   // the text "7" is another key
        {{"COMINVOKE", "1", "Exists", "7"}, "-1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Function(c.words), c.answer) << c.words[2] << " " << (c.words.size() > 3 ? c.words[3] : "");
        EXPECT_EQ(Status(), 0) << Error();
    }
    EXPECT_EQ(Command({"COMPROPSET", "1", "Item", "apple", "green"}), 0) << Error();
    EXPECT_EQ(Function({"COMPROP", "1", "Item", "apple"}), "green");
    EXPECT_EQ(Command({"COMPROPSET", "1", "Item", "plum", "STR:"}), 0) << Error();  // an indexed put adds
    EXPECT_EQ(Function({"COMPROP", "1", "Count"}), "4");

    // Keys: an array in the lowest free slot, read by index and walked.
    EXPECT_EQ(Function({"COMINVOKE", "1", "Keys"}), "OBJ:2");
    EXPECT_EQ(Function({"COMPROP", "2", "Count"}), "4");
    EXPECT_EQ(Function({"COMPROP", "2", "Dims"}), "1");
    EXPECT_EQ(Function({"COMPROP", "2", "LBound"}), "0");
    EXPECT_EQ(Function({"COMPROP", "2", "UBound"}), "3");
    EXPECT_EQ(Function({"COMPROP", "2", "Item", "0"}), "apple");
    EXPECT_EQ(Function({"COMPROP", "2", "Item", "2"}), "7");
    EXPECT_EQ(Function({"COMPROP", "2", "Item", "4"}), "");
    EXPECT_EQ(Status(), 1005);
    EXPECT_EQ(Command({"COMENUM", "3", "2"}), 0) << Error();
    std::vector<std::string> walked;
    for (int i = 0; i < 10; ++i) {
        std::string item = Function({"COMNEXT", "3"});
        if (Status() == 1007) break;
        walked.push_back(item);
    }
    EXPECT_EQ(walked, (std::vector<std::string>{"apple", "pear", "7", "plum"}));
    EXPECT_EQ(Function({"COMNEXT", "3"}), "");
    EXPECT_EQ(Status(), 1007);

    // The dictionary's own enumerator walks the keys the same way.
    EXPECT_EQ(Command({"COMENUM", "4", "1"}), 0) << Error();
    walked.clear();
    for (std::string item = Function({"COMNEXT", "4"}); Status() == 0; item = Function({"COMNEXT", "4"}))
        walked.push_back(item);
    EXPECT_EQ(Status(), 1007);
    EXPECT_EQ(walked, (std::vector<std::string>{"apple", "pear", "7", "plum"}));
    EXPECT_EQ(Count(), "4");
}

TEST_F(ComTest, FailingCallsSayWhatAndWhy) {
    Create(3, "Scripting.Dictionary");
    EXPECT_EQ(Function({"COMPROP", "3", "Foo"}), "");
    EXPECT_EQ(Status(), 1006);
    EXPECT_EQ(Error(), "unknown name Foo on object 3 (Scripting.Dictionary)");
    // The server's own exception: a key added twice.
    Function({"COMINVOKE", "3", "Add", "a", "1"});
    EXPECT_EQ(Function({"COMINVOKE", "3", "Add", "a", "2"}), "");
    EXPECT_EQ(Status(), 1006);
    std::string error = Error();
    EXPECT_EQ(error.rfind("Add on object 3 (Scripting.Dictionary): 0x800A01C9", 0), 0u) << error;
    // Arguments of the wrong form, and empty or missing slots, are 1005.
    EXPECT_EQ(Function({"COMINVOKE", "3", "Exists", "INT:x"}), "");
    EXPECT_EQ(Status(), 1005);
    EXPECT_NE(Error().find("argument 1"), std::string::npos) << Error();
    EXPECT_EQ(Function({"COMPROP", "4", "Count"}), "");
    EXPECT_EQ(Status(), 1005);
    EXPECT_EQ(Function({"COMINVOKE", "3", "Exists", "OBJ:9"}), "");
    EXPECT_EQ(Status(), 1005);
    EXPECT_EQ(Command({"COMPROPSET", "3", "CompareMode"}), 1005);  // no value
    EXPECT_EQ(Function({"COMNEXT", "3"}), "");
    EXPECT_EQ(Status(), 1005);
    EXPECT_EQ(Count(), "1");
    EXPECT_TRUE(boxes.empty());
}

// ---- other objects of the platform ---------------------------------------------------------------

TEST_F(ComTest, RegularExpressionMatchesWalkedWithSubMatches) {
    Create(1, "VBScript.RegExp");
    EXPECT_EQ(Command({"COMPROPSET", "1", "Pattern", "(\\w+)@(\\w+)\\.com"}), 0) << Error();
    EXPECT_EQ(Command({"COMPROPSET", "1", "Global", "BOOL:TRUE"}), 0) << Error();
    EXPECT_EQ(Function({"COMPROP", "1", "Global"}), "-1");
    EXPECT_EQ(Function({"COMINVOKE", "1", "Test", "mail ann@example.com"}), "-1");
    EXPECT_EQ(Function({"COMINVOKE", "1", "Execute", "ann@one.com, bob@two.com"}), "OBJ:2");
    EXPECT_EQ(Function({"COMPROP", "2", "Count"}), "2");
    ASSERT_EQ(Command({"COMENUM", "3", "2"}), 0) << Error();
    std::vector<std::string> found;
    for (std::string match = Function({"COMNEXT", "3"}); Status() == 0; match = Function({"COMNEXT", "3"})) {
        EXPECT_EQ(match, "OBJ:4");  // each match in the lowest free slot, released before the next
        found.push_back(Function({"COMPROP", "4", "Value"}) + "=" + Function({"COMPROP", "4", "SubMatches.Item", "0"}) +
                        "+" + Function({"COMPROP", "4", "SubMatches.Item", "1"}));
        EXPECT_EQ(Command({"COMRELEASE", "4"}), 0);
    }
    EXPECT_EQ(Status(), 1007);
    EXPECT_EQ(found, (std::vector<std::string>{"ann@one.com=ann+one", "bob@two.com=bob+two"}));
    EXPECT_EQ(Function({"COMPROP", "2", "Item.Length", "1"}), "");  // an index on the way is not supported
    EXPECT_EQ(Function({"COMPROP", "2", "Item", "1"}), "OBJ:4");
    EXPECT_EQ(Function({"COMPROP", "4", "FirstIndex"}), "13");
}

TEST_F(ComTest, XmlDocumentLoadSelectAndText) {
    Create(1, "Msxml2.DOMDocument.6.0");
    EXPECT_EQ(Function({"COMINVOKE", "1", "loadXML", "<list><i n='1'>one</i><i n='2'>two</i></list>"}), "-1")
        << Error();
    EXPECT_EQ(Function({"COMPROP", "1", "documentElement.nodeName"}), "list");
    EXPECT_EQ(Function({"COMINVOKE", "1", "selectNodes", "//i"}), "OBJ:2");
    EXPECT_EQ(Function({"COMPROP", "2", "length"}), "2");
    EXPECT_EQ(Function({"COMPROP", "2", "item", "1"}), "OBJ:3");
    EXPECT_EQ(Function({"COMPROP", "3", "text"}), "two");
    EXPECT_EQ(Function({"COMINVOKE", "3", "getAttribute", "n"}), "2");
    EXPECT_EQ(Function({"COMPROP", "1", "documentElement.firstChild.text"}), "one");
    EXPECT_EQ(Count(), "3");
}

TEST_F(ComTest, ShellExpandsEnvironmentStrings) {
    if (Command({"COMCREATE", "1", "WScript.Shell"}) != 0) GTEST_SKIP() << "no WScript.Shell here: " << Error();
    char expected[MAX_PATH];
    ExpandEnvironmentStringsA("%WINDIR%\\x", expected, MAX_PATH);
    EXPECT_EQ(Function({"COMINVOKE", "1", "ExpandEnvironmentStrings", "%WINDIR%\\x"}), expected);
}

TEST_F(ComTest, WmiQueryWalked) {
    if (Command({"COMGET", "1", "winmgmts:\\\\.\\root\\cimv2"}) != 0)
        GTEST_SKIP() << "no WMI moniker here: " << Error();
    std::string set = Function({"COMINVOKE", "1", "ExecQuery", "SELECT * FROM Win32_OperatingSystem"});
    if (Status() != 0) GTEST_SKIP() << "WMI cannot query Win32_OperatingSystem here: " << Error();
    ASSERT_EQ(set, "OBJ:2");
    ASSERT_EQ(Command({"COMENUM", "3", "2"}), 0) << Error();
    std::string os = Function({"COMNEXT", "3"});
    ASSERT_EQ(os, "OBJ:4") << Error();
    EXPECT_NE(Function({"COMPROP", "4", "Caption"}), "");
    EXPECT_EQ(Status(), 0) << Error();
    Function({"COMNEXT", "3"});
    EXPECT_EQ(Status(), 1007);
}
