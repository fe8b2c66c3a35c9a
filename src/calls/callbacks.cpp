// DLLCALLBACK, DLLCALLBACKADDR, DLLCALLBACKNEXT, DLLCALLBACKCOUNT, DLLCALLBACKCLEAR:
// callbacks a foreign function can call. Their entry points are fixed code in the
// library (callback_x86.S), so an address handed out stays good while the library
// is loaded. A call never runs script code: it appends its arguments as a row, posts
// an event to the host window when one is named, and answers the declared value.
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "../vars/vars.h"
#include "calls.h"

static_assert(offsetof(CallbackAnswer, real) == 8 && offsetof(CallbackAnswer, isReal) == 16 &&
                  offsetof(CallbackAnswer, removeBytes) == 20 && sizeof(CallbackAnswer) == 24,
              "callback_x86.S reads the answer by these offsets");

static_assert(TypedWordMax * 4 == 224, "callback_x86.S has a return for each count of 0 to 224 bytes");

static const char kCallbackPrefix[] = "CALLBACK:";
static const char kEventMessageName[] = "TRAKX callback event";

extern "C" {
// The 32 entry points, in order (callback_x86.S).
extern const DWORD CallbackEntries[CallbackCount];
void __cdecl CallbackEnter(int index, const DWORD* args, CallbackAnswer* answer);
}

// ---- load and unload ------------------------------------------------------------------

void CallbacksAtLoad() {
    CallbacksState& callbacks = g_state.callbacks;
    InitializeCriticalSection(&callbacks.lock);
    callbacks.lockReady = true;
    callbacks.eventMessage = RegisterWindowMessageA(kEventMessageName);
}

static void DropRows(Callback& callback) {
    for (int i = 0; i < callback.rowCount; ++i) {
        char*& row = callback.rows[(callback.firstRow + i) % CallbackRowLimit];
        free(row);
        row = nullptr;
    }
    callback.firstRow = callback.rowCount = 0;
    callback.dropped = 0;
}

void CallbacksAtUnload() {
    CallbacksState& callbacks = g_state.callbacks;
    if (!callbacks.lockReady) return;
    EnterCriticalSection(&callbacks.lock);
    for (Callback& callback : callbacks.table) DropRows(callback);
    LeaveCriticalSection(&callbacks.lock);
    // The lock is left in place: a thread of a foreign library may still be on its
    // way into an entry while the process tears the library down.
}

// ---- the call itself (any thread) ---------------------------------------------------------

// Appends `text` to the row being made, cut to what is left.
static void AppendPiece(size_t* length, const char* text) {
    char* row = g_state.callbacks.row;
    *length += CopyBounded(row + *length, CallbackRowBytes - *length, text);
}

// One argument as text: integers in decimal, 64-bit and real values as DLLCALL
// answers them, texts read as far as memory is readable, other pointers as addresses,
// structures by value as hex bytes.
static void FormatArgument(const TypedParam& param, const DWORD* words, char* out) {
    CallbacksState& callbacks = g_state.callbacks;
    const void* address = reinterpret_cast<const void*>(words[0]);
    switch (param.pass) {
    case Pass::AnsiText: CopyReadableText(out, CallbackRowBytes, address); break;
    case Pass::WideText: CopyReadableWideWith(out, CallbackRowBytes, address, callbacks.wideText); break;
    case Pass::Int32: case Pass::Int64: case Pass::Float: case Pass::Double: FormatScalar(param.type, words, out); break;
    case Pass::StructValue: {
        DWORD bytes = param.words * 4;
        if (bytes > (CallbackRowBytes - 1) / 2) bytes = (CallbackRowBytes - 1) / 2;
        for (DWORD i = 0; i < bytes; ++i) ByteToHex(reinterpret_cast<const BYTE*>(words)[i], out + 2 * i);
        out[2 * bytes] = '\0';
        break;
    }
    default: WriteUnsigned(out, words[0]); break;
    }
}

static char* MakeRow(const Prototype& proto, const DWORD* args) {
    CallbacksState& callbacks = g_state.callbacks;
    size_t length = 0;
    callbacks.row[0] = '\0';
    for (int i = 0; i < proto.paramCount; ++i) {
        const TypedParam& param = proto.params[i];
        if (i) AppendPiece(&length, "|");
        FormatArgument(param, args + param.wordOffset, callbacks.piece);
        AppendPiece(&length, callbacks.piece);
    }
    char* row = static_cast<char*>(malloc(length + 1));
    if (row) memcpy(row, callbacks.row, length + 1);
    return row;
}

// Called by every entry with its index and the caller's arguments; fills the answer.
// Runs on the caller's thread, with x87 exceptions masked by the entry.
extern "C" void __cdecl CallbackEnter(int index, const DWORD* args, CallbackAnswer* answer) {
    CallbacksState& callbacks = g_state.callbacks;
    memset(answer, 0, sizeof *answer);
    if (index < 0 || index >= CallbackCount || !callbacks.lockReady) return;
    DWORD lastError = GetLastError();  // the caller's, kept
    DWORD mxcsr = 0, quiet = 0x1F80;    // every SSE exception masked while here
    if (g_state.host.processorHasSse) {
        asm volatile("stmxcsr %0" : "=m"(mxcsr));
        asm volatile("ldmxcsr %0" : : "m"(quiet));
    }
    EnterCriticalSection(&callbacks.lock);
    Callback& callback = callbacks.table[index];
    if (!callback.declared) {
        ++callback.dropped;  // nothing known of its parameters: answers 0, removes nothing
    } else {
        answer->eax = callback.result.words[0];
        answer->edx = callback.result.words[1];
        answer->real = callback.result.real;
        answer->isReal = callback.result.isReal;
        answer->removeBytes = callback.proto.stackBytes;
        char* row = callback.rowCount < CallbackRowLimit ? MakeRow(callback.proto, args) : nullptr;
        if (row) {
            callback.rows[(callback.firstRow + callback.rowCount) % CallbackRowLimit] = row;
            ++callback.rowCount;
        } else {
            ++callback.dropped;
        }
        // One cap for all callbacks: a flood of calls cannot fill the host's queue.
        if (callback.event[0] && callback.window && callbacks.eventMessage &&
            callbacks.pendingEvents < CallbackEventLimit &&
            PostMessageA(callback.window, callbacks.eventMessage, index, callback.generation))
            ++callbacks.pendingEvents;
    }
    LeaveCriticalSection(&callbacks.lock);
    if (g_state.host.processorHasSse) asm volatile("ldmxcsr %0" : : "m"(mxcsr));
    SetLastError(lastError);
}

// ---- events (the host's thread, from the window hook) ------------------------------------

bool CallbackEventMessage(UINT message) {
    return message && message == g_state.callbacks.eventMessage;
}

// Reports one posted call to the host, as a menu choice is reported. Events posted
// before the callback was declared again are not.
void CallbackReportEvent(WPARAM index, LPARAM generation) {
    CallbacksState& callbacks = g_state.callbacks;
    if (index >= static_cast<WPARAM>(CallbackCount) || !callbacks.lockReady) return;
    char event[CallbackEventBytes] = "";
    EnterCriticalSection(&callbacks.lock);
    if (callbacks.pendingEvents > 0) --callbacks.pendingEvents;  // one left the queue, of any declaration
    Callback& callback = callbacks.table[index];
    if (callback.generation == static_cast<DWORD>(generation)) memcpy(event, callback.event, sizeof event);
    LeaveCriticalSection(&callbacks.lock);
    if (event[0] && g_state.host.hostCallback) g_state.host.hostCallback(event);
}

// ---- the keywords ---------------------------------------------------------------------------

static int CallbackIndex(const char* text) {
    long number = ReadDigits(text);
    return number >= 1 && number <= CallbackCount ? static_cast<int>(number - 1) : -1;
}

static int CallbackIndexOrFail(const char* text) {
    int index = CallbackIndex(text);
    if (index < 0) CallFail("callback number '%.20s' is not 1 to %d", text, CallbackCount);
    return index;
}

int ReadCallbackWord(const char* text, DWORD* address) {
    if (!HasPrefix(text, kCallbackPrefix)) return 0;
    int index = CallbackIndex(text + strlen(kCallbackPrefix));
    if (index < 0) return CallFailValue("'%.40s': callbacks are CALLBACK:1 to CALLBACK:%d", text, CallbackCount), -1;
    *address = CallbackEntries[index];
    return 1;
}

// The answer as the declared result type's registers.
static bool ReadAnswer(const Prototype& proto, const char* text, CallbackResult* into) {
    const TypeRef& type = proto.result;
    into->words[0] = into->words[1] = 0;
    into->real = 0;
    into->isReal = proto.resultKind == ResultKind::Float || proto.resultKind == ResultKind::Double;
    if (proto.resultKind == ResultKind::Void) return true;
    if (!*text) return CallFailValue("no answer given: callbacks answer a value of %s to every call", type.name);
    if (proto.resultKind == ResultKind::AnsiText || proto.resultKind == ResultKind::WideText) {
        TypeRef address = type;
        address.base = Base::Handle;  // a text result is answered as an address
        address.pointers = 0;
        return StoreScalar(address, text, into->words, "the answer");
    }
    if (proto.resultKind == ResultKind::Double) return StoreScalar(type, text, &into->real, "the answer");
    if (proto.resultKind == ResultKind::Float) {
        // Rounded and range-checked as a float argument of DLLCALL is; ST(0) carries it.
        float single;
        if (!StoreScalar(type, text, &single, "the answer")) return false;
        WORD fpu = QuietFpuBegin();
        into->real = single;
        QuietFpuEnd(fpu);
        return true;
    }
    ULONGLONG value = 0;
    if (!StoreScalar(type, text, &value, "the answer")) return false;
    into->words[0] = static_cast<DWORD>(value);
    into->words[1] = static_cast<DWORD>(value >> 32);
    // Narrow results are widened in EAX as a C compiler widens them.
    if (!type.pointers && TypeSize(type) < 4) {
        bool isSigned = type.base == Base::Char || type.base == Base::I8 || type.base == Base::I16;
        if (TypeSize(type) == 1)
            into->words[0] = isSigned ? static_cast<DWORD>(static_cast<signed char>(value)) : value & 0xFF;
        else
            into->words[0] = isSigned ? static_cast<DWORD>(static_cast<short>(value)) : value & 0xFFFF;
    }
    return true;
}

// DLLCALLBACK c prototype answer [event]: makes callback c a function of that
// prototype answering `answer` to every call. A refusal changes nothing, answers -1
// and says why in DLLERROR; no box is shown.
int CallbackDeclare() {
    CallbacksState& callbacks = g_state.callbacks;
    CallErrorClear();
    int index = CallbackIndexOrFail(Arg(1));
    if (index < 0) return -1;
    char* text = g_state.calls.declaration;
    int next = 0;  // a host that splits at commas hands the prototype over in pieces
    if (!JoinArguments(2, text, DeclarationBytes, &next))
        return CallFail("the prototype is longer than %d characters", DeclarationBytes - 1), -1;
    if (!*text) return CallFail("no prototype given"), -1;
    Prototype& parsed = g_state.calls.parsed;
    if (!ParsePrototype(text, &parsed)) return -1;
    for (int i = 0; i < parsed.paramCount; ++i)
        if (parsed.params[i].pass == Pass::StructValue && parsed.params[i].words * 4 > 256)
            return CallFail("parameter %d: a structure by value of more than 256 bytes", i + 1), -1;
    const char* event = next + 1 < MaxArgs ? Arg(next + 1) : "";
    const char* answerText = next < MaxArgs ? Arg(next) : "";
    if (strlen(event) >= CallbackEventBytes)
        return CallFail("the event name is longer than %d characters", CallbackEventBytes - 1), -1;
    if (*event && !g_state.host.hostWindow)
        return CallFail("an event needs the host window named at Init"), -1;
    CallbackResult result;  // read before anything changes
    if (!ReadAnswer(parsed, answerText, &result)) return CallRefused();

    // Under the lock: a foreign thread may be calling this very callback.
    EnterCriticalSection(&callbacks.lock);
    Callback& callback = callbacks.table[index];
    DropRows(callback);
    callback.proto = parsed;
    callback.result = result;
    strcpy(callback.event, event);
    callback.window = g_state.host.hostWindow;
    ++callback.generation;
    callback.declared = true;
    LeaveCriticalSection(&callbacks.lock);
    return 0;
}

// DLLCALLBACKADDR c: the entry's address in decimal; "" for a number out of range.
const char* CallbackAddress() {
    CallErrorClear();
    int index = CallbackIndexOrFail(Arg(1));
    if (index < 0) return AnswerText("");
    return AnswerUnsigned(CallbackEntries[index]);
}

// DLLCALLBACKNEXT c: the oldest row, removed; "" when none wait.
const char* CallbackNext() {
    CallbacksState& callbacks = g_state.callbacks;
    CallErrorClear();
    int index = CallbackIndexOrFail(Arg(1));
    char* out = g_state.host.resultBuffer;
    out[0] = '\0';
    if (index < 0) return out;
    char* row = nullptr;
    EnterCriticalSection(&callbacks.lock);
    Callback& callback = callbacks.table[index];
    if (callback.rowCount) {
        row = callback.rows[callback.firstRow];
        callback.rows[callback.firstRow] = nullptr;
        callback.firstRow = (callback.firstRow + 1) % CallbackRowLimit;
        --callback.rowCount;
    }
    LeaveCriticalSection(&callbacks.lock);
    if (row) CopyBounded(out, MaxString, row);
    free(row);
    return out;
}

// DLLCALLBACKCOUNT c: "rows dropped", e.g. "3 0".
const char* CallbackCountRows() {
    CallbacksState& callbacks = g_state.callbacks;
    CallErrorClear();
    int index = CallbackIndexOrFail(Arg(1));
    char* out = g_state.host.resultBuffer;
    out[0] = '\0';
    if (index < 0) return out;
    EnterCriticalSection(&callbacks.lock);
    int rows = callbacks.table[index].rowCount;
    DWORD dropped = callbacks.table[index].dropped;
    LeaveCriticalSection(&callbacks.lock);
    sprintf(out, "%d %lu", rows, static_cast<unsigned long>(dropped));
    return out;
}

// DLLCALLBACKCLEAR c: empties the rows and the dropped count.
int CallbackClear() {
    CallbacksState& callbacks = g_state.callbacks;
    CallErrorClear();
    int index = CallbackIndexOrFail(Arg(1));
    if (index < 0) return -1;
    EnterCriticalSection(&callbacks.lock);
    DropRows(callbacks.table[index]);
    LeaveCriticalSection(&callbacks.lock);
    return 0;
}
