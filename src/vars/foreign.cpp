// DLLFUNC: the per-call data, finding the bound function, turning the script's
// arguments into twenty words, and the call with its text or integer answer.
#include <string.h>
#include <windows.h>
#include <winternl.h>

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
// the keyword's length; reads at most that many characters of the text. Printable
// characters are settled here, as the whole comparison would settle them; from the
// first other one, the text's head goes to the whole comparison.
static bool BeginsWith(const char* text, const PrefixTest& test) {
    size_t n = 0;
    for (; n < test.length; ++n) {
        unsigned char c = text[n];
        if (c == 0) return false;
        if (!IsPlainChar(c)) break;
        if (FoldAscii(c) != static_cast<unsigned char>(test.keyword[n])) return false;
    }
    if (n == test.length) return true;
    char head[LongestPrefix + 1];
    n = 0;
    while (n < test.length && n < LongestPrefix && text[n]) {
        head[n] = text[n];
        ++n;
    }
    head[n] = '\0';
    return n == test.length && SameWord(head, test.keyword);
}

// Whether any prefix test could match a text beginning with `first`: every
// prefix begins with one of three letters, so any other plain character rules
// them all out.
static bool MayBeginAPrefix(unsigned char first) {
    if (first != 0 && !IsPlainChar(first)) return true;
    unsigned char letter = FoldAscii(first);
    return letter == 'H' || letter == 'I' || letter == 'S';
}

// Drops the first `count` characters of a text of `length`; answers the new length.
static size_t DropHead(char* text, size_t length, size_t count) {
    return CopyBounded(text, length - count + 1, text + count);
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
        // Only a dropped keyword changes the text; until then a first character that
        // begins no prefix stays so for every later test.
        if (!MayBeginAPrefix(text[0])) break;
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
    // Unrolled: a few stores each, cheaper than a loop or a call.
#pragma GCC unroll 20
    for (char* text : vars.callArgTexts) text[0] = '\0';
#pragma GCC unroll 20
    for (DWORD& word : vars.callArgWords) word = 0;
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

// After a stack overflow the system has spent the guard page at the stack's end to
// give the exception room; without a new one the next overflow runs off the end
// of the stack and the process dies. As the runtime's _resetstkoflw does, set a
// guard page just below the page in use; the system moves it down as the stack
// grows again, up to the same overflow at the end.
static void RestoreStackGuard() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const UINT_PTR page = system.dwPageSize;
    volatile char here = 0;  // a local: its page is in use
    MEMORY_BASIC_INFORMATION stack;
    if (!VirtualQuery(const_cast<char*>(&here), &stack, sizeof stack)) return;
    char* guard = reinterpret_cast<char*>((reinterpret_cast<UINT_PTR>(&here) & ~(page - 1)) - page);
    // The lowest pages stay as the system keeps them, for raising the overflow.
    if (guard < static_cast<char*>(stack.AllocationBase) + 2 * page) return;
    DWORD previous;
    if (VirtualAlloc(guard, page, MEM_COMMIT, PAGE_READWRITE))
        VirtualProtect(guard, page, PAGE_READWRITE | PAGE_GUARD, &previous);
}

// The system's error code for an exception code, mapped as the system maps it. The
// mapping lives in ntdll, which every process has loaded; looking it up keeps the
// library's imports to the four usual system libraries.
static DWORD ErrorCodeOfException(DWORD code) {
    typedef ULONG(WINAPI * MapFn)(NTSTATUS);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    FARPROC found = ntdll ? GetProcAddress(ntdll, "RtlNtStatusToDosError") : nullptr;
    MapFn map = reinterpret_cast<MapFn>(reinterpret_cast<void*>(found));
    return map ? map(static_cast<NTSTATUS>(code)) : ERROR_NOACCESS;
}

// The callee raised an exception it did not handle and the thunk took the call back:
// the answer is empty, the status says so until the next call, and the last error
// is the system's own code for the exception (an access violation gives
// ERROR_NOACCESS), for GETLASTERROR. DLLCALL answers its faults here too.
const char* AnswerFault(DWORD code) {
    if (code == EXCEPTION_STACK_OVERFLOW) RestoreStackGuard();
    g_state.host.statusCode = StatusForeignFault;
    g_state.host.resultBuffer[0] = '\0';  // a callee may have called back into the library
    SetLastError(ErrorCodeOfException(code));
    return g_state.host.resultBuffer;
}

// DLLFUNC name type args...: calls the bound function with twenty words and answers
// its result: "STR" the text at the returned address (empty for a null or unreadable
// address, cut to 4047 characters), "INT" the value in signed decimal. Any other
// type calls nothing and answers the empty text. A callee that faults answers the
// empty text with status 1003.
const char* ForeignCall() {
    VarsState& vars = g_state.vars;
    char* out = g_state.host.resultBuffer;
    CopyBounded(vars.callReturnType, CallReturnTypeBytes, Arg(2));
    // Only empty arguments pass 0: a "!CLIPBOARD!" that became the empty text keeps
    // the arguments after it, and past the block's end every argument is empty.
    for (int k = 0; k < CallWordCount; ++k) {
        const char* arg = Arg(FirstCallArg + k);
        if (*arg) ConvertArgument(k, CopyBounded(vars.callArgTexts[k], VarTextBytes, arg));
    }

    bool answersText = SameKeyword(vars.callReturnType, "STR");
    if (!answersText && !SameKeyword(vars.callReturnType, "INT")) return out;

    // A callee may call back into the library; the status its calls leave is theirs.
    int status = g_state.host.statusCode;
    ForeignFault fault = {0, FALSE, g_state.host.processorHasSse};
    DWORD result = ForeignCallWords(vars.callTarget->entry, vars.callArgWords, &fault);
    if (fault.raised) return AnswerFault(fault.code);
    g_state.host.statusCode = status;
    // The callee's last-error code is what GETLASTERROR reports next.
    DWORD lastError = GetLastError();
    if (answersText)
        CopyReadableText(out, MaxString, reinterpret_cast<const void*>(result));
    else
        AnswerLong(static_cast<long>(result));
    SetLastError(lastError);
    return out;
}
