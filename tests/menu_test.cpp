// Menus on the host window and the window procedure in front of the window's own:
// the menu is read back with the system's menu calls, choices arrive as WM_COMMAND.
#include "fixture.h"

#include <string>
#include <vector>

namespace {

constexpr LRESULT kUserAnswer = 0x5EED;
constexpr LRESULT kCommandAnswer = 0x77;
constexpr UINT kUserMessage = WM_USER + 7;

// What the window's own procedure saw.
struct OwnProcLog {
    std::vector<UINT> messages;
    std::vector<size_t> eventsAtCommand;  // host events already made when a WM_COMMAND arrived
    std::vector<WPARAM> commandParams;
    bool destroyReachedUnhooked = false;  // at WM_DESTROY the window already pointed at us
};
OwnProcLog ownLog;

LRESULT CALLBACK OwnWindowProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    ownLog.messages.push_back(m);
    if (m == WM_COMMAND) {
        ownLog.eventsAtCommand.push_back(TrakxTest::events.size());
        ownLog.commandParams.push_back(wp);
        return kCommandAnswer;
    }
    if (m == kUserMessage) return kUserAnswer;
    if (m == WM_DESTROY)
        ownLog.destroyReachedUnhooked = GetWindowLongA(w, GWL_WNDPROC) == reinterpret_cast<LONG>(OwnWindowProc);
    return DefWindowProcA(w, m, wp, lp);
}

// A procedure another component installs on top of the library's one later.
WNDPROC procBelowOnTop = nullptr;
int onTopCalls = 0;
LRESULT CALLBACK OnTopProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    ++onTopCalls;
    return CallWindowProcA(procBelowOnTop, w, m, wp, lp);
}

}  // namespace

// The fixture's window gets a procedure of our own that records what reaches it,
// put in place before the library puts its own in front of it.
class MenuTest : public TrakxTest {
protected:
    void SetUp() override {
        TrakxTest::SetUp();
        if (HasFatalFailure()) return;
        Unload();
        SetWindowLongA(window, GWL_WNDPROC, reinterpret_cast<LONG>(OwnWindowProc));
        ownLog = OwnProcLog();
        onTopCalls = 0;
        Reload(WindowInitText().c_str());
        events.clear();
    }

    LONG WindowProc() const { return GetWindowLongA(window, GWL_WNDPROC); }

    // Sends the window a menu choice; answers the events it produced.
    std::vector<std::string> Choose(WPARAM wParam) {
        events.clear();
        SendMessageA(window, WM_COMMAND, wParam, 0);
        return events;
    }

    HMENU Popup(int index) { return GetSubMenu(GetMenu(window), index); }

    static std::string Caption(HMENU menu, int position) {
        char text[256] = "";
        GetMenuStringA(menu, position, text, sizeof(text), MF_BYPOSITION);
        return text;
    }

    void BuildFileMenu() {
        Command({"MENU", "CREATE", "1", "MENU", "&File", "0"});
        Command({"MENU", "CREATE", "2", "ITEM", "&Open", "1"});
        Command({"MENU", "CREATE", "3", "ITEM", "&Save", "1"});
    }
};

using Names = std::vector<std::string>;

TEST_F(MenuTest, CreateBuildsBarPopupsItemsSeparatorsAndNesting) {
    EXPECT_EQ(GetMenu(window), nullptr);
    EXPECT_EQ(Command({"MENU", "CREATE", "1", "MENU", "&File", "0"}), 0);
    HMENU bar = GetMenu(window);
    ASSERT_NE(bar, nullptr) << "the first popup makes and attaches the bar";
    EXPECT_EQ(Command({"MENU", "CREATE", "2", "ITEM", "E&xit", "1"}), 0);
    EXPECT_EQ(Command({"MENU", "CREATE", "3", "BAR", "ignored", "1"}), 0);
    EXPECT_EQ(Command({"menu", "create", "4", "menu", "&Recent", "1"}), 0);
    EXPECT_EQ(Command({"MENU", "CREATE", "5", "ITEM", "One", "4"}), 0);
    EXPECT_EQ(Command({"MENU", "CREATE", "6", "MENU", "&Help", "0"}), 0);
    EXPECT_EQ(Status(), 0);

    EXPECT_EQ(GetMenu(window), bar) << "later popups reuse the bar";
    ASSERT_EQ(GetMenuItemCount(bar), 2);
    EXPECT_EQ(Caption(bar, 0), "&File");
    EXPECT_EQ(Caption(bar, 1), "&Help");

    HMENU file = GetSubMenu(bar, 0);
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(GetMenuItemCount(file), 3);
    EXPECT_EQ(Caption(file, 0), "E&xit");
    EXPECT_EQ(GetMenuItemID(file, 0), 10002u);
    EXPECT_EQ(GetMenuState(file, 0, MF_BYPOSITION), 0u) << "a plain enabled, unchecked text item";
    EXPECT_EQ(GetMenuState(file, 1, MF_BYPOSITION) & MF_SEPARATOR, static_cast<UINT>(MF_SEPARATOR));
    EXPECT_EQ(Caption(file, 2), "&Recent");

    HMENU recent = GetSubMenu(file, 2);
    ASSERT_NE(recent, nullptr) << "popup 4 is nested in popup 1";
    ASSERT_EQ(GetMenuItemCount(recent), 1);
    EXPECT_EQ(Caption(recent, 0), "One");
    EXPECT_EQ(GetMenuItemID(recent, 0), 10005u);
    EXPECT_EQ(GetMenuItemCount(GetSubMenu(bar, 1)), 0);
}

TEST_F(MenuTest, FirstPopupNestedStillMakesTheBar) {
    Command({"MENU", "CREATE", "1", "MENU", "Orphan", "2"});  // popup 2 was never made
    EXPECT_NE(GetMenu(window), nullptr);
}

// A popup whose parent is its own number goes into the popup that number named
// before, never into itself; with no earlier popup it is attached nowhere.
TEST_F(MenuTest, PopupIsNeverAppendedToItself) {
    Command({"MENU", "CREATE", "5", "MENU", "&Outer", "0"});
    HMENU outer = Popup(0);
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(Command({"MENU", "CREATE", "5", "MENU", "&Inner", "5"}), 0);
    ASSERT_EQ(GetMenuItemCount(outer), 1);
    HMENU inner = GetSubMenu(outer, 0);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(GetMenuItemCount(inner), 0) << "the new popup holds nothing, least of all itself";
    // Number 5 now names the inner popup.
    Command({"MENU", "CREATE", "6", "ITEM", "Deep", "5"});
    ASSERT_EQ(GetMenuItemCount(inner), 1);
    EXPECT_EQ(Caption(inner, 0), "Deep");

    Command({"MENU", "CREATE", "7", "MENU", "Alone", "7"});
    EXPECT_EQ(GetMenuItemCount(GetMenu(window)), 1) << "popup 7 had no earlier popup to go into";
    Command({"MENU", "CREATE", "8", "ITEM", "Unseen", "7"});
    EXPECT_EQ(GetMenuItemCount(outer), 1);
    EXPECT_EQ(GetMenuItemCount(inner), 1);
    // Drawing the bar and opening the popups must not recurse.
    EXPECT_TRUE(DrawMenuBar(window));
    EXPECT_EQ(GetMenuState(outer, 0, MF_BYPOSITION) & MF_POPUP, static_cast<UINT>(MF_POPUP));
}

TEST_F(MenuTest, ChoosingAnItemReportsItsEventName) {
    struct Case {
        std::string caption;
        std::string menuText;  // as the menu shows it
        std::string event;
    };
    const std::string a70(70, 'a'), a63(63, 'a');
    const std::string amp60 = std::string(10, '&') + std::string(50, 'b');
    const Case cases[] = {
        {"E&xit", "E&xit", "ExitMENU"},
        {"Save &As...", "Save &As...", "Save As...MENU"},
        {"&&&", "&&&", "MENU"},
        {"A&B&C", "A&B&C", "ABCMENU"},
        // Cut to 63 characters on the menu; the event name keeps its "MENU" ending.
        {a70, a63, std::string(59, 'a') + "MENU"},
        {amp60, amp60, std::string(50, 'b') + "MENU"},
    };
    Command({"MENU", "CREATE", "1", "MENU", "&File", "0"});
    HMENU file = Popup(0);
    int n = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        ++n;
        Command({"MENU", "CREATE", std::to_string(n), "ITEM", c.caption, "1"});
        int position = GetMenuItemCount(file) - 1;
        EXPECT_EQ(Caption(file, position), c.menuText);
        EXPECT_EQ(Choose(10000 + n), Names{c.event});
    }
    EXPECT_EQ(Choose(10001), Names{"FileMENU"}) << "a popup's number carries its event name too";
}

TEST_F(MenuTest, OtherKindsStoreOnlyTheNameAndBarKeepsIt) {
    BuildFileMenu();
    HMENU file = Popup(0);
    Command({"MENU", "CREATE", "7", "BUTTON", "&Later", "1"});
    EXPECT_EQ(GetMenuItemCount(file), 2) << "an unknown kind appends nothing";
    EXPECT_EQ(Choose(10007), Names{"LaterMENU"});

    Command({"MENU", "CREATE", "2", "BAR", "Other", "1"});
    EXPECT_EQ(GetMenuItemCount(file), 3);
    EXPECT_EQ(Choose(10002), Names{"OpenMENU"}) << "a separator leaves the name under its number alone";
}

TEST_F(MenuTest, PositionSubWordsChangeTheRealMenu) {
    BuildFileMenu();
    HMENU file = Popup(0);
    struct Step {
        const char* word;
        int position;
        UINT stateOfOpen;  // GetMenuState of position 0 after the step
        UINT stateOfSave;
    };
    const Step steps[] = {
        {"CHECK", 0, MF_CHECKED, 0},
        {"DISABLE", 1, MF_CHECKED, MF_GRAYED},
        {"disable", 0, MF_CHECKED | MF_GRAYED, MF_GRAYED},
        {"UNCHECK", 0, MF_GRAYED, MF_GRAYED},
        {"ENABLE", 1, MF_GRAYED, 0},
        {"Enable", 0, 0, 0},
        {"CHECK", 5, 0, 0},   // no item there: nothing changes
        {"TOGGLE", 0, 0, 0},  // unknown sub-word
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.word) + " " + std::to_string(s.position));
        EXPECT_EQ(Command({"MENU", s.word, "1", std::to_string(s.position)}), 0);
        EXPECT_EQ(GetMenuState(file, 0, MF_BYPOSITION), s.stateOfOpen);
        EXPECT_EQ(GetMenuState(file, 1, MF_BYPOSITION), s.stateOfSave);
    }

    EXPECT_EQ(Command({"MENU", "REMOVE", "1", "0"}), 0);
    ASSERT_EQ(GetMenuItemCount(file), 1);
    EXPECT_EQ(Caption(file, 0), "&Save") << "the later item moves up";
    EXPECT_EQ(Command({"MENU", "REMOVE", "1", "3"}), 0);
    EXPECT_EQ(GetMenuItemCount(file), 1);
}

TEST_F(MenuTest, GetStateAnswersCheckedDotGrayed) {
    BuildFileMenu();
    Command({"MENU", "CREATE", "4", "BAR", "", "1"});
    Command({"MENU", "CREATE", "5", "MENU", "Sub", "1"});
    struct Case {
        const char* setup[2];
        const char* number;
        const char* position;
        const char* answer;
    };
    const Case cases[] = {
        {{nullptr, nullptr}, "1", "0", "0.0"},
        {{"CHECK", nullptr}, "1", "0", "1.0"},
        {{"DISABLE", nullptr}, "1", "0", "0.1"},
        {{"CHECK", "DISABLE"}, "1", "0", "1.1"},
        {{nullptr, nullptr}, "1", "9", "0.0"},   // no item at that position
        {{nullptr, nullptr}, "1", "-1", "0.0"},  //
        {{nullptr, nullptr}, "1", "2", "0.0"},   // a separator
        {{nullptr, nullptr}, "1", "3", "0.0"},   // a nested popup: not a plain state word
        {{nullptr, nullptr}, "9", "0", "0.0"},   // popup never made
        {{nullptr, nullptr}, "0", "0", "0.0"},   // numbers outside 1-100
        {{nullptr, nullptr}, "101", "0", "0.0"},
        {{nullptr, nullptr}, "-3", "0", "0.0"},
        {{nullptr, nullptr}, "2147483647", "0", "0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.number) + " " + c.position + " -> " + c.answer);
        Command({"MENU", "UNCHECK", "1", "0"});
        Command({"MENU", "ENABLE", "1", "0"});
        for (const char* word : c.setup)
            if (word) Command({"MENU", word, "1", "0"});
        EXPECT_EQ(Function({"MENU", "GETSTATE", c.number, c.position}), c.answer);
        EXPECT_EQ(Function({"menu", "getstate", c.number, c.position}), c.answer);
    }
}

TEST_F(MenuTest, GetStateOnlyAsFunctionAndSubWordsOnlyAsCommand) {
    BuildFileMenu();
    Command({"MENU", "CHECK", "1", "0"});
    EXPECT_EQ(Command({"MENU", "GETSTATE", "1", "0"}), 0);
    EXPECT_EQ(Function({"MENU", "UNCHECK", "1", "0"}), "Invalid Function");
    EXPECT_EQ(Function({"MENU", "GETSTATE", "1", "0"}), "1.0");
}

TEST_F(MenuTest, NumbersOutsideTheTablesChangeNothing) {
    // The first commands are all out of range: not even the bar is made.
    const std::vector<std::vector<std::string>> ignored = {
        {"MENU", "CREATE", "0", "MENU", "Zero", "0"},
        {"MENU", "CREATE", "101", "MENU", "Big", "0"},
        {"MENU", "CREATE", "-1", "MENU", "Minus", "0"},
        {"MENU", "CREATE", "1", "MENU", "Parent", "00"},  // reads as 0, but is not "0"
        {"MENU", "CREATE", "1", "MENU", "Parent", "101"},
        {"MENU", "CREATE", "1", "MENU", "Parent", ""},
    };
    for (const auto& words : ignored) EXPECT_EQ(Command(words), 0);
    EXPECT_EQ(GetMenu(window), nullptr);

    BuildFileMenu();
    HMENU file = Popup(0);
    const std::vector<std::vector<std::string>> alsoIgnored = {
        {"MENU", "CREATE", "101", "ITEM", "Big", "1"},
        {"MENU", "CREATE", "2", "ITEM", "Replaced", "101"},
        {"MENU", "CREATE", "2", "ITEM", "Replaced", "-5"},
        {"MENU", "CREATE", "2", "ITEM", "Replaced", "0"},
        {"MENU", "CREATE", "2", "BAR", "", "0"},
        {"MENU", "CREATE", "0", "OTHER", "Replaced", "1"},
        {"MENU", "CHECK", "0", "0"},
        {"MENU", "CHECK", "101", "0"},
        {"MENU", "DISABLE", "-1", "0"},
        {"MENU", "REMOVE", "1000", "0"},
    };
    for (const auto& words : alsoIgnored) EXPECT_EQ(Command(words), 0);
    EXPECT_EQ(GetMenuItemCount(file), 2);
    EXPECT_EQ(GetMenuState(file, 0, MF_BYPOSITION), 0u);
    EXPECT_EQ(Choose(10002), Names{"OpenMENU"});
    EXPECT_EQ(Choose(10000 + 101), Names{}) << "no number above 100 is looked up";
}

TEST_F(MenuTest, IdFactorSetBeforeItemsAreMade) {
    struct Case {
        const char* factor;
        UINT itemId;                // as the menu holds it
        WPARAM choice;              // the identifier a choice then carries
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"20000", 20002, 20002, {"OpenMENU"}},
        {"0", 2, 2, {"OpenMENU"}},
        {"", 2, 2, {"OpenMENU"}},       // empty text reads as 0
        {" +300", 302, 302, {"OpenMENU"}},
        {"65435", 65437, 65437, {"OpenMENU"}},  // the highest factor whose items all fit in 16 bits
        {"-1", 1, 1, {}},               // compared unsigned, nothing is above the factor
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("factor ") + c.factor);
        Reload(WindowInitText().c_str());
        EXPECT_EQ(Command({"SETIDFACTOR", c.factor}), 0);
        Command({"MENU", "CREATE", "1", "MENU", "&File", "0"});
        Command({"MENU", "CREATE", "2", "ITEM", "&Open", "1"});
        HMENU file = GetSubMenu(GetMenu(window), GetMenuItemCount(GetMenu(window)) - 1);
        EXPECT_EQ(GetMenuItemID(file, 0), c.itemId);
        EXPECT_EQ(Choose(c.choice), c.events);
    }
}

TEST_F(MenuTest, IdFactorChangedAfterItemsAreMade) {
    BuildFileMenu();
    EXPECT_EQ(Command({"SETIDFACTOR", "20000"}), 0);
    EXPECT_EQ(GetMenuItemID(Popup(0), 0), 10002u) << "items keep the identifier they were given";
    EXPECT_EQ(Choose(10002), Names{}) << "the old identifier is now below the factor";
    EXPECT_EQ(Choose(20003), Names{"SaveMENU"}) << "the hook subtracts the current factor";
    Command({"SETIDFACTOR", "-1"});
    EXPECT_EQ(Choose(10002), Names{});
    EXPECT_EQ(Choose(65535), Names{});
}

TEST_F(MenuTest, HookReportsBeforeTheWindowsOwnProcedureAndPassesEverythingOn) {
    BuildFileMenu();
    EXPECT_EQ(SendMessageA(window, kUserMessage, 1, 2), kUserAnswer);
    EXPECT_EQ(SendMessageA(window, WM_COMMAND, 10002, 0), kCommandAnswer);
    EXPECT_EQ(events, Names{"OpenMENU"});
    ASSERT_EQ(ownLog.eventsAtCommand.size(), 1u);
    EXPECT_EQ(ownLog.eventsAtCommand[0], 1u) << "the callback runs before the window's own procedure";

    struct Case {
        WPARAM wParam;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {10000, {}},                               // equal to the factor
        {5, {}},                                   // a control of the host
        {10101, {}},                               // above factor + 100: no such number
        {65535, {}},
        {MAKEWPARAM(10003, 1), {"SaveMENU"}},      // accelerator: the notification code is ignored
        {MAKEWPARAM(10003, BN_CLICKED), {"SaveMENU"}},
        {10050, {""}},                             // a number in range never named: its empty entry
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wParam);
        ownLog.commandParams.clear();
        EXPECT_EQ(Choose(c.wParam), c.events);
        EXPECT_EQ(ownLog.commandParams, std::vector<WPARAM>{c.wParam}) << "every command is passed on unchanged";
    }
}

TEST_F(MenuTest, ChoicesPassWithoutCallbackWhenTheHostGaveNone) {
    Unload();
    Load();
    int args = 0, size = 0;
    ASSERT_STREQ(init(0, nullptr, WindowInitText().c_str(), &args, &size), "KX");
    BuildFileMenu();
    ownLog.commandParams.clear();
    EXPECT_EQ(SendMessageA(window, WM_COMMAND, 10002, 0), kCommandAnswer);
    EXPECT_EQ(ownLog.commandParams, std::vector<WPARAM>{10002});
}

// The library's procedure takes itself out at WM_DESTROY and at unload: the window's
// own procedure is back in place and gets every message, and choices make no events.
TEST_F(MenuTest, DestroyOrUnloadTakesTheHookOut) {
    enum Way { DestroyMessage, UnloadLibrary };
    for (Way way : {DestroyMessage, UnloadLibrary}) {
        SCOPED_TRACE(way == DestroyMessage ? "WM_DESTROY" : "unload");
        Reload(WindowInitText().c_str());
        BuildFileMenu();
        ASSERT_NE(WindowProc(), reinterpret_cast<LONG>(OwnWindowProc));
        ownLog.messages.clear();
        ownLog.destroyReachedUnhooked = false;
        if (way == DestroyMessage) {
            // Passed on after the previous procedure is back in place.
            SendMessageA(window, WM_DESTROY, 0, 0);
            EXPECT_EQ(ownLog.messages, std::vector<UINT>{WM_DESTROY});
            EXPECT_TRUE(ownLog.destroyReachedUnhooked);
        } else {
            Unload();
        }
        EXPECT_EQ(WindowProc(), reinterpret_cast<LONG>(OwnWindowProc));
        // After unload the library's code is gone: the window must not reach it.
        EXPECT_EQ(SendMessageA(window, kUserMessage, 0, 0), kUserAnswer);
        ownLog.commandParams.clear();
        EXPECT_EQ(Choose(10002), Names{});
        EXPECT_EQ(ownLog.commandParams, std::vector<WPARAM>{10002});
        PumpMessages();
    }
}

TEST_F(MenuTest, RealDestroyReachesTheOwnProcedureUnhooked) {
    ownLog.destroyReachedUnhooked = false;
    DestroyWindow(window);
    EXPECT_TRUE(ownLog.destroyReachedUnhooked);
    window = nullptr;
    Unload();  // the window is gone: unloading must not touch it
}

TEST_F(MenuTest, ProcedureInstalledOnTopIsLeftAloneAtDestroyAndUnload) {
    BuildFileMenu();
    procBelowOnTop = reinterpret_cast<WNDPROC>(SetWindowLongA(window, GWL_WNDPROC, reinterpret_cast<LONG>(OnTopProc)));

    // WM_DESTROY: ours is not on top, so it stays in the chain and keeps reporting.
    SendMessageA(window, WM_DESTROY, 0, 0);
    EXPECT_EQ(WindowProc(), reinterpret_cast<LONG>(OnTopProc));
    EXPECT_EQ(Choose(10002), Names{"OpenMENU"});

    Unload();
    EXPECT_EQ(WindowProc(), reinterpret_cast<LONG>(OnTopProc)) << "the later procedure is not cut out";
    // Messages still go through the whole chain to the window's own procedure,
    // without reaching the unloaded library.
    onTopCalls = 0;
    ownLog.commandParams.clear();
    EXPECT_EQ(SendMessageA(window, kUserMessage, 0, 0), kUserAnswer);
    EXPECT_EQ(Choose(10002), Names{});
    EXPECT_EQ(onTopCalls, 2);
    EXPECT_EQ(ownLog.commandParams, std::vector<WPARAM>{10002});

    // The later procedure takes itself out again; the window works on.
    SetWindowLongA(window, GWL_WNDPROC, reinterpret_cast<LONG>(procBelowOnTop));
    EXPECT_EQ(SendMessageA(window, kUserMessage, 0, 0), kUserAnswer);
    DestroyWindow(window);
    window = nullptr;
}
