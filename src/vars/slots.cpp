// String and integer slots, and reading a text at a raw address.
#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "vars.h"

char* StringSlotAt(long index) {
    if (index < 0 || index >= VarSlotCount) return nullptr;
    return g_state.vars.stringSlots[index];
}

long* IntSlotAt(long index) {
    if (index < 0 || index >= VarSlotCount) return nullptr;
    return &g_state.vars.intSlots[index];
}

// Memory the text may be read from: committed, and neither guarded nor closed.
static bool ReadableRegion(const MEMORY_BASIC_INFORMATION& region) {
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return region.State == MEM_COMMIT && !(region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) &&
           (region.Protect & readable);
}

// Walks region by region: each query covers a run of pages of one protection, so a
// text within one region costs one query.
size_t CopyReadableText(char* dest, size_t capacity, const void* address) {
    size_t length = 0;
    const char* cursor = static_cast<const char*>(address);
    while (cursor && length < capacity - 1) {
        MEMORY_BASIC_INFORMATION region;
        if (!VirtualQuery(cursor, &region, sizeof region) || !ReadableRegion(region)) break;
        const char* end = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        while (cursor < end && *cursor && length < capacity - 1) dest[length++] = *cursor++;
        if (cursor < end) break;  // the terminator or the buffer's end was reached
        if (end == nullptr) break;  // the top of the address space
    }
    dest[length] = '\0';
    return length;
}

// SETSTR index text: copies the text, cut to 4047 characters. An index outside
// 0..19 changes nothing. Answers 0.
int VarSetString() {
    if (char* slot = StringSlotAt(ReadLong(Arg(1)))) CopyBounded(slot, VarTextBytes, Arg(2));
    return 0;
}

// SETINT index value: stores the value. An index outside 0..19 changes nothing.
int VarSetInteger() {
    if (long* slot = IntSlotAt(ReadLong(Arg(1)))) *slot = ReadLong(Arg(2));
    return 0;
}

// GETSTR index: the slot itself. An index outside 0..19 answers the empty text.
const char* VarGetString() {
    char* slot = StringSlotAt(ReadLong(Arg(1)));
    if (!slot) return g_state.host.resultBuffer;
    // Foreign code may have filled the whole field; the host reads no further.
    slot[VarTextBytes - 1] = '\0';
    return slot;
}

// GETINT index: the value in decimal. An index outside 0..19 answers the empty text.
const char* VarGetInteger() {
    long* slot = IntSlotAt(ReadLong(Arg(1)));
    return slot ? AnswerLong(*slot) : g_state.host.resultBuffer;
}

// GETSTRATADDR address: the text there, cut to 4047 characters and where memory
// stops being readable. Address 0 or an unreadable one answers the empty text.
const char* VarStringAtAddress() {
    const void* address = reinterpret_cast<const void*>(ReadUnsigned(Arg(1)));
    CopyReadableText(g_state.host.resultBuffer, MaxString, address);
    return g_state.host.resultBuffer;
}
