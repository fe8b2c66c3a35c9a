// DLLFUNC: the per-call data, finding the bound function, turning the script's
// arguments into twenty words, and the call with its text or integer answer.
#include <string.h>

#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "vars.h"

constexpr int FirstCallArg = 3;  // Args[3..22] are the call arguments 0..19
constexpr int LongestPrefix = 9;

// What a matching prefix test passes at the argument's position k.
enum class Passes {
    Number,         // the rest of the text, read as atol
    HandleNumber,   // as Number, after dropping one leading "%"
    TextAddress,    // the address of the argument's own text (the rest after the prefix)
    IntValue,       // integer slot k's value
    IntAddress,     // integer slot k's address
    StringAddress,  // string slot k's address
    SizeAddress,    // the address of the size value (4024 at the start of each call)
    StructAddress,  // structure slot k's address
};

struct PrefixTest {
    const char* keyword;
    size_t length;
    bool removesKeyword;  // later tests see the text without it
    Passes passes;
};

// Run in this order on every argument, each on its own: a later match overwrites the
// word an earlier one set, and the first three change the text the later ones see.
static const PrefixTest kPrefixTests[] = {
    {"HANDLE:", 7, true, Passes::HandleNumber},
    {"INT:", 4, true, Passes::Number},
    {"STR:", 4, true, Passes::TextAddress},
    {"INTBUF", 6, false, Passes::IntValue},
    {"INTADDR", 7, false, Passes::IntAddress},
    {"STRBUF", 6, false, Passes::StringAddress},
    {"STRADDR", 7, false, Passes::StringAddress},
    {"STRSIZE", 7, false, Passes::SizeAddress},
    {"INTSTRUCT", 9, false, Passes::StructAddress},
    {"STRSTRUCT", 9, false, Passes::StructAddress},
};

// The text begins with the keyword, compared without regard to case over exactly
// the keyword's length; reads at most that many characters of the text.
static bool BeginsWith(const char* text, const PrefixTest& test) {
    // A printable ASCII first character settles most mismatches at once; any other
    // goes the whole way through the system's comparison.
    unsigned char first = text[0];
    if (first >= 0x20 && first < 0x7F && (first & ~0x20) != test.keyword[0]) return false;
    char head[LongestPrefix + 1];
    size_t n = 0;
    while (n < test.length && text[n]) {
        head[n] = text[n];
        ++n;
    }
    head[n] = '\0';
    return n == test.length && SameWord(head, test.keyword);
}

// Drops the first `count` characters of a text of `length`; answers the new length.
static size_t DropHead(char* text, size_t length, size_t count) {
    memmove(text, text + count, length - count + 1);
    return length - count;
}

static DWORD WordFor(Passes passes, int k, const char* text) {
    VarsState& vars = g_state.vars;
    switch (passes) {
    case Passes::Number:
    case Passes::HandleNumber: return static_cast<DWORD>(ReadLong(text));
    case Passes::TextAddress: return reinterpret_cast<DWORD>(vars.callArgTexts[k]);
    case Passes::IntValue: return static_cast<DWORD>(vars.intSlots[k]);
    case Passes::IntAddress: return reinterpret_cast<DWORD>(&vars.intSlots[k]);
    case Passes::StringAddress: return reinterpret_cast<DWORD>(vars.stringSlots[k]);
    case Passes::SizeAddress: return reinterpret_cast<DWORD>(&vars.callSizeValue);
    case Passes::StructAddress: return reinterpret_cast<DWORD>(&vars.structSlots[k]);
    }
    return 0;
}

// Runs the ten tests on argument k's text (of `length`); the costs are bounded by the
// text's length, not by the field's size.
static void ConvertArgument(int k, size_t length) {
    char* text = g_state.vars.callArgTexts[k];
    for (const PrefixTest& test : kPrefixTests) {
        if (!BeginsWith(text, test)) continue;
        if (test.removesKeyword) length = DropHead(text, length, test.length);
        if (test.passes == Passes::HandleNumber && text[0] == '%') length = DropHead(text, length, 1);
        g_state.vars.callArgWords[k] = WordFor(test.passes, k, text);
    }
}

// Empties the call data at the start of every function call: first bytes and the
// twenty words only, so the cost does not grow with the fields.
void CallDataReset() {
    VarsState& vars = g_state.vars;
    for (char* text : vars.callArgTexts) text[0] = '\0';
    memset(vars.callArgWords, 0, sizeof vars.callArgWords);
    vars.callReturnType[0] = '\0';
    vars.callSizeValue = CallSizeInitial;
    vars.callTarget = nullptr;
}

// Dispatch condition of DLLFUNC: the first entry, by number, bound under the name
// in Args[1] (case ignored) and still holding an address.
bool ForeignFunctionBound() {
    for (FunctionSlot& function : g_state.vars.functionSlots) {
        if (function.entry && SameWord(Arg(1), function.name)) {
            g_state.vars.callTarget = &function;
            return true;
        }
    }
    return false;
}

// DLLFUNC name type args...: calls the bound function with twenty words and answers
// its result: "STR" the text at the returned address (empty for a null or unreadable
// address, cut to 4047 characters), "INT" the value in signed decimal. Any other
// type calls nothing and answers the empty text.
const char* ForeignCall() {
    VarsState& vars = g_state.vars;
    char* out = g_state.host.resultBuffer;
    CopyBounded(vars.callReturnType, CallReturnTypeBytes, Arg(2));
    // The first empty argument ends the arguments: the positions after it pass 0.
    for (int k = 0; k < CallWordCount && *Arg(FirstCallArg + k); ++k)
        ConvertArgument(k, CopyBounded(vars.callArgTexts[k], VarTextBytes, Arg(FirstCallArg + k)));

    bool answersText = SameWord(vars.callReturnType, "STR");
    if (!answersText && !SameWord(vars.callReturnType, "INT")) return out;

    DWORD result = ForeignCallWords(vars.callTarget->entry, vars.callArgWords);
    // The callee's last-error code is what GETLASTERROR reports next.
    DWORD lastError = GetLastError();
    if (answersText)
        CopyReadableText(out, MaxString, reinterpret_cast<const void*>(result));
    else
        AnswerLong(static_cast<long>(result));
    SetLastError(lastError);
    return out;
}
