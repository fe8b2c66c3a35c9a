// DLLDECLARE, DLLCALL, DLLOUT and DLLERROR: binding a prototype to an export, the
// call itself with the checks of what the callee did, and reading back what it wrote.
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "../vars/vars.h"
#include "calls.h"

constexpr int FirstCallArg = 2;  // DLLCALL f arg...: Args[2] is the first parameter

// The thunk reads and writes the outcome by these offsets (call_x86.S).
static_assert(offsetof(TypedOutcome, code) == offsetof(ForeignFault, code), "");
static_assert(offsetof(TypedOutcome, raised) == offsetof(ForeignFault, raised), "");
static_assert(offsetof(TypedOutcome, hasSse) == offsetof(ForeignFault, hasSse), "");
static_assert(offsetof(TypedOutcome, eax) == 12 && offsetof(TypedOutcome, st0Loaded) == 20 &&
                  offsetof(TypedOutcome, st0) == 24 && offsetof(TypedOutcome, espBefore) == 36 &&
                  offsetof(TypedOutcome, removed) == 40, "");

static TypedFunction* TypedFunctionAt(long number) {
    if (number < 1 || number > TypedFunctionCount) return nullptr;
    return &g_state.calls.functions[number - 1];
}


// Whether a library is a C runtime, whose functions are __cdecl unless their prototype
// says otherwise (Windows' own functions are __stdcall).
static bool IsCRuntime(HMODULE library) {
    char path[MAX_PATH];
    DWORD lastError = GetLastError();
    DWORD n = GetModuleFileNameA(library, path, MAX_PATH);
    SetLastError(lastError);
    if (n == 0 || n >= MAX_PATH) return false;
    const char* name = path + n;
    while (name > path && name[-1] != '\\' && name[-1] != '/') --name;
    return _stricmp(name, "msvcrt.dll") == 0 || _stricmp(name, "ucrtbase.dll") == 0 ||
           _strnicmp(name, "api-ms-win-crt-", 15) == 0;
}

// DLLDECLARE n lib prototype: binds typed-function n to the export the prototype names
// in the library held under lib (the A export for a generic name). A refusal leaves
// the entry as it was and answers -1, with the reason in DLLERROR; no box is shown.
int TypedDeclare() {
    CallErrorClear();
    TypedFunction* function = TypedFunctionAt(ReadDigits(Arg(1)));
    if (!function) return CallFail("typed-function number '%.20s' is not 1 to %d", Arg(1), TypedFunctionCount), -1;
    if (g_state.calls.depth) return CallFail("DLLDECLARE while a DLLCALL is running"), -1;
    long libraryNumber = ReadLong(Arg(2));
    HMODULE library = LibraryHandleAt(libraryNumber);
    if (!library) return CallFail("library %.20s holds nothing (load it with DLLLOAD)", Arg(2)), -1;
    char* text = g_state.calls.declaration;
    if (!JoinArguments(3, text, DeclarationBytes))
        return CallFail("the prototype is longer than %d characters", DeclarationBytes - 1), -1;
    if (!*text) return CallFail("no prototype given"), -1;
    Prototype& parsed = g_state.calls.parsed;
    if (!ParsePrototype(text, &parsed, IsCRuntime(library))) return -1;

    DWORD lastError = GetLastError();
    FARPROC entry = GetProcAddress(library, parsed.name);
    if (!entry) {
        char generic[ExportNameBytes + 1];
        snprintf(generic, sizeof generic, "%sA", parsed.name);
        entry = GetProcAddress(library, generic);
    }
    SetLastError(lastError);
    if (!entry) return CallFail("no export %s in library %ld", parsed.name, libraryNumber), -1;
    if (g_state.calls.lastCalled == function - g_state.calls.functions + 1) g_state.calls.lastCalled = 0;
    function->proto = parsed;
    function->entry = entry;
    function->library = library;
    function->libraryNumber = libraryNumber;
    function->declared = true;
    return 0;
}

void TypedFunctionsForget(HMODULE library, int libraryNumber) {
    for (TypedFunction& function : g_state.calls.functions)
        if (function.entry && function.library == library && function.libraryNumber == libraryNumber)
            function.entry = nullptr;
}

// The function f names: its number, or the first bound one declared under the name.
static int FindTypedFunction(const char* f) {
    long number = ReadDigits(f);
    if (TypedFunctionAt(number)) return number - 1;
    for (int i = 0; i < TypedFunctionCount; ++i) {
        const TypedFunction& function = g_state.calls.functions[i];
        if (function.entry && SameWord(f, function.proto.name)) return i;
    }
    // None bound: one released by DLLUNLOAD still tells why.
    for (int i = 0; i < TypedFunctionCount; ++i)
        if (g_state.calls.functions[i].declared && SameWord(f, g_state.calls.functions[i].proto.name)) return i;
    return -1;
}

// Frees the out-buffers of the previous call.
static void ReleaseOutBlocks() {
    CallsState& calls = g_state.calls;
    for (int i = 0; i < TypedParamMax; ++i) {
        free(calls.outBlocks[i]);
        calls.outBlocks[i] = nullptr;
        calls.outBytes[i] = 0;
    }
    calls.outBlocksHeld = false;
}

void TypedCallsReleaseAtUnload() {
    ReleaseOutBlocks();
    StructsReleaseAtUnload();
    for (Buffer& buffer : g_state.calls.buffers) {
        free(buffer.data);
        buffer.data = nullptr;
    }
}

// Elements (or bytes) the count parameter of a buffer holds, read as unsigned (a
// negative count is a huge one to the callee), or false when it holds no count the
// library can read: passed by value, in the library's storage, or in a reference
// (copied into the storage before the call and again after it, so that DLLOUT reads
// what the callee left there).
static bool CountValue(const Prototype& proto, const TypedParam& param, DWORD* count) {
    if (param.countParam < 0) return false;
    const TypedParam& counter = proto.params[param.countParam];
    CallsState& calls = g_state.calls;
    unsigned char kind = calls.argKind[param.countParam];
    if (counter.pass == Pass::Int32) {
        *count = calls.words[counter.wordOffset];
    } else if (kind == ArgStorage || kind == ArgReference) {
        *count = calls.storage[param.countParam].words[0];
    } else {
        return false;
    }
    if (counter.type.base == Base::I16 || counter.type.base == Base::U16) *count &= 0xFFFF;
    return true;
}

// Bytes a buffer parameter's count says (at most 0xFFFFFFFF), or false for none.
static bool CountBytes(const Prototype& proto, const TypedParam& param, DWORD* bytes) {
    DWORD count;
    if (!CountValue(proto, param, &count)) return false;
    ULONGLONG total = (param.flags & CountInBytes) ? count : static_cast<ULONGLONG>(count) * param.elementBytes;
    *bytes = total > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<DWORD>(total);
    return true;
}

// Makes the out-buffers asked for with OUT (sized by the count parameter) or OUT:n,
// and checks that a buffer the script gave (BUF:b, a slot, a text, a value in the
// library's storage) holds what its count tells the callee.
static bool MakeOutBlocks(const Prototype& proto) {
    CallsState& calls = g_state.calls;
    for (int i = 0; i < proto.paramCount; ++i) {
        const TypedParam& param = proto.params[i];
        DWORD counted = 0;
        bool hasCount = CountBytes(proto, param, &counted);
        unsigned char kind = calls.argKind[i];
        if (kind != ArgOutPending) {
            if (!hasCount) continue;  // the common case, and a cheap one
            DWORD address = 0, bytes = 0;
            const char* holder = Arg(FirstCallArg + i);
            bool known = true;
            if (kind == ArgText) bytes = CallTextBytes, holder = "the text's storage";
            else if (kind == ArgStorage || kind == ArgVariant || kind == ArgBstrOut || kind == ArgObjectOut)
                bytes = param.elementBytes, holder = "the value";  // one, in the library's storage
            else known = kind == ArgReference && ReadReference(Arg(FirstCallArg + i), &address, &bytes) > 0;
            if (known && counted > bytes)
                return CallFailValue("parameter %d (%s): %s holds %lu bytes, %s says %lu", i + 1, param.name, holder,
                                     bytes, proto.params[param.countParam].name, counted);
            continue;
        }
        DWORD bytes = calls.outBytes[i];
        if (bytes == 0) {
            if (!hasCount)
                return CallFailValue("parameter %d (%s): no count parameter beside it says how large; pass OUT:n",
                                     i + 1, param.name);
            bytes = counted;
        } else if (bytes != 0xFFFFFFFF) {  // OUT:n counts elements
            ULONGLONG total = static_cast<ULONGLONG>(bytes) * param.elementBytes;
            bytes = total <= OutBufferMaxBytes ? static_cast<DWORD>(total) : 0xFFFFFFFF;
        }
        if (bytes > OutBufferMaxBytes)
            return CallFailValue("parameter %d (%s): an out-buffer of 1 to %lu bytes, not %s", i + 1, param.name,
                                 OutBufferMaxBytes, Arg(FirstCallArg + i));
        if (hasCount && counted > bytes)
            return CallFailValue("parameter %d (%s): %.40s is smaller than %s says", i + 1, param.name,
                                 Arg(FirstCallArg + i), proto.params[param.countParam].name);
        // Two zero bytes past the end: a text the callee fills to the brim still ends.
        calls.outBlocks[i] = static_cast<BYTE*>(calloc(bytes + 2, 1));
        if (!calls.outBlocks[i]) return CallFailValue("parameter %d (%s): no memory for %lu bytes", i + 1, param.name, bytes);
        calls.outBytes[i] = bytes;
        calls.outBlocksHeld = true;
        calls.argKind[i] = ArgOutBlock;
        calls.words[param.wordOffset] = reinterpret_cast<DWORD>(calls.outBlocks[i]);
    }
    return true;
}

// The arguments given: up to the last one that is not empty (an empty one inside,
// from an empty clipboard, is the empty text). Past the block's end all are empty.
static int GivenArguments() {
    int last = g_state.host.argCount - 1;
    while (last >= FirstCallArg && !*Arg(last)) --last;
    return last < FirstCallArg ? 0 : last - FirstCallArg + 1;
}

// Parameters before `first` are the caller's (an interface method's This).
static bool PrepareWords(const Prototype& proto, int first) {
    int given = GivenArguments();
    if (given != proto.paramCount)
        return CallFailValue("%s takes %d parameters, %d arguments given", proto.name, proto.paramCount - first,
                             given - first);
    for (int i = first; i < proto.paramCount; ++i)
        if (!proto.params[i].convert(i, Arg(FirstCallArg + i))) return false;
    CopyReferencedValues(proto);
    return MakeOutBlocks(proto);
}

// Status 1004 and its reason when the callee did not keep to the prototype.
static void CheckOutcome(const Prototype& proto, const TypedOutcome& outcome) {
    const char* kind = proto.isCdecl ? "__cdecl" : "__stdcall";
    bool real = proto.resultKind == ResultKind::Float || proto.resultKind == ResultKind::Double;
    if (outcome.removed != proto.stackBytes) {
        g_state.host.statusCode = StatusStackMismatch;
        CallFail("%s removed %ld bytes from the stack, its %s prototype declares %lu: check the parameters "
                 "(64-bit integers and doubles take 8 bytes) and the calling convention (__stdcall or __cdecl)",
                 proto.name, static_cast<long>(outcome.removed), kind, proto.stackBytes);
    } else if (outcome.st0Loaded && !real) {
        g_state.host.statusCode = StatusStackMismatch;
        CallFail("%s left a floating-point value on the x87 stack (popped): check whether its result is float "
                 "or double", proto.name);
    } else if (!outcome.st0Loaded && real) {
        g_state.host.statusCode = StatusStackMismatch;
        CallFail("%s is declared %s but left no floating-point value: check the result type", proto.name,
                 proto.result.name);
    }
}

static const char* AnswerResult(const Prototype& proto, const TypedOutcome& outcome) {
    char* out = g_state.host.resultBuffer;
    DWORD value[2] = {outcome.eax, outcome.edx};
    TypeRef type = proto.result;
    switch (proto.resultKind) {
    case ResultKind::Void: out[0] = '\0'; break;
    case ResultKind::AnsiText: CopyReadableText(out, MaxString, reinterpret_cast<const void*>(outcome.eax)); break;
    case ResultKind::WideText: CopyReadableWide(out, MaxString, reinterpret_cast<const void*>(outcome.eax)); break;
    case ResultKind::Float: case ResultKind::Double: {
        // A value no double holds (1e400) becomes inf here, under the library's
        // control word, not an exception under the callee's.
        WORD fpu = QuietFpuBegin();
        bool single = proto.resultKind == ResultKind::Float;
        double real = single ? static_cast<float>(outcome.st0) : static_cast<double>(outcome.st0);
        FormatReal(real, single, out);
        QuietFpuEnd(fpu);
        break;
    }
    case ResultKind::Unsigned:
        if (type.pointers) type.base = Base::U32, type.pointers = 0;
        FormatScalar(type, value, out);
        break;
    default: FormatScalar(type, value, out); break;
    }
    return out;
}

// Prepares the words (parameter i from Args[2 + i], from parameter `first` on; the
// ones before are `self`, an interface method's This), calls entry (for a method,
// entry `method` of self's method table, read under the call's fault handler),
// checks what the callee did and answers the result. `number` is what DLLOUT reads
// back from: a typed function's number, or -1 for the method in calls.current.
static const char* CallPrepared(const Prototype& proto, FARPROC entry, int method, int first, DWORD self,
                                int number) {
    CallsState& calls = g_state.calls;
    if (calls.outBlocksHeld) ReleaseOutBlocks();
    calls.lastCalled = 0;
    calls.current = &proto;
    calls.finishPending = false;
    for (int i = 0; i < first; ++i) calls.words[proto.params[i].wordOffset] = self, calls.argKind[i] = ArgNone;
    if (!PrepareWords(proto, first)) {
        FinishComArguments(proto, false, true);
        return "";
    }

    TypedOutcome& outcome = calls.outcome;
    memset(&outcome, 0, sizeof outcome);
    outcome.hasSse = g_state.host.processorHasSse;
    // A callee may call back into the library; the status its calls leave is theirs.
    // (Preparing the words calls nothing that sets the last error: the script's
    // reaches the callee.)
    int status = g_state.host.statusCode;
    calls.depth = 1;
    if (method >= 0) {
        calls.intoObject = true;
        ForeignCallTypedMethod(static_cast<DWORD>(method), calls.words, &outcome, proto.wordCount);
        calls.intoObject = false;
    } else {
        ForeignCallTyped(entry, calls.words, &outcome, proto.wordCount);
    }
    calls.depth = 0;
    CopyReferencedValues(proto);
    g_state.host.statusCode = status;
    CallErrorClear();  // what calls back in left there is not this call's
    calls.lastCalled = number;
    if (outcome.raised) {
        char code[CallErrorBytes / 2];
        DescribeCode(outcome.code, CodeKind::Exception, code, sizeof code);
        CallFail("%s raised exception %s", proto.name, code);
        FinishComArguments(proto, false, false);
        return AnswerFault(outcome.code);
    }
    // The callee's last error is what GETLASTERROR reports next. Reading a text
    // result queries memory, which may set it; numbers are answered without a call.
    bool text = proto.resultKind == ResultKind::AnsiText || proto.resultKind == ResultKind::WideText;
    DWORD lastError = text || calls.finishPending ? GetLastError() : 0;
    CheckOutcome(proto, outcome);
    AnswerResult(proto, outcome);
    if (proto.resultKind == ResultKind::Hex32 && !calls.error[0]) NoteFailedCode(proto, outcome.eax);
    if (calls.finishPending) {
        // What the callee handed over is taken only when it kept to its prototype
        // and did not answer a failing HRESULT.
        bool failed = IsHresult(proto.result) && FAILED(static_cast<HRESULT>(outcome.eax));
        bool kept = g_state.host.statusCode != StatusStackMismatch;
        FinishComArguments(proto, kept && !failed, kept);
        SetLastError(lastError);
    } else if (text) {
        SetLastError(lastError);
    }
    return g_state.host.resultBuffer;
}

bool IsHresult(const TypeRef& type) {
    return !type.pointers && type.base == Base::I32 && (type.flags & TypeHex) && strcmp(type.name, "HRESULT") == 0;
}

// DLLCALL f arg...: converts each argument by its parameter's type, calls and answers
// the result as text. A number or name that holds no bound function answers "Invalid
// Function"; an argument that does not fit calls nothing and answers "" with status
// 1005; a fault answers "" with 1003; a callee that does not keep to its prototype
// is answered with status 1004. DLLERROR says why in each case.
const char* TypedCall() {
    CallsState& calls = g_state.calls;
    CallErrorClear();
    // A refused call leaves DLLOUT nothing of an earlier one to answer.
    if (!calls.depth) calls.lastCalled = 0;
    int index = FindTypedFunction(Arg(1));
    TypedFunction* function = index >= 0 ? &calls.functions[index] : nullptr;
    if (!function || !function->entry) {
        if (function && function->declared)
            CallFail("typed function %d (%s) was bound from library %d, which DLLUNLOAD released", index + 1,
                     function->proto.name, function->libraryNumber);
        else
            CallFail("no typed function %.40s", Arg(1));
        return nullptr;
    }
    if (calls.depth) return CallFailValue("DLLCALL inside a function DLLCALL called: not allowed"), "";
    return CallPrepared(function->proto, function->entry, -1, 0, 0, index + 1);
}

const char* TypedCallMethod(const Prototype& proto, int method, DWORD self) {
    return CallPrepared(proto, nullptr, method, 1, self, -1);
}

void TypedOutForgetMethods() {
    if (g_state.calls.lastCalled < 0) g_state.calls.lastCalled = 0;
}

// The whole values of an out-buffer's first `bytes` bytes, joined by '|' (as many as
// fit an answer).
static void AnswerValues(const TypedParam& param, const BYTE* block, DWORD bytes, char* out) {
    TypeRef pointee = param.type;
    pointee.pointers--;
    size_t length = 0;
    out[0] = '\0';
    char piece[64];
    for (DWORD at = 0; at + param.elementBytes <= bytes; at += param.elementBytes) {
        FormatScalar(pointee, block + at, piece);
        size_t n = strlen(piece) + (at ? 1 : 0);
        if (length + n >= MaxString) break;
        if (at) out[length++] = '|';
        strcpy(out + length, piece);
        length += strlen(piece);
    }
}

// DLLOUT name-or-position: a parameter's value after the last DLLCALL: what the
// library's storage or out-buffer holds now (texts converted to ANSI), the value
// passed for one passed by value, "" for NULL, addresses and references.
const char* TypedOut() {
    CallsState& calls = g_state.calls;
    char* out = g_state.host.resultBuffer;
    CallErrorClear();
    if (!calls.lastCalled) return CallFailValue("DLLOUT: no completed DLLCALL to read from"), out;
    const Prototype& proto = calls.lastCalled > 0 ? calls.functions[calls.lastCalled - 1].proto : *calls.current;
    int index = static_cast<int>(ReadDigits(Arg(1))) - 1;
    if (index < 0)
        for (int i = 0; i < proto.paramCount && index < 0; ++i)
            if (proto.params[i].name[0] && SameWord(Arg(1), proto.params[i].name)) index = i;
    if (index < 0 || index >= proto.paramCount)
        return CallFailValue("DLLOUT: %s has no parameter %.40s", proto.name, Arg(1)), out;
    DWORD lastError = GetLastError();
    const TypedParam& param = proto.params[index];
    switch (calls.argKind[index]) {
    case ArgValue: FormatScalar(param.type, calls.words + param.wordOffset, out); break;
    case ArgStorage: {
        TypeRef pointee = param.type;
        pointee.pointers--;
        FormatScalar(pointee, &calls.storage[index], out);
        break;
    }
    case ArgAnswered: CopyBounded(out, MaxString, calls.texts[index]); break;
    case ArgText:
        if (param.pass == Pass::WideText)
            CopyReadableWide(out, MaxString, calls.texts[index]);
        else
            CopyBounded(out, MaxString, calls.texts[index]);
        break;
    case ArgOutBlock: {
        const BYTE* block = calls.outBlocks[index];
        if (param.pass == Pass::WideText) {
            CopyReadableWide(out, MaxString, block);
        } else if (param.pass == Pass::AnsiText) {
            CopyBounded(out, MaxString, reinterpret_cast<const char*>(block));
        } else {
            // As many bytes as the count parameter now says, if it says: values joined
            // by '|', other bytes as hex pairs.
            DWORD bytes = calls.outBytes[index], counted;
            if (CountBytes(proto, param, &counted) && counted < bytes) bytes = counted;
            if (param.pass == Pass::ScalarRef) {
                AnswerValues(param, block, bytes, out);
                break;
            }
            if (bytes > (MaxString - 1) / 2) bytes = (MaxString - 1) / 2;
            for (DWORD i = 0; i < bytes; ++i) ByteToHex(block[i], out + 2 * i);
            out[2 * bytes] = '\0';
        }
        break;
    }
    default: out[0] = '\0'; break;
    }
    SetLastError(lastError);
    return out;
}

// DLLERROR: the last problem of the typed-call keywords, "" when the last one went well.
const char* TypedError() { return AnswerText(g_state.calls.error); }
