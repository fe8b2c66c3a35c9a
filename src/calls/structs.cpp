// DLLSTRUCT: a pasted C structure declaration laid out as the 32-bit Windows
// compilers lay it out: each field at the next multiple of its alignment (its size
// for scalars, at most the packing, 8 by default), the size rounded up to the
// largest alignment.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "calls.h"

constexpr DWORD DefaultPacking = 8;

int FindStruct(const char* name) {
    const CallsState& calls = g_state.calls;
    for (int i = 0; i < calls.structNameCount; ++i)
        if (calls.structNames[i].pointers == 0 && strcmp(calls.structNames[i].name, name) == 0)
            return calls.structNames[i].structIndex;
    return -1;
}

// ---- the table's entries -------------------------------------------------------------
// Prototypes keep the sizes they were declared with; names, buffers and enclosing
// structures keep their entries, which therefore never change once laid out.

static void MarkReached(int index, bool* reached) {
    if (index < 0 || reached[index]) return;
    reached[index] = true;
    const StructType& st = g_state.calls.structs[index];
    for (int i = 0; i < st.fieldCount; ++i)
        if (st.fields[i].type.base == Base::Struct) MarkReached(st.fields[i].type.structIndex, reached);
}

static void FreeEntry(StructType& st) {
    free(st.text);
    memset(&st, 0, sizeof st);
}

// Frees the entries that no name, buffer or declaration being read reaches.
static void CollectStructs() {
    CallsState& calls = g_state.calls;
    bool reached[StructTypeCount] = {};
    for (int i = 0; i < calls.structNameCount; ++i) MarkReached(calls.structNames[i].structIndex, reached);
    for (const Buffer& buffer : calls.buffers)
        if (buffer.data) MarkReached(buffer.structIndex, reached);
    for (int i = 0; i < StructTypeCount; ++i)
        if (calls.structs[i].building) MarkReached(i, reached);
    for (int i = 0; i < StructTypeCount; ++i)
        if (calls.structs[i].used && !reached[i]) FreeEntry(calls.structs[i]);
}

// A free entry for a structure of the declaration being read, or -1 (DLLERROR set).
static int NewStruct() {
    CallsState& calls = g_state.calls;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < StructTypeCount; ++i) {
            StructType& st = calls.structs[i];
            if (st.used) continue;
            memset(&st, 0, sizeof st);
            st.used = st.building = true;
            st.align = 1;
            return i;
        }
        CollectStructs();
    }
    return CallFail("more than %d structures", StructTypeCount), -1;
}

// The declaration being read is done: kept, or (refused) given back.
static void EndBuilding(bool keep) {
    for (StructType& st : g_state.calls.structs) {
        if (!st.building) continue;
        if (keep) st.building = false;
        else FreeEntry(st);
    }
}

// Whether two entries lay out the same bytes under the same field names and types;
// inline structures are compared by their layouts, named ones by their entries.
static bool SameLayout(int a, int b) {
    const StructType* structs = g_state.calls.structs;
    const StructType& x = structs[a];
    const StructType& y = structs[b];
    if (x.size != y.size || x.align != y.align || x.fieldCount != y.fieldCount) return false;
    for (int i = 0; i < x.fieldCount; ++i) {
        const StructField& f = x.fields[i];
        const StructField& g = y.fields[i];
        if (strcmp(f.name, g.name) != 0 || strcmp(f.type.name, g.type.name) != 0 || f.offset != g.offset ||
            f.elementSize != g.elementSize || f.count != g.count || f.type.base != g.type.base ||
            f.type.pointers != g.type.pointers || f.type.flags != g.type.flags)
            return false;
        int fi = f.type.structIndex, gi = g.type.structIndex;
        if (f.type.base != Base::Struct || fi == gi) continue;
        if (!structs[fi].nested || !structs[gi].nested || !SameLayout(fi, gi)) return false;
    }
    return true;
}

static DWORD RoundUp(DWORD value, DWORD align) { return (value + align - 1) / align * align; }

struct Layout {
    StructType* type;
    DWORD pack;
    bool isUnion;
    DWORD end;  // the first byte after the fields so far
    int depth;  // structures this one is nested in
};

// Places one field; answers false when the structure is full or too large.
static bool PlaceField(Layout* layout, const char* name, const TypeRef& type, DWORD count) {
    StructType& st = *layout->type;
    if (st.fieldCount >= StructFieldMax) return CallFail("more than %d fields in %s", StructFieldMax, st.name);
    DWORD elementSize = TypeSize(type);
    DWORD align = TypeAlign(type);
    if (align > layout->pack) align = layout->pack;
    if (align > st.align) st.align = align;
    DWORD offset = layout->isUnion ? 0 : RoundUp(layout->end, align);
    ULONGLONG end = static_cast<ULONGLONG>(offset) + static_cast<ULONGLONG>(elementSize) * count;
    if (end > BufferMaxBytes) return CallFail("%s would be larger than %lu bytes", st.name, BufferMaxBytes);
    StructField& field = st.fields[st.fieldCount++];
    CopyBounded(field.name, TypedNameBytes, name);
    field.type = type;
    field.offset = offset;
    field.elementSize = elementSize;
    field.count = count;
    if (end > layout->end) layout->end = static_cast<DWORD>(end);
    return true;
}

static bool ParseBody(Lexer* lex, Layout* layout);

// An inline structure or union as a field: laid out as a structure of its own
// (named after the outer one), then placed; an unnamed one lends its fields to the
// outer structure at its offset.
static bool ParseInlineField(Lexer* lex, Layout* outer, bool isUnion) {
    if (outer->depth >= DeclarationNestingMax)
        return CallFail("structures nested more than %d deep", DeclarationNestingMax);
    int index = NewStruct();
    if (index < 0) return false;
    StructType& inner = g_state.calls.structs[index];
    inner.nested = true;
    snprintf(inner.name, TypedNameBytes, "%s.%d", outer->type->name, outer->type->fieldCount);
    Layout layout = {&inner, outer->pack, isUnion, 0, outer->depth + 1};
    if (lex->kind == Tok::Ident) LexNext(lex);  // a tag of its own
    if (!LexIsPunct(*lex, '{')) return CallFail("expected { in %s at %s", outer->type->name, LexShown(*lex));
    if (!ParseBody(lex, &layout)) return false;
    inner.size = RoundUp(layout.end, inner.align);
    TypeRef type = {};
    type.base = Base::Struct;
    type.structIndex = static_cast<signed char>(index);
    strcpy(type.name, isUnion ? "union" : "struct");
    char name[TypedNameBytes] = "";
    if (lex->kind == Tok::Ident) {
        LexCopyName(*lex, name);
        LexNext(lex);
    }
    if (!LexIsPunct(*lex, ';')) return CallFail("expected ; after a nested structure at %s", LexShown(*lex));
    LexNext(lex);
    int first = outer->type->fieldCount;
    if (!PlaceField(outer, name, type, 1)) return false;
    if (name[0]) return true;
    DWORD base = outer->type->fields[first].offset;
    --outer->type->fieldCount;  // the unnamed field itself gives way to its fields
    for (int i = 0; i < inner.fieldCount; ++i) {
        if (outer->type->fieldCount >= StructFieldMax) return CallFail("more than %d fields", StructFieldMax);
        StructField& field = outer->type->fields[outer->type->fieldCount++];
        field = inner.fields[i];
        field.offset += base;
    }
    return true;
}

// { type declarator, declarator; ... }
static bool ParseBody(Lexer* lex, Layout* layout) {
    LexNext(lex);  // past '{'
    while (!LexIsPunct(*lex, '}')) {
        if (lex->kind == Tok::End) return CallFail("expected } to end %s", layout->type->name);
        bool isUnion = LexIsWord(*lex, "union");
        if (isUnion || LexIsWord(*lex, "struct")) {
            Lexer ahead = *lex;
            LexNext(&ahead);
            if (ahead.kind == Tok::Ident) LexNext(&ahead);
            if (LexIsPunct(ahead, '{')) {
                LexNext(lex);
                if (!ParseInlineField(lex, layout, isUnion)) return false;
                continue;
            }
        }
        char where[TypedNameBytes + 16];
        snprintf(where, sizeof where, "field %d of %s", layout->type->fieldCount + 1, layout->type->name);
        TypeRef base;
        int stars = 0;
        if (!ParseType(lex, &base, where, &stars)) return false;
        base.pointers = static_cast<unsigned char>(base.pointers - stars);
        bool first = true;
        for (;;) {
            TypeRef type = base;
            if (first) {
                type.pointers = static_cast<unsigned char>(type.pointers + stars);
            } else {
                while (LexIsPunct(*lex, '*')) ++type.pointers, LexNext(lex);
            }
            first = false;
            if (lex->kind != Tok::Ident) return CallFail("expected a field name in %s at %s", where, LexShown(*lex));
            char name[TypedNameBytes];
            LexCopyName(*lex, name);
            LexNext(lex);
            ULONGLONG count = 1;  // a product of counts of up to 2^24 each: checked before it can wrap
            while (LexIsPunct(*lex, '[')) {
                LexNext(lex);
                DWORD n;
                if (!ParseCount(lex, &n, name)) return false;
                if (!LexIsPunct(*lex, ']')) return CallFail("expected ] after the count of %s at %s", name, LexShown(*lex));
                LexNext(lex);
                count *= n;
                if (count > BufferMaxBytes) return CallFail("field %s is too large", name);
            }
            if (LexIsPunct(*lex, ':')) return CallFail("bit fields are not supported (field %s)", name);
            if (!type.pointers && type.base == Base::Void) return CallFail("field %s is void", name);
            if (!PlaceField(layout, name, type, static_cast<DWORD>(count))) return false;
            if (LexIsPunct(*lex, ';')) break;
            if (!LexIsPunct(*lex, ',')) return CallFail("expected ; after field %s at %s", name, LexShown(*lex));
            LexNext(lex);
        }
        LexNext(lex);  // past ';'
    }
    LexNext(lex);  // past '}'
    return true;
}

// #pragma pack(n), pack(push, n), pack(pop), pack(): answers false on a bad one.
static bool ParsePragma(Lexer* lex, DWORD* pack) {
    LexNext(lex);
    if (!LexIsWord(*lex, "pragma")) return CallFail("expected pragma after # at %s", LexShown(*lex));
    LexNext(lex);
    if (!LexIsWord(*lex, "pack")) return CallFail("only #pragma pack is understood, not %s", LexShown(*lex));
    LexNext(lex);
    if (!LexIsPunct(*lex, '(')) return CallFail("expected ( after pack");
    LexNext(lex);
    DWORD value = DefaultPacking;
    while (!LexIsPunct(*lex, ')')) {
        if (lex->kind == Tok::End) return CallFail("expected ) after pack(");
        if (lex->kind == Tok::Number && !ParseCount(lex, &value, "pack")) return false;
        if (lex->kind != Tok::Number && !LexIsPunct(*lex, ')')) LexNext(lex);
    }
    LexNext(lex);
    if (value != 1 && value != 2 && value != 4 && value != 8 && value != 16)
        return CallFail("packing %lu is not 1, 2, 4, 8 or 16", value);
    *pack = value;
    return true;
}

// Whether a known name goes to a new declaration: it names a structure replaced, or
// the new declaration gives it itself.
static bool GivesUp(const StructName& entry, const bool* replaced, const char (*names)[TypedNameBytes], int nameCount) {
    if (replaced[entry.structIndex]) return true;
    for (int i = 0; i < nameCount; ++i)
        if (strcmp(entry.name, names[i]) == 0) return true;
    return false;
}

static void AddName(const char* name, int index, unsigned char pointers) {
    CallsState& calls = g_state.calls;
    StructName& entry = calls.structNames[calls.structNameCount++];
    CopyBounded(entry.name, TypedNameBytes, name);
    entry.structIndex = static_cast<signed char>(index);
    entry.pointers = pointers;
}

// DLLSTRUCT declaration: lays the structure out and makes its names (tag, typedef
// names, pointer names) known to DLLDECLARE, other structures and BUFNEW. A
// declaration under a name already known takes the names (all of that structure's)
// for the new layout; what was declared or made with the old one keeps it. The same
// declaration again changes nothing. A refusal changes nothing and answers -1, with
// the reason in DLLERROR.
int StructDeclare() {
    CallsState& calls = g_state.calls;
    CallErrorClear();
    char* text = calls.declaration;
    if (!JoinArguments(1, text, DeclarationBytes))
        return CallFail("the declaration is longer than %d characters", DeclarationBytes - 1), -1;
    Lexer lex;
    LexBegin(&lex, text);
    DWORD pack = DefaultPacking;
    while (LexIsPunct(lex, '#'))
        if (!ParsePragma(&lex, &pack)) return -1;
    bool typedefed = LexIsWord(lex, "typedef");
    if (typedefed) LexNext(&lex);
    bool isUnion = LexIsWord(lex, "union");
    if (!isUnion && !LexIsWord(lex, "struct")) return CallFail("expected struct at %s", LexShown(lex)), -1;
    LexNext(&lex);
    char tag[TypedNameBytes] = "";
    if (lex.kind == Tok::Ident) {
        LexCopyName(lex, tag);
        LexNext(&lex);
    }
    if (!LexIsPunct(lex, '{')) return CallFail("expected { at %s", LexShown(lex)), -1;

    // Laid out into new entries (nested structures take their own), which a refusal
    // or the same declaration again gives back.
    int index = NewStruct();
    if (index < 0) return -1;
    StructType& st = calls.structs[index];
    CopyBounded(st.name, TypedNameBytes, tag[0] ? tag : "struct");
    Layout layout = {&st, pack, isUnion, 0, 0};
    bool ok = ParseBody(&lex, &layout);
    char names[8][TypedNameBytes];
    unsigned char pointers[8];
    int nameCount = 0;
    if (tag[0]) CopyBounded(names[nameCount], TypedNameBytes, tag), pointers[nameCount++] = 0;
    while (ok && typedefed && lex.kind != Tok::End && !LexIsPunct(lex, ';') && !LexIsPunct(lex, '#')) {
        unsigned char stars = 0;
        while (LexIsPunct(lex, '*') || LexIsWord(lex, "FAR") || LexIsWord(lex, "NEAR")) {
            if (LexIsPunct(lex, '*')) ++stars;
            LexNext(&lex);
        }
        if (lex.kind != Tok::Ident) ok = CallFail("expected a type name after } at %s", LexShown(lex));
        else if (nameCount < 8) LexCopyName(lex, names[nameCount]), pointers[nameCount++] = stars;
        if (!ok) break;
        LexNext(&lex);
        if (LexIsPunct(lex, ',')) LexNext(&lex);
    }
    if (ok && LexIsPunct(lex, ';')) LexNext(&lex);
    while (ok && LexIsPunct(lex, '#')) {
        DWORD ignored;
        ok = ParsePragma(&lex, &ignored);
    }
    if (ok && lex.kind != Tok::End) ok = CallFail("unexpected %s after the structure", LexShown(lex));
    if (ok && st.fieldCount == 0) ok = CallFail("a structure without fields");
    // Arrays of no elements only: nothing could be passed, checked or read by its size.
    if (ok && layout.end == 0) ok = CallFail("a structure of 0 bytes");
    if (ok && nameCount == 0) ok = CallFail("the structure has no name");
    if (!ok) return EndBuilding(false), -1;
    st.size = RoundUp(layout.end, st.align);
    // The primary name is the first plain typedef name, else the tag.
    for (int i = tag[0] ? 1 : 0; i < nameCount; ++i) {
        if (pointers[i] != 0) continue;
        CopyBounded(st.name, TypedNameBytes, names[i]);
        break;
    }

    // The structures known by one of the plain names give up all their names; a
    // pointer name of another one is taken over.
    bool replaced[StructTypeCount] = {};
    for (int i = 0; i < nameCount; ++i) {
        int old = pointers[i] == 0 ? FindStruct(names[i]) : -1;
        if (old < 0) continue;
        // A script that runs its declarations again: nothing changes.
        const StructType& was = calls.structs[old];
        if (was.text && strcmp(was.text, text) == 0 && SameLayout(old, index)) return EndBuilding(false), 0;
        replaced[old] = true;
    }
    int kept = 0;
    for (int i = 0; i < calls.structNameCount; ++i) kept += GivesUp(calls.structNames[i], replaced, names, nameCount) ? 0 : 1;
    if (kept + nameCount > StructNameCount)
        return EndBuilding(false), CallFail("more than %d structure names", StructNameCount), -1;
    st.text = _strdup(text);
    if (!st.text) return EndBuilding(false), CallFail("no memory for the declaration"), -1;

    kept = 0;
    for (int i = 0; i < calls.structNameCount; ++i)
        if (!GivesUp(calls.structNames[i], replaced, names, nameCount)) calls.structNames[kept++] = calls.structNames[i];
    calls.structNameCount = kept;
    for (int i = 0; i < nameCount; ++i) AddName(names[i], index, pointers[i]);
    EndBuilding(true);
    return 0;
}

void StructsReleaseAtUnload() {
    for (StructType& st : g_state.calls.structs) FreeEntry(st);
}
