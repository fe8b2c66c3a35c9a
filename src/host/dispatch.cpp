// Keyword dispatch: two tables walked top to bottom, first match decides. A keyword
// argument that begins with a printable character can only name rows whose keyword
// begins with the same letter, so the walk follows those rows alone, in table order.
#include "dispatch.h"

#include <iterator>

#include "handlers.h"
#include "state.h"
#include "text.h"

static const char kInvalidFunction[] = "Invalid Function";
constexpr int MaxSavePathLength = 260;

// Dispatch conditions, kept beside the rows they guard.
static bool SaveArgsUsable() {
    return *Arg(1) && *Arg(2) && lstrlenA(Arg(2)) <= MaxSavePathLength;
}
static bool OpenModeGiven() { return *Arg(3) != '\0'; }
static bool AsksMenuState() { return SameKeyword(Arg(1), "GETSTATE"); }
static bool PatternGiven() { return *Arg(2) != '\0'; }

struct CommandRow {
    const char* keyword;
    int (*handler)();
    bool (*condition)();  // null: always runs
    int answerWhenUnmet;  // what the command answers when the condition fails
};

static constexpr CommandRow kCommands[] = {
    {"DRAW", DrawCommand, nullptr, 0},
    {"SETIDFACTOR", MenuSetIdFactor, nullptr, 0},
    {"MENU", MenuCommand, nullptr, 0},
    {"SETSTR", VarSetString, nullptr, 0},
    {"SETINT", VarSetInteger, nullptr, 0},
    {"SETSTRUCT", StructSet, nullptr, 0},
    {"SAVEFILE", FileSaveListBox, SaveArgsUsable, -1},
    {"FILEOPEN", FileOpen, OpenModeGiven, 0},
    {"FILEWRITE", FileWrite, nullptr, 0},
    {"FILEREAD", FileReadCommand, nullptr, 0},
    {"FILECLOSE", FileClose, nullptr, 0},
    {"DLLLOAD", LibraryLoad, nullptr, 0},
    {"DLLINITFUNC", LibraryBindFunction, nullptr, 0},
    {"DLLUNLOAD", LibraryUnload, nullptr, 0},
    {"DLLDECLARE", TypedDeclare, nullptr, 0},
    {"DLLSTRUCT", StructDeclare, nullptr, 0},
    {"BUFNEW", BufferNew, nullptr, 0},
    {"BUFFREE", BufferFree, nullptr, 0},
    {"BUFSET", BufferSet, nullptr, 0},
    {"DLLCALLBACK", CallbackDeclare, nullptr, 0},
    {"DLLCALLBACKCLEAR", CallbackClear, nullptr, 0},
    {"COMCREATE", ComCreate, nullptr, 0},
    {"COMGET", ComGet, nullptr, 0},
    {"COMRELEASE", ComRelease, nullptr, 0},
    {"COMPROPSET", ComPropSet, nullptr, 0},
    {"COMENUM", ComEnum, nullptr, 0},
    {"COMEVENTS", ComEvents, nullptr, 0},
    {"DLLINTERFACE", InterfaceDeclare, nullptr, 0},
    {"COMQUERY", ComQuery, nullptr, 0},
    {"COMADOPT", ComAdopt, nullptr, 0},
    {nullptr, nullptr, nullptr, 0},
};

struct FunctionRow {
    const char* keyword;
    const char* (*handler)();
    bool (*condition)();  // null: always runs; unmet: testing goes on
};

static constexpr FunctionRow kFunctions[] = {
    {"DLLCALL", TypedCall, nullptr},
    {"DLLFUNC", ForeignCall, ForeignFunctionBound},
    {"MENU", MenuGetState, AsksMenuState},
    {"STRUCTLIST", StructList, nullptr},
    {"GETSTRATADDR", VarStringAtAddress, nullptr},
    {"GETSTR", VarGetString, nullptr},
    {"GETINT", VarGetInteger, nullptr},
    {"GETSTRUCT", StructGet, nullptr},
    {"GETLASTERROR", LastErrorText, nullptr},
    {"FILEREADBUFSIZE", FileReadBufferSize, nullptr},
    {"FILEREAD", FileReadFunction, nullptr},
    {"FILEGETPOS", FileGetPosition, nullptr},
    {"FILESETPOS", FileSetPosition, nullptr},
    {"FILEGETSIZE", FileGetSize, nullptr},
    {"FILESEARCHTEXT", FileSearchText, PatternGiven},
    {"FILESEARCHHEX", FileSearchHex, PatternGiven},
    {"GETPIXEL", PixelColour, nullptr},
    {"MOUSEDOWN", MouseButtons, nullptr},
    {"DLLOUT", TypedOut, nullptr},
    {"DLLERROR", TypedError, nullptr},
    {"BUFGET", BufferGet, nullptr},
    {"BUFSIZE", BufferSize, nullptr},
    {"DLLCALLBACKADDR", CallbackAddress, nullptr},
    {"DLLCALLBACKNEXT", CallbackNext, nullptr},
    {"DLLCALLBACKCOUNT", CallbackCountRows, nullptr},
    {"DLLCONST", ConstantQuery, nullptr},
    {"COMCOUNT", ComCount, nullptr},
    {"COMPROP", ComProp, nullptr},
    {"COMINVOKE", ComInvoke, nullptr},
    {"COMNEXT", ComNext, nullptr},
    {"COMEVENTNEXT", ComEventNext, nullptr},
    {"COMCALL", ComCall, nullptr},
    {nullptr, nullptr, nullptr},
};

// Each table's rows chained by the first letter of their keyword, in table order,
// worked out by the compiler. The last row (no keyword) ends every chain.
template <size_t Rows>
struct LetterChains {
    unsigned char first[128];   // first row of each character (upper case)
    unsigned char next[Rows];   // next row with the same first letter
};

template <class Row, size_t Rows>
constexpr LetterChains<Rows> ChainByLetter(const Row (&rows)[Rows]) {
    static_assert(Rows < 256, "rows are numbered in bytes");
    LetterChains<Rows> chains{};
    for (unsigned char& row : chains.first) row = Rows - 1;
    for (size_t r = Rows - 1; r-- > 0;) {
        unsigned char letter = static_cast<unsigned char>(rows[r].keyword[0]);
        chains.next[r] = chains.first[letter];
        chains.first[letter] = static_cast<unsigned char>(r);
    }
    return chains;
}

static constexpr auto kCommandChains = ChainByLetter(kCommands);
static constexpr auto kFunctionChains = ChainByLetter(kFunctions);

// The rows a keyword argument may name, one after another: with a printable (or no)
// first character, that letter's chain; with any other, which the system may weigh
// in ways of its own, every row.
template <size_t Rows>
struct RowWalk {
    const LetterChains<Rows>& chains;
    const char* word;
    bool chained;

    RowWalk(const LetterChains<Rows>& c, const char* w)
        : chains(c), word(w), chained(w[0] == 0 || IsPlainChar(w[0])) {}
    size_t First() const { return chained ? chains.first[FoldAscii(word[0])] : 0; }
    size_t Next(size_t row) const { return chained ? chains.next[row] : row + 1; }
};

int DispatchCommand() {
    RowWalk<std::size(kCommands)> walk(kCommandChains, Arg(0));
    for (size_t r = walk.First(); kCommands[r].keyword; r = walk.Next(r)) {
        const CommandRow* row = &kCommands[r];
        if (!SameKeyword(walk.word, row->keyword)) continue;
        if (row->condition && !row->condition())
            return row->answerWhenUnmet < 0 ? -1 : g_state.host.statusCode;
        return row->handler() < 0 ? -1 : g_state.host.statusCode;
    }
    return g_state.host.statusCode;
}

const char* DispatchFunction() {
    RowWalk<std::size(kFunctions)> walk(kFunctionChains, Arg(0));
    for (size_t r = walk.First(); kFunctions[r].keyword; r = walk.Next(r)) {
        const FunctionRow* row = &kFunctions[r];
        if (!SameKeyword(walk.word, row->keyword)) continue;
        if (row->condition && !row->condition()) continue;
        const char* answer = row->handler();
        return answer ? answer : kInvalidFunction;
    }
    return kInvalidFunction;
}

const char* LastErrorText() {
    DWORD code = GetLastError();
    char* systemText = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&systemText), 0, nullptr);
    if (length && systemText) AnswerText(systemText);
    if (systemText) LocalFree(systemText);
    SetLastError(0);
    return g_state.host.resultBuffer;
}
