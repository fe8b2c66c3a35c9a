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
