// Keyword dispatch: two tables walked top to bottom, first match decides.
#include "dispatch.h"

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
static bool AsksMenuState() { return SameWord(Arg(1), "GETSTATE"); }
static bool PatternGiven() { return *Arg(2) != '\0'; }

struct CommandRow {
    const char* keyword;
    int (*handler)();
    bool (*condition)();  // null: always runs
    int answerWhenUnmet;  // what the command answers when the condition fails
};

static const CommandRow kCommands[] = {
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
    {nullptr, nullptr, nullptr, 0},
};

struct FunctionRow {
    const char* keyword;
    const char* (*handler)();
    bool (*condition)();  // null: always runs; unmet: testing goes on
};

static const FunctionRow kFunctions[] = {
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
    {nullptr, nullptr, nullptr},
};

// Whether the keyword argument names a row's keyword. A plain first character that
// differs from the keyword's settles it without the whole comparison.
static bool NamesKeyword(const char* text, const char* keyword) {
    unsigned char first = text[0];
    if ((first == 0 || IsPlainChar(first)) && FoldAscii(first) != static_cast<unsigned char>(keyword[0]))
        return false;
    return SameWord(text, keyword);
}

int DispatchCommand() {
    const char* word = Arg(0);
    for (const CommandRow* row = kCommands; row->keyword; ++row) {
        if (!NamesKeyword(word, row->keyword)) continue;
        if (row->condition && !row->condition())
            return row->answerWhenUnmet < 0 ? -1 : g_state.host.statusCode;
        return row->handler() < 0 ? -1 : g_state.host.statusCode;
    }
    return g_state.host.statusCode;
}

const char* DispatchFunction() {
    const char* word = Arg(0);
    for (const FunctionRow* row = kFunctions; row->keyword; ++row) {
        if (!NamesKeyword(word, row->keyword)) continue;
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
