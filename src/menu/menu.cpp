// Menu commands: the bar on the host window, popups nested in it, items and
// separator bars, item states by position, and the base of the command identifiers.
#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"

static const char kEventSuffix[] = "MENU";
static const char kBothStates[] = "1.1";

// The state words GETSTATE recognises; any other word (more flags, or -1 for a
// position without an item) reads as neither checked nor grayed.
constexpr UINT StateGrayed = MF_GRAYED;
constexpr UINT StateChecked = MF_CHECKED;
constexpr UINT StateCheckedGrayed = MF_CHECKED | MF_GRAYED;

// A menu number read from text, or 0 when it lies outside 1..MenuCount.
static int MenuNumber(const char* text) {
    long n = ReadLong(text);
    return n >= 1 && n <= MenuCount ? static_cast<int>(n) : 0;
}

// The popup slot of a menu number given as text, or null when out of range.
static HMENU* PopupSlot(const char* text) {
    int n = MenuNumber(text);
    return n ? &g_state.menu.menuHandles[n] : nullptr;
}

// Rewrites the caption in place as its event name: every "&" left out and "MENU"
// appended. The caption part is cut so the suffix always fits in the slot.
static void MakeEventName(char* name) {
    constexpr int SuffixLength = sizeof(kEventSuffix) - 1;
    int kept = 0;
    for (const char* p = name; *p; ++p)
        if (*p != '&' && kept < MenuNameBytes - 1 - SuffixLength) name[kept++] = *p;
    CopyBounded(name + kept, MenuNameBytes - kept, kEventSuffix);
}

static void RedrawBar() { DrawMenuBar(g_state.host.hostWindow); }

// The bar is made and attached on the first popup, wherever that popup goes.
static HMENU MenuBarMade() {
    MenuState& menu = g_state.menu;
    if (!menu.menuBar) {
        menu.menuBar = CreateMenu();
        SetMenu(g_state.host.hostWindow, menu.menuBar);
    }
    return menu.menuBar;
}

// CREATE n MENU caption parent: a new popup under number n, on the bar when the
// parent is exactly "0", otherwise nested in popup `parent`. An earlier popup under n
// stays where it was attached. A number or parent out of range changes nothing.
// The parent is the popup its number named before this command, so a popup is never
// appended to itself: with parent n it goes into the earlier popup n, or nowhere.
static void CreatePopup(const char* caption, const char* parent) {
    int n = MenuNumber(Arg(2));
    bool onBar = lstrcmpA(parent, "0") == 0;
    HMENU* parentSlot = onBar ? nullptr : PopupSlot(parent);
    if (!n || (!onBar && !parentSlot)) return;

    MenuState& menu = g_state.menu;
    HMENU bar = MenuBarMade();
    HMENU parentMenu = onBar ? bar : *parentSlot;  // taken before n names the new popup
    HMENU popup = CreatePopupMenu();
    menu.menuHandles[n] = popup;
    char* name = menu.menuNames[n];
    CopyBounded(name, MenuNameBytes, caption);
    AppendMenuA(parentMenu, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), name);
    RedrawBar();
    MakeEventName(name);
}

// CREATE n ITEM caption parent: a text item with identifier n + IdFactor appended to
// popup `parent`. A number or parent out of range changes nothing.
static void CreateItem(const char* caption, const char* parent) {
    int n = MenuNumber(Arg(2));
    HMENU* parentSlot = PopupSlot(parent);
    if (!n || !parentSlot) return;

    UINT commandId = static_cast<UINT>(n + g_state.menu.idFactor);
    char* name = g_state.menu.menuNames[n];
    CopyBounded(name, MenuNameBytes, caption);
    AppendMenuA(*parentSlot, MF_STRING, commandId, name);
    RedrawBar();
    MakeEventName(name);
}

// CREATE n BAR caption parent: a separator appended to popup `parent`; the number
// and caption are not used. A parent out of range changes nothing.
static void CreateSeparator(const char* parent) {
    HMENU* parentSlot = PopupSlot(parent);
    if (!parentSlot) return;
    AppendMenuA(*parentSlot, MF_SEPARATOR, 0, nullptr);
    RedrawBar();
}

// CREATE n with any other kind: only the event name is stored, nothing is appended.
static void StoreNameOnly(const char* caption) {
    int n = MenuNumber(Arg(2));
    if (!n) return;
    char* name = g_state.menu.menuNames[n];
    CopyBounded(name, MenuNameBytes, caption);
    MakeEventName(name);
}

static void MenuCreate() {
    const char* kind = Arg(3);
    const char* caption = Arg(4);
    const char* parent = Arg(5);
    if (SameWord(kind, "MENU"))
        CreatePopup(caption, parent);
    else if (SameWord(kind, "ITEM"))
        CreateItem(caption, parent);
    else if (SameWord(kind, "BAR"))
        CreateSeparator(parent);
    else
        StoreNameOnly(caption);
}

// The sub-words that act on one position of a popup; none of them redraws the bar.
enum class PositionAction { Check, Enable, Remove };

struct PositionRow {
    const char* word;
    PositionAction action;
    UINT flags;
};

static const PositionRow kPositionRows[] = {
    {"CHECK", PositionAction::Check, MF_BYPOSITION | MF_CHECKED},
    {"UNCHECK", PositionAction::Check, MF_BYPOSITION | MF_UNCHECKED},
    {"DISABLE", PositionAction::Enable, MF_BYPOSITION | MF_GRAYED},
    {"ENABLE", PositionAction::Enable, MF_BYPOSITION | MF_ENABLED},
    {"REMOVE", PositionAction::Remove, MF_BYPOSITION},
    {nullptr, PositionAction::Check, 0},
};

// MENU word n position: a popup number out of range, a popup never made or a
// position without an item changes nothing.
static void MenuAtPosition(const PositionRow& row) {
    HMENU* popup = PopupSlot(Arg(2));
    if (!popup) return;
    UINT position = static_cast<UINT>(ReadLong(Arg(3)));
    switch (row.action) {
        case PositionAction::Check: CheckMenuItem(*popup, position, row.flags); break;
        case PositionAction::Enable: EnableMenuItem(*popup, position, row.flags); break;
        case PositionAction::Remove: DeleteMenu(*popup, position, row.flags); break;
    }
}

// MENU sub-word ...: always answers 0; an unknown sub-word does nothing.
int MenuCommand() {
    const char* word = Arg(1);
    if (SameWord(word, "CREATE")) {
        MenuCreate();
        return 0;
    }
    for (const PositionRow* row = kPositionRows; row->word; ++row) {
        if (!SameWord(word, row->word)) continue;
        MenuAtPosition(*row);
        break;
    }
    return 0;
}

// SETIDFACTOR value: the base of identifiers of items made from now on, and the
// base the window hook subtracts. Always answers 0.
int MenuSetIdFactor() {
    g_state.menu.idFactor = static_cast<int>(ReadLong(Arg(1)));
    return 0;
}

// MENU GETSTATE n position: "checked.grayed" as two digits, "0.0" for a number out
// of range, a popup never made, a position without an item or any other state word.
const char* MenuGetState() {
    char* answer = AnswerText("0.0");
    HMENU* popup = PopupSlot(Arg(2));
    if (!popup) return answer;
    UINT state = GetMenuState(*popup, static_cast<UINT>(ReadLong(Arg(3))), MF_BYPOSITION);
    if (state == StateGrayed) answer[2] = '1';
    if (state == StateChecked) answer[0] = '1';
    if (state == StateCheckedGrayed) return kBothStates;
    return answer;
}
