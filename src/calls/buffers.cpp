// Buffers: blocks of memory of the script's making, read and written by byte offset
// and type or by the field names of a declared structure, and passed to pointer
// parameters as BUF:b. Every read and write is checked against the buffer's size.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "../vars/vars.h"
#include "../vars/vars_state.h"
#include "calls.h"


static Buffer* BufferSlotAt(long number) {
    if (number < 1 || number > BufferCount) return nullptr;
    return &g_state.calls.buffers[number - 1];
}

Buffer* BufferAt(long number) {
    Buffer* buffer = BufferSlotAt(number);
    return buffer && buffer->data ? buffer : nullptr;
}

// The buffer Args[1] names, or null with status 1005 and the reason.
static Buffer* NamedBuffer() {
    Buffer* buffer = BufferAt(ReadDigits(Arg(1)));
    if (!buffer) CallFailValue("buffer %.20s holds nothing (BUFNEW makes buffers 1 to %d)", Arg(1), BufferCount);
    return buffer;
}

int ReadReference(const char* text, DWORD* address, DWORD* bytes) {
    struct Prefix {
        const char* word;
        int kind;
    };
    static const Prefix kPrefixes[] = {{"BUF:", 0}, {"STRSLOT:", 1}, {"INTSLOT:", 2}, {"STRUCTSLOT:", 3}};
    for (const Prefix& prefix : kPrefixes) {
        if (!HasPrefix(text, prefix.word)) continue;
        long number = ReadDigits(text + strlen(prefix.word));
        void* place = nullptr;
        switch (prefix.kind) {
        case 0:
            if (Buffer* buffer = BufferAt(number)) place = buffer->data, *bytes = buffer->size;
            break;
        case 1: place = StringSlotAt(number), *bytes = VarTextBytes; break;
        case 2: place = IntSlotAt(number), *bytes = sizeof(long); break;
        case 3: place = StructSlotAt(number), *bytes = sizeof(StructSlot); break;
        }
        if (!place) return CallFail("%.40s names nothing", text), -1;
        *address = reinterpret_cast<DWORD>(place);
        return 1;
    }
    return 0;
}

// BUFNEW b size-or-structure: makes buffer b (1..100) of 1 to 16 MB bytes (a number
// or constants' names), or of a declared structure's size with its field names, all
// zero; a buffer held there before is freed. -1 for a number outside 1..100, a bad
// size, an unknown structure, no memory, or while a DLLCALL is running (its callee
// may hold the old block).
int BufferNew() {
    CallErrorClear();
    Buffer* buffer = BufferSlotAt(ReadDigits(Arg(1)));
    if (!buffer) return CallFail("buffer number '%.20s' is not 1 to %d", Arg(1), BufferCount), -1;
    if (g_state.calls.depth) return CallFail("BUFNEW while a DLLCALL is running"), -1;
    long size = ReadDigits(Arg(2));
    int structIndex = -1;
    if (size < 0) {
        structIndex = FindStruct(Arg(2));
        // Else a size by the system's names (MAX_PATH, MAX_PATH+1), as integers are read.
        TypeRef bytes = {};
        bytes.base = Base::U32;
        ULONGLONG named = 0;
        if (structIndex < 0 && !ReadNamedInteger(Arg(2), bytes, &named))
            return CallFail("'%.40s' is neither a size nor a declared structure", Arg(2)), -1;
        if (structIndex < 0 && named > BufferMaxBytes)
            return CallFail("a buffer holds 1 to %lu bytes, not %.40s", BufferMaxBytes, Arg(2)), -1;
        size = static_cast<long>(structIndex < 0 ? named : g_state.calls.structs[structIndex].size);
    }
    if (size < 1 || static_cast<DWORD>(size) > BufferMaxBytes)
        return CallFail("a buffer holds 1 to %lu bytes, not %ld", BufferMaxBytes, size), -1;
    BYTE* data = static_cast<BYTE*>(calloc(size, 1));
    if (!data) return CallFail("no memory for %ld bytes", size), -1;
    free(buffer->data);
    buffer->data = data;
    buffer->size = static_cast<DWORD>(size);
    buffer->structIndex = structIndex;
    return 0;
}

// BUFFREE b: frees the buffer; one that holds nothing answers 0, a number outside
// 1..100 (or a DLLCALL running) -1.
int BufferFree() {
    CallErrorClear();
    Buffer* buffer = BufferSlotAt(ReadDigits(Arg(1)));
    if (!buffer) return CallFail("buffer number '%.20s' is not 1 to %d", Arg(1), BufferCount), -1;
    if (g_state.calls.depth) return CallFail("BUFFREE while a DLLCALL is running"), -1;
    free(buffer->data);
    buffer->data = nullptr;
    buffer->size = 0;
    return 0;
}

// BUFSIZE b: the size in bytes; "0" for a buffer that holds nothing, "" with status
// 1005 for a number outside 1..100.
const char* BufferSize() {
    CallErrorClear();
    Buffer* buffer = BufferSlotAt(ReadDigits(Arg(1)));
    if (!buffer) return CallFailValue("buffer number '%.20s' is not 1 to %d", Arg(1), BufferCount), "";
    return AnswerUnsigned(buffer->data ? buffer->size : 0);
}

// ---- places ------------------------------------------------------------------------------

struct Place {
    DWORD offset;
    DWORD bytes;   // what the place covers
    TypeRef type;  // of one element
    bool text;     // a char or WCHAR array, or STR / WSTR at an offset
};

// A type word of BUFGET and BUFSET: STR, WSTR or a type name (any case for the
// upper-case Windows names).
static bool TypeWord(const char* word, TypeRef* type, bool* text) {
    *text = false;
    memset(type, 0, sizeof *type);
    type->structIndex = -1;
    if (SameWord(word, "STR") || SameWord(word, "WSTR")) {
        type->base = SameWord(word, "STR") ? Base::Char : Base::WChar;
        *text = true;
    } else {
        char upper[TypedNameBytes];
        CopyBounded(upper, sizeof upper, word);
        bool found = FindTypeName(word, static_cast<int>(strlen(word)), type);
        if (!found) {
            CharUpperA(upper);
            found = FindTypeName(upper, static_cast<int>(strlen(upper)), type);
        }
        if (!found || (!type->pointers && (type->base == Base::Void || type->base == Base::Struct ||
                                           type->base == Base::Variant || type->base == Base::Interface)))
            return CallFailValue("'%.40s' is not a type word (a scalar type such as DWORD or double, STR, WSTR)", word);
    }
    CopyBounded(type->name, TypedNameBytes, word);
    return true;
}

// A field path: name, name[i], name.inner, name[i].inner ...
static bool FieldPlace(const Buffer& buffer, const char* path, Place* place) {
    if (buffer.structIndex < 0)
        return CallFailValue("buffer %s has no structure: give a byte offset and a type", Arg(1));
    const StructType* st = &g_state.calls.structs[buffer.structIndex];
    DWORD offset = 0;
    const char* p = path;
    for (;;) {
        char name[TypedNameBytes];
        size_t n = 0;
        while (*p && *p != '.' && *p != '[' && n < TypedNameBytes - 1) name[n++] = *p++;
        name[n] = '\0';
        const StructField* field = nullptr;
        for (int i = 0; i < st->fieldCount && !field; ++i)
            if (SameWord(st->fields[i].name, name)) field = &st->fields[i];
        if (!field) return CallFailValue("%s has no field %.40s", st->name, name);
        offset += field->offset;
        place->type = field->type;
        DWORD count = field->count;
        if (*p == '[') {
            char* end = nullptr;
            unsigned long i = strtoul(p + 1, &end, 10);
            if (end == p + 1 || *end != ']' || i >= count)
                return CallFailValue("%.40s: an index of %s is 0 to %lu", path, field->name, count - 1);
            offset += static_cast<DWORD>(i) * field->elementSize;
            count = 1;
            p = end + 1;
        }
        bool character = !field->type.pointers && (field->type.base == Base::Char || field->type.base == Base::WChar);
        place->text = count > 1 && character;
        if (count > 1 && !character)
            return CallFailValue("field %s is an array of %lu: give an index, %s[0]", field->name, count, field->name);
        place->offset = offset;
        place->bytes = field->elementSize * count;
        if (*p != '.') break;
        if (field->type.pointers || field->type.base != Base::Struct)
            return CallFailValue("field %s is not a structure", field->name);
        st = &g_state.calls.structs[field->type.structIndex];
        ++p;
    }
    if (*p) return CallFailValue("cannot read the field path '%.40s'", path);
    if (!place->type.pointers && place->type.base == Base::Struct)
        return CallFailValue("%.40s is a structure: name one of its fields", path);
    return true;
}

// A byte offset: decimal digits only, any number of them (a large one lies outside
// every buffer). Answers false for any other text.
static bool ReadOffset(const char* text, DWORD* offset) {
    ULONGLONG value = 0;
    if (!*text) return false;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > 0xFFFFFFFF) value = 0xFFFFFFFF;
    }
    *offset = static_cast<DWORD>(value);
    return true;
}

// Args[2] as a place in the buffer, with the type word at Args[typeArg] (needed for
// an offset, optional for a field). Checks that the place lies inside the buffer.
static bool ResolvePlace(const Buffer& buffer, int typeArg, Place* place) {
    const char* where = Arg(2);
    DWORD offset = 0;
    const char* typeText = Arg(typeArg);
    if (ReadOffset(where, &offset)) {
        if (!*typeText) return CallFailValue("a byte offset needs a type word (DWORD, double, STR ...)");
        if (!TypeWord(typeText, &place->type, &place->text)) return false;
        place->offset = offset;
        place->bytes = place->text ? (place->offset < buffer.size ? buffer.size - place->offset : 0)
                                   : TypeSize(place->type);
    } else {
        if (!FieldPlace(buffer, where, place)) return false;
        if (*typeText) {
            if (!TypeWord(typeText, &place->type, &place->text)) return false;
            if (!place->text) place->bytes = TypeSize(place->type);
        }
    }
    if (place->bytes == 0 || place->offset >= buffer.size || place->bytes > buffer.size - place->offset)
        return CallFailValue("%.40s (byte %lu, %lu bytes) lies outside buffer %s of %lu bytes", where, place->offset,
                             place->bytes, Arg(1), buffer.size);
    return true;
}

// BUFGET b place [type]: the value at the place: integers in decimal, reals shortest,
// texts up to their terminator or the place's end (wide ones converted). A place
// outside the buffer answers "" with status 1005.
const char* BufferGet() {
    CallErrorClear();
    char* out = g_state.host.resultBuffer;
    Buffer* buffer = NamedBuffer();
    Place place;
    if (!buffer || !ResolvePlace(*buffer, 3, &place)) return "";
    const BYTE* at = buffer->data + place.offset;
    if (!place.text) {
        FormatScalar(place.type, at, out);
    } else if (place.type.base == Base::WChar) {
        const WCHAR* text = reinterpret_cast<const WCHAR*>(at);
        int length = 0;
        while (length < static_cast<int>(place.bytes / 2) && text[length]) ++length;
        WideToAnsi(text, length, out, MaxString);
    } else {
        size_t length = 0;
        while (length < place.bytes && length < MaxString - 1 && at[length]) ++length;
        memcpy(out, at, length);
        out[length] = '\0';
    }
    return out;
}

// BUFSET b place value [type]: writes the value at the place. Texts (TEXT: in front
// to write one that is empty) must fit with their terminator; a pointer-sized place
// takes BUF:b and the other references as their address. Answers 0; a value that does
// not fit or a place outside the buffer writes nothing and answers 1005.
int BufferSet() {
    CallErrorClear();
    Buffer* buffer = NamedBuffer();
    Place place;
    if (!buffer || !ResolvePlace(*buffer, 4, &place)) return 0;
    BYTE* at = buffer->data + place.offset;
    const char* value = Arg(3);
    if (place.text) {
        if (HasPrefix(value, "TEXT:")) value += 5;
        size_t length = strlen(value);
        if (place.type.base == Base::WChar) {
            int chars = length ? MultiByteToWideChar(CP_ACP, 0, value, static_cast<int>(length), nullptr, 0) : 0;
            if ((static_cast<DWORD>(chars) + 1) * 2 > place.bytes)
                return CallFailValue("%.40s: %d characters do not fit in %lu bytes", Arg(2), chars, place.bytes), 0;
            WCHAR* text = reinterpret_cast<WCHAR*>(at);
            if (chars) MultiByteToWideChar(CP_ACP, 0, value, static_cast<int>(length), text, chars);
            text[chars] = 0;
        } else {
            if (length + 1 > place.bytes)
                return CallFailValue("%.40s: %u characters do not fit in %lu bytes", Arg(2), length, place.bytes), 0;
            memcpy(at, value, length + 1);
        }
        return 0;
    }
    DWORD address = 0, bytes = 0;
    if (place.bytes == 4 && (place.type.pointers || place.type.base == Base::Handle)) {
        int found = ReadReference(value, &address, &bytes);
        if (found < 0) return g_state.host.statusCode = StatusBadValue, 0;
        if (found) return memcpy(at, &address, 4), 0;
    }
    char where[64];
    snprintf(where, sizeof where, "%.40s", Arg(2));
    BYTE scratch[16];  // a GUID's
    if (StoreScalar(place.type, value, scratch, where)) memcpy(at, scratch, place.bytes);
    return 0;
}
