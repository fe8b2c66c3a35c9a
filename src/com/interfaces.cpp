// DLLINTERFACE: a COM interface pasted as the headers print it, in any of their three
// forms: the C vtable structure (every slot listed, `This` first), the C++ class
// (MIDL_INTERFACE, its base's methods first) and DECLARE_INTERFACE_ with STDMETHOD.
// Each method is rewritten into a plain prototype with `This` first and read by the
// typed calls' own prototype parser; its slot is its place in the vtable.
#include <stdio.h>
#include <string.h>

#include "../calls/calls.h"
#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "interfaces.h"

// ---- the table -----------------------------------------------------------------------

static const InterfaceType* InterfaceAt(int index) {
    const InterfacesState& st = g_state.interfaces;
    return index >= 0 && index < st.count ? &st.types[index] : nullptr;
}

int FindInterface(const char* name, int length) {
    const InterfacesState& st = g_state.interfaces;
    if (length >= TypedNameBytes) return -1;
    for (int i = 0; i < st.count; ++i)
        if (static_cast<int>(strlen(st.types[i].name)) == length && memcmp(st.types[i].name, name, length) == 0)
            return i;
    if (st.pending[0] && static_cast<int>(strlen(st.pending)) == length && memcmp(st.pending, name, length) == 0)
        return st.pendingIndex;
    return -1;
}

int FindInterfaceByIid(const GUID& iid) {
    const InterfacesState& st = g_state.interfaces;
    for (int i = 0; i < st.count; ++i)
        if (st.types[i].hasIid && IsEqualGUID(st.types[i].iid, iid)) return i;
    return -1;
}

int FindInterfaceWord(const char* name, int length) {
    int exact = FindInterface(name, length);
    if (exact >= 0) return exact;
    const InterfacesState& st = g_state.interfaces;
    for (int i = 0; i < st.count; ++i)
        if (static_cast<int>(strlen(st.types[i].name)) == length && _strnicmp(st.types[i].name, name, length) == 0)
            return i;
    return -1;
}

const char* InterfaceName(int index) {
    const InterfaceType* type = InterfaceAt(index);
    return type ? type->name : "IUnknown";
}

bool InterfaceBeingDeclared() { return g_state.interfaces.pending[0] != '\0'; }

bool InterfaceDerivesFrom(int index, int base) {
    if (base == InterfaceUnknown) return true;  // every interface is one
    for (int depth = 0; index >= 0 && depth < InterfaceCount; ++depth) {
        if (index == base) return true;
        index = g_state.interfaces.types[index].base;
    }
    return false;
}

// Slots before an interface's own methods: its bases' methods.
static int SlotsBefore(int index) {
    int slots = 0;
    for (int base = g_state.interfaces.types[index].base, depth = 0; base >= 0 && depth < InterfaceCount; ++depth) {
        slots += g_state.interfaces.types[base].count;
        base = g_state.interfaces.types[base].base;
    }
    return slots;
}

const Prototype* FindInterfaceMethod(int index, const char* name, int* slot) {
    InterfacesState& st = g_state.interfaces;
    if (index < 0) index = InterfaceUnknown;
    // From the interface itself down to IUnknown: a derived name hides a base's.
    for (int depth = 0; index >= 0 && depth < InterfaceCount; ++depth) {
        const InterfaceType& type = st.types[index];
        for (int i = 0; i < type.count; ++i) {
            const Prototype& method = st.methods[type.first + i];
            if (SameWord(name, method.name)) {
                *slot = SlotsBefore(index) + i;
                return &method;
            }
        }
        index = type.base;
    }
    return nullptr;
}

// ---- GUID texts ------------------------------------------------------------------------

bool ReadGuidText(const char* text, GUID* guid) {
    static const int kGroups[] = {8, 4, 4, 4, 12};
    const char* p = text;
    bool braced = *p == '{';
    if (braced) ++p;
    BYTE bytes[16];
    int count = 0;
    for (int g = 0; g < 5; ++g) {
        if (g && *p++ != '-') return false;
        for (int i = 0; i < kGroups[g]; i += 2) {
            int high = HexDigitValue(p[0]), low = high < 0 ? -1 : HexDigitValue(p[1]);
            if (low < 0) return false;
            bytes[count++] = static_cast<BYTE>(high * 16 + low);
            p += 2;
        }
    }
    if (braced && *p++ != '}') return false;
    if (*p) return false;
    guid->Data1 = static_cast<DWORD>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    guid->Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
    guid->Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
    memcpy(guid->Data4, bytes + 8, 8);
    return true;
}

void FormatGuid(const GUID& g, char* out) {
    sprintf(out, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned long>(g.Data1), g.Data2,
            g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

bool ReadInterfaceArgument(const char* text, GUID* iid, int* index) {
    if (ReadGuidText(text, iid)) {
        *index = FindInterfaceByIid(*iid);
        return true;
    }
    *index = FindInterfaceWord(text, static_cast<int>(strlen(text)));
    const InterfaceType* type = InterfaceAt(*index);
    if (!type) return CallFailValue("'%.60s' is neither a declared interface nor an IID {...}", text);
    if (!type->hasIid) return CallFailValue("interface %s was declared without a uuid: give its IID {...}", type->name);
    *iid = type->iid;
    return true;
}

// ---- reading a declaration -------------------------------------------------------------

// What one declaration gives: its name, base, uuid and methods (parsed into the pool's
// spare entries past methodCount).
struct Declared {
    char name[TypedNameBytes];
    char baseName[TypedNameBytes];
    GUID iid;
    bool hasIid;
    int count;
    bool listsEverySlot;  // the C form: the base is worked out from the slots
};

// Skips a parenthesised group the lexer stands on; answers the text after its ')'.
static bool SkipParens(Lexer* lex, const char** end) {
    int depth = 0;
    do {
        if (lex->kind == Tok::End) return CallFail("unclosed ( in the declaration");
        if (LexIsPunct(*lex, '(')) ++depth;
        if (LexIsPunct(*lex, ')')) --depth;
        *end = lex->start + lex->length;
        LexNext(lex);
    } while (depth > 0);
    return true;
}

// A uuid in a group: uuid("..."), MIDL_INTERFACE("..."), uuid(...) without quotes.
static bool ReadUuidGroup(Lexer* lex, Declared* out) {
    if (!LexIsPunct(*lex, '(')) return CallFail("expected ( with the uuid at %s", LexShown(*lex));
    const char* open = lex->start + 1;
    const char* close = strchr(open, ')');
    if (!close) return CallFail("unclosed ( after uuid");
    char text[48];
    int n = 0;
    for (const char* p = open; p < close; ++p)
        if (*p != ' ' && *p != '"' && *p != '\t' && n < 47) text[n++] = *p;
    text[n] = '\0';
    if (!ReadGuidText(text, &out->iid)) return CallFail("'%.40s' is not a uuid (8-4-4-4-12 hex digits)", text);
    out->hasIid = true;
    lex->pos = close + 1;
    LexNext(lex);
    return true;
}

// DEFINE_GUID(IID_IFoo, 0x12345678, 0x1234, 0x1234, 0x12, ... 0x12);
static bool ReadDefineGuid(Lexer* lex, Declared* out) {
    LexNext(lex);
    if (!LexIsPunct(*lex, '(')) return CallFail("expected ( after DEFINE_GUID");
    LexNext(lex);
    if (lex->kind != Tok::Ident) return CallFail("expected the GUID's name in DEFINE_GUID at %s", LexShown(*lex));
    LexNext(lex);
    DWORD parts[11];
    for (int i = 0; i < 11; ++i) {
        if (!LexIsPunct(*lex, ',')) return CallFail("DEFINE_GUID takes a name and 11 numbers");
        LexNext(lex);
        TypeRef type = {};
        type.base = i == 0 ? Base::U32 : i < 3 ? Base::U16 : Base::Byte;
        char number[24];
        LexCopyName(*lex, number, sizeof number);
        while (char* suffix = strpbrk(number, "uUlL")) *suffix = '\0';
        ULONGLONG value;
        if (lex->kind != Tok::Number || !ReadInteger(number, type, &value))
            return CallFail("DEFINE_GUID: %s is not a number of its part", LexShown(*lex));
        parts[i] = static_cast<DWORD>(value);
        LexNext(lex);
    }
    if (!LexIsPunct(*lex, ')')) return CallFail("expected ) to end DEFINE_GUID at %s", LexShown(*lex));
    LexNext(lex);
    if (LexIsPunct(*lex, ';')) LexNext(lex);
    out->iid.Data1 = parts[0];
    out->iid.Data2 = static_cast<WORD>(parts[1]);
    out->iid.Data3 = static_cast<WORD>(parts[2]);
    for (int i = 0; i < 8; ++i) out->iid.Data4[i] = static_cast<BYTE>(parts[3 + i]);
    out->hasIid = true;
    return true;
}

static bool AppendText(char* out, size_t* length, const char* from, size_t count) {
    if (*length + count + 1 >= DeclarationBytes) return CallFail("a method's declaration is too long");
    memcpy(out + *length, from, count);
    *length += count;
    out[*length] = '\0';
    return true;
}
static bool Append(char* out, size_t* length, const char* text) { return AppendText(out, length, text, strlen(text)); }

// Appends the parameter group's inside (the lexer on its '('), `This` first: the C
// form writes it, the C++ form leaves it out, DECLARE_INTERFACE_ writes THIS or THIS_
// (STDMETHOD in a C++ class, as some headers use it, writes neither).
enum class ThisIs { Written, Missing, Macro };
static bool AppendParams(Lexer* lex, const char* name, ThisIs form, char* out, size_t* length) {
    const char* inside = lex->start + 1;
    const char* end = nullptr;
    Lexer first = *lex;
    LexNext(&first);
    if (!SkipParens(lex, &end)) return false;
    size_t insideLength = static_cast<size_t>(end - 1 - inside);
    char self[TypedNameBytes + 8];
    snprintf(self, sizeof self, "%s *This", name);
    if (!Append(out, length, "(")) return false;
    if (form == ThisIs::Macro && !LexIsWord(first, "THIS_") && !LexIsWord(first, "THIS")) form = ThisIs::Missing;
    if (form == ThisIs::Macro) {
        bool comma = LexIsWord(first, "THIS_");
        if (!Append(out, length, self) || (comma && !Append(out, length, ", "))) return false;
        const char* rest = first.start + first.length;
        insideLength -= static_cast<size_t>(rest - inside);
        inside = rest;
    } else if (form == ThisIs::Missing) {
        Lexer after = first;
        LexNext(&after);
        bool none = LexIsPunct(first, ')') || (LexIsWord(first, "void") && LexIsPunct(after, ')'));
        if (!Append(out, length, self)) return false;
        if (none) return Append(out, length, ")");
        if (!Append(out, length, ", ")) return false;
    }
    return AppendText(out, length, inside, insideLength) && Append(out, length, ")");
}

// Puts the place in front of the reason already in DLLERROR; answers false.
static bool FailAt(const char* where) {
    char reason[CallErrorBytes];
    CopyBounded(reason, sizeof reason, g_state.calls.error);
    return CallFail("%s: %s", where, reason);
}

// Reads the composed prototype into the pool's next spare entry.
static bool AddMethod(Declared* out, const char* where) {
    InterfacesState& st = g_state.interfaces;
    int at = st.methodCount + out->count;
    if (at >= InterfaceMethodPool) return CallFail("more than %d methods in all interfaces", InterfaceMethodPool);
    Prototype& method = st.methods[at];
    if (!ParsePrototype(st.method, &method)) return FailAt(where);
    if (method.paramCount == 0 || method.params[0].type.pointers == 0)
        return CallFail("%s (%s): the first parameter must be This, the interface pointer", where, method.name);
    if (method.isCdecl) return CallFail("%s (%s): interface methods are __stdcall (STDMETHODCALLTYPE)", where, method.name);
    ++out->count;
    return true;
}

// DECLSPEC_XFGVIRT(IFoo, Bar), which newer headers put before each method: skipped.
static bool SkipXfg(Lexer* lex) {
    const char* end;
    while (LexIsWord(*lex, "DECLSPEC_XFGVIRT")) {
        LexNext(lex);
        if (!LexIsPunct(*lex, '(') || !SkipParens(lex, &end)) return CallFail("expected ( after DECLSPEC_XFGVIRT");
    }
    return true;
}

// The C form's methods: result (conventions *Name)(IFoo *This, ...);
static bool ReadCMethods(Lexer* lex, Declared* out) {
    char* text = g_state.interfaces.method;
    while (!LexIsPunct(*lex, '}')) {
        char where[48];
        snprintf(where, sizeof where, "method %d", out->count + 1);
        if (LexIsWord(*lex, "BEGIN_INTERFACE") || LexIsWord(*lex, "END_INTERFACE")) {
            LexNext(lex);
            continue;
        }
        if (!SkipXfg(lex)) return false;
        const char* start = lex->start;
        // The name group is the one of the form ( words * Name ).
        for (;;) {
            if (lex->kind == Tok::End || LexIsPunct(*lex, ';') || LexIsPunct(*lex, '}'))
                return CallFail("%s: expected (STDMETHODCALLTYPE *Name) at %s", where, LexShown(*lex));
            if (!LexIsPunct(*lex, '(')) {
                LexNext(lex);
                continue;
            }
            Lexer ahead = *lex;
            LexNext(&ahead);
            while (ahead.kind == Tok::Ident) LexNext(&ahead);
            if (LexIsPunct(ahead, '*')) break;
            const char* end;
            if (!SkipParens(lex, &end)) return FailAt(where);
        }
        size_t length = 0;
        text[0] = '\0';
        if (!AppendText(text, &length, start, static_cast<size_t>(lex->start - start))) return false;
        LexNext(lex);
        while (lex->kind == Tok::Ident) {  // the conventions
            if (!Append(text, &length, " ") || !AppendText(text, &length, lex->start, lex->length)) return false;
            LexNext(lex);
        }
        LexNext(lex);  // '*'
        if (lex->kind != Tok::Ident) return CallFail("%s: expected the method's name after * at %s", where, LexShown(*lex));
        if (!Append(text, &length, " ") || !AppendText(text, &length, lex->start, lex->length)) return false;
        LexNext(lex);
        if (!LexIsPunct(*lex, ')')) return CallFail("%s: expected ) after the name at %s", where, LexShown(*lex));
        LexNext(lex);
        if (!LexIsPunct(*lex, '(')) return CallFail("%s: expected its parameters at %s", where, LexShown(*lex));
        if (!AppendParams(lex, out->name, ThisIs::Written, text, &length)) return FailAt(where);
        if (!LexIsPunct(*lex, ';')) return CallFail("%s: expected ; at %s", where, LexShown(*lex));
        LexNext(lex);
        if (!AddMethod(out, where)) return false;
    }
    return true;
}

// The C++ form's and DECLARE_INTERFACE_'s methods:
//   virtual result STDMETHODCALLTYPE Name(params) = 0;
//   STDMETHOD(Name)(THIS_ params) PURE;   STDMETHOD_(result, Name)(THIS) PURE;
static bool ReadClassMethods(Lexer* lex, Declared* out) {
    char* text = g_state.interfaces.method;
    while (!LexIsPunct(*lex, '}')) {
        char where[48];
        snprintf(where, sizeof where, "method %d", out->count + 1);
        if (lex->kind == Tok::End) return CallFail("expected } to end %s", out->name);
        if (LexIsWord(*lex, "public") || LexIsWord(*lex, "BEGIN_INTERFACE") || LexIsWord(*lex, "END_INTERFACE")) {
            LexNext(lex);
            if (LexIsPunct(*lex, ':')) LexNext(lex);
            continue;
        }
        if (!SkipXfg(lex)) return false;
        size_t length = 0;
        text[0] = '\0';
        ThisIs form = ThisIs::Missing;
        if (LexIsWord(*lex, "STDMETHOD") || LexIsWord(*lex, "STDMETHOD_")) {
            bool typed = LexIsWord(*lex, "STDMETHOD_");
            LexNext(lex);
            if (!LexIsPunct(*lex, '(')) return CallFail("%s: expected ( after STDMETHOD", where);
            const char* inside = lex->start + 1;
            const char* end;
            Lexer name = *lex;
            for (Lexer scan = *lex; !LexIsPunct(scan, ')') && scan.kind != Tok::End; LexNext(&scan))
                if (scan.kind == Tok::Ident) name = scan;
            if (name.kind != Tok::Ident) return CallFail("%s: expected the method's name in STDMETHOD", where);
            if (!SkipParens(lex, &end)) return FailAt(where);
            if (typed) {
                const char* comma = name.start;
                while (comma > inside && *comma != ',') --comma;
                if (*comma != ',') return CallFail("%s: STDMETHOD_ takes the result type and the name", where);
                if (!AppendText(text, &length, inside, static_cast<size_t>(comma - inside))) return false;
            } else if (!Append(text, &length, "HRESULT")) {
                return false;
            }
            if (!Append(text, &length, " STDMETHODCALLTYPE ") || !AppendText(text, &length, name.start, name.length))
                return false;
            form = ThisIs::Macro;
        } else {
            if (!LexIsWord(*lex, "virtual"))
                return CallFail("%s: expected virtual or STDMETHOD at %s (only virtual methods take slots)", where,
                                LexShown(*lex));
            LexNext(lex);
            const char* start = lex->start;
            // The name stands before the group that ; = PURE or const follow.
            Lexer previous = *lex;
            for (;;) {
                if (lex->kind == Tok::End || LexIsPunct(*lex, ';') || LexIsPunct(*lex, '}'))
                    return CallFail("%s: expected its parameters at %s", where, LexShown(*lex));
                if (!LexIsPunct(*lex, '(')) {
                    previous = *lex;
                    LexNext(lex);
                    continue;
                }
                Lexer after = *lex;
                const char* end;
                if (!SkipParens(&after, &end)) return FailAt(where);
                if (LexIsPunct(after, ';') || LexIsPunct(after, '=') || LexIsWord(after, "PURE") ||
                    LexIsWord(after, "const") || LexIsWord(after, "CONST"))
                    break;
                previous = *lex;
                *lex = after;
            }
            if (previous.kind != Tok::Ident) return CallFail("%s: expected the method's name at %s", where, LexShown(previous));
            if (!AppendText(text, &length, start, static_cast<size_t>(lex->start - start))) return false;
        }
        if (!LexIsPunct(*lex, '(')) return CallFail("%s: expected its parameters at %s", where, LexShown(*lex));
        if (!AppendParams(lex, out->name, form, text, &length)) return FailAt(where);
        if (LexIsWord(*lex, "const") || LexIsWord(*lex, "CONST")) LexNext(lex);
        if (LexIsWord(*lex, "PURE")) {
            LexNext(lex);
        } else if (LexIsPunct(*lex, '=')) {
            LexNext(lex);
            if (!(lex->kind == Tok::Number && lex->length == 1 && *lex->start == '0'))
                return CallFail("%s: expected = 0 at %s", where, LexShown(*lex));
            LexNext(lex);
        }
        if (!LexIsPunct(*lex, ';')) return CallFail("%s: expected ; at %s", where, LexShown(*lex));
        LexNext(lex);
        if (!AddMethod(out, where)) return false;
    }
    return true;
}

static bool ReadName(Lexer* lex, char* name, const char* what) {
    if (lex->kind != Tok::Ident) return CallFail("expected %s at %s", what, LexShown(*lex));
    if (lex->length >= TypedNameBytes) return CallFail("%s of more than %d characters", what, TypedNameBytes - 1);
    LexCopyName(*lex, name);
    LexNext(lex);
    return true;
}

// The three forms, after the uuid words in front of them.
static bool ReadDeclaration(Lexer* lex, Declared* out) {
    if (LexIsWord(*lex, "typedef") || LexIsWord(*lex, "struct")) {
        if (LexIsWord(*lex, "typedef")) LexNext(lex);
        LexNext(lex);  // struct
        if (LexIsWord(*lex, "DECLSPEC_UUID")) {  // struct DECLSPEC_UUID("...") IFoo : public IBar
            LexNext(lex);
            if (!ReadUuidGroup(lex, out)) return false;
        }
        while (LexIsWord(*lex, "DECLSPEC_NOVTABLE")) LexNext(lex);
        char tag[TypedNameBytes];
        if (!ReadName(lex, tag, "the interface's name")) return false;
        int n = static_cast<int>(strlen(tag));
        bool vtbl = n > 4 && strcmp(tag + n - 4, "Vtbl") == 0;
        if (!vtbl && !LexIsPunct(*lex, ':'))
            return CallFail("expected the vtable structure IFooVtbl or IFoo : public IBase, not %s", tag);
        if (!vtbl) {
            CopyBounded(out->name, TypedNameBytes, tag);
        } else {
            tag[n - 4] = '\0';
            CopyBounded(out->name, TypedNameBytes, tag);
            out->listsEverySlot = true;
        }
    } else if (LexIsWord(*lex, "DECLARE_INTERFACE_") || LexIsWord(*lex, "DECLARE_INTERFACE") ||
               LexIsWord(*lex, "DECLARE_INTERFACE_IID_") || LexIsWord(*lex, "DECLARE_INTERFACE_IID")) {
        bool hasBase = LexIsWord(*lex, "DECLARE_INTERFACE_") || LexIsWord(*lex, "DECLARE_INTERFACE_IID_");
        bool hasIid = LexIsWord(*lex, "DECLARE_INTERFACE_IID_") || LexIsWord(*lex, "DECLARE_INTERFACE_IID");
        LexNext(lex);
        if (!LexIsPunct(*lex, '(')) return CallFail("expected ( after DECLARE_INTERFACE");
        LexNext(lex);
        if (!ReadName(lex, out->name, "the interface's name")) return false;
        if (hasBase) {
            if (!LexIsPunct(*lex, ',')) return CallFail("expected , and the base interface at %s", LexShown(*lex));
            LexNext(lex);
            if (!ReadName(lex, out->baseName, "the base interface")) return false;
        }
        if (hasIid) {
            if (!LexIsPunct(*lex, ',') || (LexNext(lex), lex->kind != Tok::Quoted))
                return CallFail("expected , and the uuid in quotes at %s", LexShown(*lex));
            char quoted[48];
            int length = lex->length - 2 < 47 ? lex->length - 2 : 47;
            memcpy(quoted, lex->start + 1, length > 0 ? length : 0);
            quoted[length > 0 ? length : 0] = '\0';
            if (!ReadGuidText(quoted, &out->iid)) return CallFail("'%.40s' is not a uuid", quoted);
            out->hasIid = true;
            LexNext(lex);
        }
        if (!LexIsPunct(*lex, ')')) return CallFail("expected ) after the interface's name at %s", LexShown(*lex));
        LexNext(lex);
        if (!LexIsPunct(*lex, '{')) return CallFail("expected { at %s", LexShown(*lex));
        LexNext(lex);
        return true;
    } else {
        // MIDL_INTERFACE("...") IFoo, interface IFoo, class IFoo, after the uuid words.
        if (LexIsWord(*lex, "interface") || LexIsWord(*lex, "class")) LexNext(lex);
        if (LexIsWord(*lex, "DECLSPEC_UUID") || LexIsWord(*lex, "DX_DECLARE_INTERFACE")) {
            LexNext(lex);
            if (!ReadUuidGroup(lex, out)) return false;
        }
        while (LexIsWord(*lex, "DECLSPEC_NOVTABLE")) LexNext(lex);
        if (!ReadName(lex, out->name, "the interface's name")) return false;
    }
    if (LexIsPunct(*lex, ':')) {
        LexNext(lex);
        if (LexIsWord(*lex, "public")) LexNext(lex);
        if (!ReadName(lex, out->baseName, "the base interface")) return false;
    }
    if (!LexIsPunct(*lex, '{')) return CallFail("expected { at %s", LexShown(*lex));
    LexNext(lex);
    return true;
}

// ---- DLLINTERFACE ------------------------------------------------------------------------

static DWORD TextHash(const char* text) {
    DWORD hash = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) hash = (hash ^ *p) * 16777619u;
    return hash;
}

// The declared interface whose every method is, by name and in order, where this one's
// first methods are: the C form lists its bases' slots itself. The interface being
// declared again, and those derived from it, are no candidates.
static int BaseOfListedSlots(const Prototype* methods, int count, int existing) {
    InterfacesState& st = g_state.interfaces;
    int best = -1, bestSlots = 0;
    for (int i = 0; i < st.count; ++i) {
        if (existing >= 0 && InterfaceDerivesFrom(i, existing)) continue;
        int slots = SlotsBefore(i) + st.types[i].count;
        if (slots > count || slots <= bestSlots) continue;
        bool same = true;
        for (int s = 0; s < slots && same; ++s) {
            int found;
            const Prototype* method = FindInterfaceMethod(i, methods[s].name, &found);
            same = method && found == s;
        }
        if (same) best = i, bestSlots = slots;
    }
    return best;
}

// Parses and enters one declaration; answers false with DLLERROR set, the table as it was.
static bool DeclareText(const char* text) {
    InterfacesState& st = g_state.interfaces;
    Declared declared = {};
    Lexer lex;
    LexBegin(&lex, text);
    // What stands in front: DEFINE_GUID(...), uuid(...), MIDL_INTERFACE("..."),
    // EXTERN_C const IID IID_IFoo;
    for (bool more = true; more;) {
        if (LexIsWord(lex, "DEFINE_GUID")) {
            if (!ReadDefineGuid(&lex, &declared)) return false;
        } else if (LexIsWord(lex, "uuid") || LexIsWord(lex, "MIDL_INTERFACE") || LexIsWord(lex, "DECLSPEC_UUID") ||
                   LexIsWord(lex, "DX_DECLARE_INTERFACE")) {
            LexNext(&lex);
            if (!ReadUuidGroup(&lex, &declared)) return false;
        } else if (LexIsWord(lex, "EXTERN_C") || LexIsWord(lex, "extern")) {
            while (lex.kind != Tok::End && !LexIsPunct(lex, ';')) LexNext(&lex);
            LexNext(&lex);
        } else {
            more = false;
        }
    }
    if (!ReadDeclaration(&lex, &declared)) return false;
    int existing = -1;
    for (int i = 0; i < st.count; ++i)
        if (strcmp(st.types[i].name, declared.name) == 0) existing = i;
    if (existing < 0 && st.count >= InterfaceCount) return CallFail("more than %d interfaces", InterfaceCount);
    if (existing >= 0 && existing <= InterfaceDispatch && st.count > InterfaceDispatch)
        return CallFail("%s is known from the start and cannot be declared again", declared.name);
    int base = -1;
    if (declared.baseName[0]) {
        base = FindInterface(declared.baseName, static_cast<int>(strlen(declared.baseName)));
        if (base < 0)
            return CallFail("base interface %s of %s is not declared (declare it with DLLINTERFACE first; IUnknown "
                            "and IDispatch are known)", declared.baseName, declared.name);
        if (existing >= 0 && InterfaceDerivesFrom(base, existing))
            return CallFail("%s cannot derive from %s, which derives from it", declared.name, declared.baseName);
    }

    // The methods, read while the name is known as a type for This.
    CopyBounded(st.pending, TypedNameBytes, declared.name);
    st.pendingIndex = existing >= 0 ? existing : st.count;
    bool ok = declared.listsEverySlot ? ReadCMethods(&lex, &declared) : ReadClassMethods(&lex, &declared);
    st.pending[0] = '\0';
    if (!ok) return false;
    LexNext(&lex);  // past '}'
    if (declared.listsEverySlot && lex.kind == Tok::Ident) LexNext(&lex);  // } IFooVtbl
    if (LexIsPunct(lex, ';')) LexNext(&lex);
    if (lex.kind != Tok::End) return CallFail("unexpected %s after the interface", LexShown(lex));
    if (declared.count == 0) return CallFail("interface %s has no methods", declared.name);

    Prototype* added = &st.methods[st.methodCount];
    int first = 0;
    if (declared.listsEverySlot) {
        base = BaseOfListedSlots(added, declared.count, existing);
        first = base >= 0 ? SlotsBefore(base) + st.types[base].count : 0;
    } else if (base >= 0) {
        // Headers of the older kind list the base's methods again: taken as the base's.
        int slots = SlotsBefore(base) + st.types[base].count, found;
        if (FindInterfaceMethod(base, added[0].name, &found) && found == 0) {
            for (int s = 0; s < slots; ++s)
                if (s >= declared.count || !FindInterfaceMethod(base, added[s].name, &found) || found != s)
                    return CallFail("%s repeats only part of %s's methods: list all of them in order, or none",
                                    declared.name, declared.baseName);
            first = slots;
        }
    }
    if (first >= declared.count) return CallFail("interface %s has no methods of its own", declared.name);
    DWORD hash = TextHash(text);
    if (existing >= 0 && st.types[existing].textHash == hash) return true;  // a script that runs again

    // Enter it: a replaced interface's methods give way, those after them move down.
    int own = declared.count - first;
    if (first) memmove(added, added + first, own * sizeof(Prototype));
    if (existing >= 0) {
        InterfaceType& old = st.types[existing];
        int tail = st.methodCount + own - (old.first + old.count);
        memmove(&st.methods[old.first], &st.methods[old.first + old.count], tail * sizeof(Prototype));
        for (int i = 0; i < st.count; ++i)
            if (st.types[i].first > old.first) st.types[i].first -= old.count;
        st.methodCount -= old.count;
        TypedOutForgetMethods();
    }
    int index = existing >= 0 ? existing : st.count++;
    InterfaceType& type = st.types[index];
    CopyBounded(type.name, TypedNameBytes, declared.name);
    type.iid = declared.iid;
    type.hasIid = declared.hasIid;
    type.base = base;
    type.first = st.methodCount;
    type.count = own;
    type.textHash = hash;
    st.methodCount += own;
    return true;
}

// DLLINTERFACE declaration: enters a pasted interface (C vtable structure, C++ class or
// DECLARE_INTERFACE_) under its name, replacing one of the same name. A refusal
// changes nothing and answers -1, with the reason in DLLERROR.
int InterfaceDeclare() {
    CallErrorClear();
    if (g_state.calls.depth) return CallFail("DLLINTERFACE while a call is running"), -1;
    char* text = g_state.calls.declaration;
    if (!JoinArguments(1, text, DeclarationBytes))
        return CallFail("the declaration is longer than %d characters", DeclarationBytes - 1), -1;
    if (!*text) return CallFail("no declaration given"), -1;
    return DeclareText(text) ? 0 : -1;
}

void InterfacesAtLoad() {
    static const char kUnknown[] =
        "DECLARE_INTERFACE_IID(IUnknown, \"00000000-0000-0000-C000-000000000046\") {"
        " STDMETHOD(QueryInterface)(THIS_ REFIID riid, void **ppvObject) PURE;"
        " STDMETHOD_(ULONG, AddRef)(THIS) PURE;"
        " STDMETHOD_(ULONG, Release)(THIS) PURE; };";
    static const char kDispatch[] =
        "DECLARE_INTERFACE_IID_(IDispatch, IUnknown, \"00020400-0000-0000-C000-000000000046\") {"
        " STDMETHOD(GetTypeInfoCount)(THIS_ UINT *pctinfo) PURE;"
        " STDMETHOD(GetTypeInfo)(THIS_ UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo) PURE;"
        " STDMETHOD(GetIDsOfNames)(THIS_ REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID lcid,"
        " DISPID *rgDispId) PURE;"
        " STDMETHOD(Invoke)(THIS_ DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,"
        " DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo, UINT *puArgErr) PURE; };";
    DeclareText(kUnknown);
    DeclareText(kDispatch);
    CallErrorClear();
}
