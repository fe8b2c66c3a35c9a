// Tokens, the table of type names, and reading a C type (specifiers, a name, '*'s).
// Shared by prototypes and structure declarations.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../com/interfaces.h"
#include "../host/state.h"
#include "../host/text.h"
#include "calls.h"
#include "constants.h"

// ---- DLLERROR ------------------------------------------------------------------------

static void SetError(const char* format, va_list args) {
    char* error = g_state.calls.error;
    vsnprintf(error, CallErrorBytes, format, args);
    error[CallErrorBytes - 1] = '\0';
}

bool CallFail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    SetError(format, args);
    va_end(args);
    return false;
}

bool CallFailValue(const char* format, ...) {
    va_list args;
    va_start(args, format);
    SetError(format, args);
    va_end(args);
    g_state.host.statusCode = StatusBadValue;
    // A name refused on the way says which (and the nearest known ones).
    char* hint = g_state.calls.constantHint;
    if (hint[0]) {
        size_t used = strlen(g_state.calls.error);
        snprintf(g_state.calls.error + used, CallErrorBytes - used, "%s", hint);
        hint[0] = '\0';
    }
    return false;
}

int CallRefused() {
    g_state.host.statusCode = StatusOk;
    return -1;
}

void CallErrorClear() { g_state.calls.error[0] = '\0', g_state.calls.constantHint[0] = '\0'; }

// ---- tokens --------------------------------------------------------------------------

static bool IdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
static bool IdentPart(char c) { return IdentStart(c) || (c >= '0' && c <= '9'); }

void LexBegin(Lexer* lex, const char* text) {
    lex->pos = text;
    LexNext(lex);
}

// Blanks and comments between tokens; an unclosed block comment runs to the end.
static const char* SkipSpace(const char* p) {
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
        if (p[0] == '/' && p[1] == '*') {
            const char* end = strstr(p + 2, "*/");
            p = end ? end + 2 : p + strlen(p);
        } else if (p[0] == '/' && p[1] == '/') {
            while (*p && *p != '\n') ++p;
        } else {
            return p;
        }
    }
}

void LexNext(Lexer* lex) {
    const char* p = SkipSpace(lex->pos);
    lex->start = p;
    if (!*p) {
        lex->kind = Tok::End;
    } else if (IdentStart(*p)) {
        while (IdentPart(*p)) ++p;
        lex->kind = Tok::Ident;
    } else if (*p >= '0' && *p <= '9') {
        while (IdentPart(*p)) ++p;  // 0x1F, 260U
        lex->kind = Tok::Number;
    } else if (*p == '"') {
        ++p;
        while (*p && *p != '"') ++p;
        if (*p) ++p;
        lex->kind = Tok::Quoted;
    } else if (p[0] == '.' && p[1] == '.' && p[2] == '.') {
        p += 3;
        lex->kind = Tok::Punct;
    } else {
        ++p;
        lex->kind = Tok::Punct;
    }
    lex->length = static_cast<int>(p - lex->start);
    lex->pos = p;
}

bool LexIsWord(const Lexer& lex, const char* word) {
    return lex.kind == Tok::Ident && static_cast<int>(strlen(word)) == lex.length &&
           memcmp(lex.start, word, lex.length) == 0;
}

bool LexIsPunct(const Lexer& lex, char c) {
    return lex.kind == Tok::Punct && lex.length == 1 && lex.start[0] == c;
}

const char* LexShown(const Lexer& lex) {
    char* shown = g_state.calls.shownToken;
    if (lex.kind == Tok::End) return "end of text";
    int n = lex.length < 32 ? lex.length : 32;
    shown[0] = '\'';
    memcpy(shown + 1, lex.start, n);
    strcpy(shown + 1 + n, lex.length > 32 ? "...'" : "'");
    return shown;
}

void LexCopyName(const Lexer& lex, char* name, int capacity) {
    int n = lex.length < capacity - 1 ? lex.length : capacity - 1;
    memcpy(name, lex.start, n);
    name[n] = '\0';
}

// ---- the type names ------------------------------------------------------------------
// As the system headers define them for 32-bit programs; generic (T) names are the
// ANSI ones.
struct TypeName {
    const char* name;
    Base base;
    unsigned char pointers;
    unsigned char flags;
};

static const TypeName kTypeNames[] = {
    // C
    {"void", Base::Void, 0, 0}, {"VOID", Base::Void, 0, 0}, {"char", Base::Char, 0, 0}, {"wchar_t", Base::WChar, 0, 0},
    {"__wchar_t", Base::WChar, 0, 0}, {"float", Base::F32, 0, 0}, {"double", Base::F64, 0, 0},
    {"bool", Base::Byte, 0, TypeBool}, {"__int8", Base::I8, 0, 0}, {"__int16", Base::I16, 0, 0},
    {"__int32", Base::I32, 0, 0}, {"__int64", Base::I64, 0, 0}, {"size_t", Base::U32, 0, 0},
    {"ptrdiff_t", Base::I32, 0, 0}, {"intptr_t", Base::I32, 0, 0}, {"uintptr_t", Base::U32, 0, 0},
    {"int8_t", Base::I8, 0, 0}, {"uint8_t", Base::Byte, 0, 0}, {"int16_t", Base::I16, 0, 0},
    {"uint16_t", Base::U16, 0, 0}, {"int32_t", Base::I32, 0, 0}, {"uint32_t", Base::U32, 0, 0},
    {"int64_t", Base::I64, 0, 0}, {"uint64_t", Base::U64, 0, 0}, {"time_t", Base::I64, 0, 0},
    // Windows scalars
    {"BOOL", Base::I32, 0, TypeBool}, {"BOOLEAN", Base::Byte, 0, TypeBool}, {"BYTE", Base::Byte, 0, 0},
    {"UCHAR", Base::Byte, 0, 0}, {"CHAR", Base::Char, 0, 0}, {"CCHAR", Base::Char, 0, 0},
    {"TCHAR", Base::Char, 0, 0}, {"WCHAR", Base::WChar, 0, 0}, {"SHORT", Base::I16, 0, 0},
    {"USHORT", Base::U16, 0, 0}, {"WORD", Base::U16, 0, 0}, {"ATOM", Base::U16, 0, 0},
    {"LANGID", Base::U16, 0, 0}, {"INT", Base::I32, 0, 0}, {"UINT", Base::U32, 0, 0},
    {"LONG", Base::I32, 0, 0}, {"ULONG", Base::U32, 0, 0}, {"DWORD", Base::U32, 0, 0},
    {"INT8", Base::I8, 0, 0}, {"UINT8", Base::Byte, 0, 0}, {"INT16", Base::I16, 0, 0},
    {"UINT16", Base::U16, 0, 0}, {"INT32", Base::I32, 0, 0}, {"UINT32", Base::U32, 0, 0},
    {"LONG32", Base::I32, 0, 0}, {"ULONG32", Base::U32, 0, 0}, {"DWORD32", Base::U32, 0, 0},
    {"LONGLONG", Base::I64, 0, 0}, {"ULONGLONG", Base::U64, 0, 0}, {"INT64", Base::I64, 0, 0},
    {"UINT64", Base::U64, 0, 0}, {"DWORD64", Base::U64, 0, 0}, {"LONG64", Base::I64, 0, 0},
    {"ULONG64", Base::U64, 0, 0}, {"DWORDLONG", Base::U64, 0, 0}, {"LARGE_INTEGER", Base::I64, 0, 0},
    {"ULARGE_INTEGER", Base::U64, 0, 0}, {"INT_PTR", Base::I32, 0, 0}, {"UINT_PTR", Base::U32, 0, 0},
    {"LONG_PTR", Base::I32, 0, 0}, {"ULONG_PTR", Base::U32, 0, 0}, {"DWORD_PTR", Base::U32, 0, 0},
    {"SIZE_T", Base::U32, 0, 0}, {"SSIZE_T", Base::I32, 0, 0}, {"WPARAM", Base::U32, 0, 0},
    {"LPARAM", Base::I32, 0, 0}, {"LRESULT", Base::I32, 0, 0}, {"HRESULT", Base::I32, 0, TypeHex},
    {"NTSTATUS", Base::I32, 0, TypeHex}, {"COLORREF", Base::U32, 0, 0}, {"LCID", Base::U32, 0, 0},
    {"ACCESS_MASK", Base::U32, 0, 0}, {"REGSAM", Base::U32, 0, 0}, {"FLOAT", Base::F32, 0, 0},
    {"DOUBLE", Base::F64, 0, 0}, {"HFILE", Base::I32, 0, 0}, {"LCTYPE", Base::U32, 0, 0},
    // handles
    {"HANDLE", Base::Handle, 0, 0}, {"HWND", Base::Handle, 0, 0}, {"HINSTANCE", Base::Handle, 0, 0},
    {"HMODULE", Base::Handle, 0, 0}, {"HDC", Base::Handle, 0, 0}, {"HMENU", Base::Handle, 0, 0},
    {"HICON", Base::Handle, 0, 0}, {"HCURSOR", Base::Handle, 0, 0}, {"HBRUSH", Base::Handle, 0, 0},
    {"HPEN", Base::Handle, 0, 0}, {"HFONT", Base::Handle, 0, 0}, {"HBITMAP", Base::Handle, 0, 0},
    {"HGDIOBJ", Base::Handle, 0, 0}, {"HRGN", Base::Handle, 0, 0}, {"HPALETTE", Base::Handle, 0, 0},
    {"HKEY", Base::Handle, 0, 0}, {"HGLOBAL", Base::Handle, 0, 0}, {"HLOCAL", Base::Handle, 0, 0},
    {"HRSRC", Base::Handle, 0, 0}, {"HACCEL", Base::Handle, 0, 0}, {"HMONITOR", Base::Handle, 0, 0},
    {"HDESK", Base::Handle, 0, 0}, {"HWINSTA", Base::Handle, 0, 0}, {"HHOOK", Base::Handle, 0, 0},
    {"HDROP", Base::Handle, 0, 0}, {"HKL", Base::Handle, 0, 0}, {"HENHMETAFILE", Base::Handle, 0, 0},
    {"HMETAFILE", Base::Handle, 0, 0}, {"HCOLORSPACE", Base::Handle, 0, 0}, {"HGLRC", Base::Handle, 0, 0},
    {"HDWP", Base::Handle, 0, 0}, {"HCONV", Base::Handle, 0, 0}, {"HSZ", Base::Handle, 0, 0},
    {"HDDEDATA", Base::Handle, 0, 0}, {"HTASK", Base::Handle, 0, 0}, {"HINTERNET", Base::Handle, 0, 0},
    {"HIMAGELIST", Base::Handle, 0, 0}, {"HTREEITEM", Base::Handle, 0, 0}, {"HPROPSHEETPAGE", Base::Handle, 0, 0},
    {"HEVENT", Base::Handle, 0, 0}, {"HSEMAPHORE", Base::Handle, 0, 0}, {"HMIDI", Base::Handle, 0, 0},
    {"HWAVEOUT", Base::Handle, 0, 0}, {"HWAVEIN", Base::Handle, 0, 0}, {"HRAWINPUT", Base::Handle, 0, 0},
    {"HTHEME", Base::Handle, 0, 0}, {"HPOWERNOTIFY", Base::Handle, 0, 0}, {"HDEVNOTIFY", Base::Handle, 0, 0},
    {"HGESTUREINFO", Base::Handle, 0, 0}, {"HTOUCHINPUT", Base::Handle, 0, 0}, {"SC_HANDLE", Base::Handle, 0, 0},
    {"HCRYPTPROV", Base::Handle, 0, 0}, {"HCRYPTKEY", Base::Handle, 0, 0}, {"HCRYPTHASH", Base::Handle, 0, 0},
    {"SOCKET", Base::Handle, 0, 0}, {"FARPROC", Base::Handle, 0, 0}, {"PROC", Base::Handle, 0, 0},
    {"WNDPROC", Base::Handle, 0, 0}, {"HOOKPROC", Base::Handle, 0, 0}, {"DLGPROC", Base::Handle, 0, 0},
    {"WNDENUMPROC", Base::Handle, 0, 0}, {"TIMERPROC", Base::Handle, 0, 0}, {"MONITORENUMPROC", Base::Handle, 0, 0},
    {"WAITORTIMERCALLBACK", Base::Handle, 0, 0}, {"WINEVENTPROC", Base::Handle, 0, 0},
    {"FONTENUMPROCA", Base::Handle, 0, 0}, {"FONTENUMPROCW", Base::Handle, 0, 0}, {"FONTENUMPROC", Base::Handle, 0, 0},
    {"PROPENUMPROCA", Base::Handle, 0, 0}, {"ENUMRESNAMEPROCA", Base::Handle, 0, 0},
    {"LPTHREAD_START_ROUTINE", Base::Handle, 0, 0}, {"PTHREAD_START_ROUTINE", Base::Handle, 0, 0},
    {"PTIMERAPCROUTINE", Base::Handle, 0, 0}, {"SENDASYNCPROC", Base::Handle, 0, 0},
    // texts
    {"LPSTR", Base::Char, 1, 0}, {"PSTR", Base::Char, 1, 0}, {"NPSTR", Base::Char, 1, 0},
    {"LPCSTR", Base::Char, 1, TypeConst}, {"PCSTR", Base::Char, 1, TypeConst},
    {"LPWSTR", Base::WChar, 1, 0}, {"PWSTR", Base::WChar, 1, 0}, {"NWPSTR", Base::WChar, 1, 0},
    {"LPCWSTR", Base::WChar, 1, TypeConst}, {"PCWSTR", Base::WChar, 1, TypeConst},
    {"LPTSTR", Base::Char, 1, 0}, {"PTSTR", Base::Char, 1, 0}, {"LPCTSTR", Base::Char, 1, TypeConst},
    {"PCTSTR", Base::Char, 1, TypeConst}, {"PCHAR", Base::Char, 1, 0}, {"LPCH", Base::Char, 1, 0},
    {"PCH", Base::Char, 1, 0}, {"LPCCH", Base::Char, 1, TypeConst}, {"PWCHAR", Base::WChar, 1, 0},
    {"LPWCH", Base::WChar, 1, 0}, {"PWCH", Base::WChar, 1, 0}, {"LPCWCH", Base::WChar, 1, TypeConst},
    {"LPOLESTR", Base::WChar, 1, 0}, {"LPCOLESTR", Base::WChar, 1, TypeConst},
    // untyped memory
    {"LPVOID", Base::Void, 1, 0}, {"PVOID", Base::Void, 1, 0}, {"LPCVOID", Base::Void, 1, TypeConst},
    {"PCVOID", Base::Void, 1, TypeConst}, {"LPBYTE", Base::Byte, 1, 0}, {"PBYTE", Base::Byte, 1, 0},
    {"PUCHAR", Base::Byte, 1, 0}, {"PBOOLEAN", Base::Byte, 1, TypeBool},
    // pointers to scalars
    {"LPBOOL", Base::I32, 1, TypeBool}, {"PBOOL", Base::I32, 1, TypeBool}, {"LPWORD", Base::U16, 1, 0},
    {"PWORD", Base::U16, 1, 0}, {"PUSHORT", Base::U16, 1, 0}, {"PSHORT", Base::I16, 1, 0},
    {"LPINT", Base::I32, 1, 0}, {"PINT", Base::I32, 1, 0}, {"LPUINT", Base::U32, 1, 0},
    {"PUINT", Base::U32, 1, 0}, {"LPLONG", Base::I32, 1, 0}, {"PLONG", Base::I32, 1, 0},
    {"PULONG", Base::U32, 1, 0}, {"LPDWORD", Base::U32, 1, 0}, {"PDWORD", Base::U32, 1, 0},
    {"PLONGLONG", Base::I64, 1, 0}, {"PULONGLONG", Base::U64, 1, 0}, {"PINT64", Base::I64, 1, 0},
    {"PUINT64", Base::U64, 1, 0}, {"PDWORD64", Base::U64, 1, 0}, {"PLONG64", Base::I64, 1, 0},
    {"PULONG64", Base::U64, 1, 0}, {"PDWORDLONG", Base::U64, 1, 0}, {"PLARGE_INTEGER", Base::I64, 1, 0},
    {"PULARGE_INTEGER", Base::U64, 1, 0}, {"PDWORD_PTR", Base::U32, 1, 0}, {"PULONG_PTR", Base::U32, 1, 0},
    {"PLONG_PTR", Base::I32, 1, 0}, {"PUINT_PTR", Base::U32, 1, 0}, {"PINT_PTR", Base::I32, 1, 0},
    {"PSIZE_T", Base::U32, 1, 0}, {"PHANDLE", Base::Handle, 1, 0}, {"LPHANDLE", Base::Handle, 1, 0},
    {"PHKEY", Base::Handle, 1, 0}, {"PFLOAT", Base::F32, 1, 0}, {"LPCOLORREF", Base::U32, 1, 0},
    {"PLCID", Base::U32, 1, 0}, {"PHRESULT", Base::I32, 1, TypeHex},
    // COM
    {"GUID", Base::Guid, 0, 0}, {"IID", Base::Guid, 0, 0}, {"CLSID", Base::Guid, 0, 0},
    {"FMTID", Base::Guid, 0, 0}, {"REFGUID", Base::Guid, 1, TypeConst}, {"REFIID", Base::Guid, 1, TypeConst},
    {"REFCLSID", Base::Guid, 1, TypeConst}, {"REFFMTID", Base::Guid, 1, TypeConst}, {"LPGUID", Base::Guid, 1, 0},
    {"LPCGUID", Base::Guid, 1, TypeConst}, {"LPIID", Base::Guid, 1, 0}, {"LPCLSID", Base::Guid, 1, 0},
    {"BSTR", Base::WChar, 1, TypeBstr}, {"LPBSTR", Base::WChar, 2, TypeBstr}, {"OLECHAR", Base::WChar, 0, 0},
    {"VARIANT", Base::Variant, 0, 0}, {"VARIANTARG", Base::Variant, 0, 0}, {"LPVARIANT", Base::Variant, 1, 0},
    {"LPVARIANTARG", Base::Variant, 1, 0}, {"REFVARIANT", Base::Variant, 1, TypeConst},
    {"VARIANT_BOOL", Base::I16, 0, TypeBool}, {"VARTYPE", Base::U16, 0, 0}, {"DATE", Base::F64, 0, 0},
    {"SCODE", Base::I32, 0, TypeHex}, {"DISPID", Base::I32, 0, 0}, {"MEMBERID", Base::I32, 0, 0},
    {"CLIPFORMAT", Base::U16, 0, 0}, {"PROPID", Base::U32, 0, 0},
    // the shell's item lists and flag types (untyped addresses and 32-bit values)
    {"LPITEMIDLIST", Base::Void, 1, 0}, {"LPCITEMIDLIST", Base::Void, 1, TypeConst},
    {"PIDLIST_ABSOLUTE", Base::Void, 1, 0}, {"PCIDLIST_ABSOLUTE", Base::Void, 1, TypeConst},
    {"PIDLIST_RELATIVE", Base::Void, 1, 0}, {"PCIDLIST_RELATIVE", Base::Void, 1, TypeConst},
    {"PUIDLIST_RELATIVE", Base::Void, 1, 0}, {"PCUIDLIST_RELATIVE", Base::Void, 1, TypeConst},
    {"PITEMID_CHILD", Base::Void, 1, 0}, {"PCITEMID_CHILD", Base::Void, 1, TypeConst},
    {"PUITEMID_CHILD", Base::Void, 1, 0}, {"PCUITEMID_CHILD", Base::Void, 1, TypeConst},
    {"PCUITEMID_CHILD_ARRAY", Base::Void, 2, TypeConst}, {"PCUIDLIST_RELATIVE_ARRAY", Base::Void, 2, TypeConst},
    {"SHCONTF", Base::U32, 0, 0}, {"SFGAOF", Base::U32, 0, 0}, {"SIGDN", Base::I32, 0, 0},
    {"SICHINTF", Base::U32, 0, 0}, {"FILEOPENDIALOGOPTIONS", Base::U32, 0, 0}, {"SHGDNF", Base::U32, 0, 0},
    {"GETPROPERTYSTOREFLAGS", Base::I32, 0, 0}, {"SIATTRIBFLAGS", Base::I32, 0, 0}, {"FDAP", Base::I32, 0, 0},
    {"CDCONTROLSTATEF", Base::I32, 0, 0},
};

static bool SameName(const char* name, int length, const char* table) {
    return static_cast<int>(strlen(table)) == length && memcmp(name, table, length) == 0;
}

bool FindTypeName(const char* name, int length, TypeRef* type) {
    for (const TypeName& row : kTypeNames) {
        if (!SameName(name, length, row.name)) continue;
        type->base = row.base;
        type->pointers = row.pointers;
        type->flags = row.flags;
        type->structIndex = -1;
        return true;
    }
    const CallsState& calls = g_state.calls;
    for (int i = 0; i < calls.structNameCount; ++i) {
        if (!SameName(name, length, calls.structNames[i].name)) continue;
        type->base = Base::Struct;
        type->pointers = calls.structNames[i].pointers;
        type->flags = 0;
        type->structIndex = calls.structNames[i].structIndex;
        return true;
    }
    int index = FindInterface(name, length);
    if (index < 0) return false;
    type->base = Base::Interface;
    type->pointers = 0;
    type->flags = 0;
    type->structIndex = static_cast<signed char>(index);
    return true;
}

DWORD TypeSize(const TypeRef& type) {
    if (type.pointers) return 4;
    switch (type.base) {
    case Base::Void: return 0;
    case Base::Char: case Base::Byte: case Base::I8: return 1;
    case Base::WChar: case Base::I16: case Base::U16: return 2;
    case Base::I64: case Base::U64: case Base::F64: return 8;
    case Base::Guid: case Base::Variant: return 16;
    case Base::Struct: return g_state.calls.structs[type.structIndex].size;
    default: return 4;
    }
}

DWORD TypeAlign(const TypeRef& type) {
    if (!type.pointers && type.base == Base::Struct) return g_state.calls.structs[type.structIndex].align;
    if (!type.pointers && type.base == Base::Guid) return 4;
    if (!type.pointers && type.base == Base::Variant) return 8;
    DWORD size = TypeSize(type);
    return size ? size : 1;
}

// Words that qualify a type without changing what it is.
static bool IsQualifier(const Lexer& lex) {
    static const char* const kWords[] = {"const", "CONST", "volatile", "FAR", "NEAR", "far", "near",
                                         "__ptr32", "__unaligned", "UNALIGNED", "__restrict", "restrict"};
    for (const char* word : kWords)
        if (LexIsWord(lex, word)) return true;
    return false;
}

static bool IsSpecifier(const Lexer& lex) {
    static const char* const kWords[] = {"unsigned", "signed", "short", "long", "int"};
    for (const char* word : kWords)
        if (LexIsWord(lex, word)) return true;
    return false;
}

bool IsTypeWord(const Lexer& lex) {
    TypeRef unused;
    return lex.kind == Tok::Ident &&
           (IsQualifier(lex) || IsSpecifier(lex) || LexIsWord(lex, "struct") || LexIsWord(lex, "union") ||
            LexIsWord(lex, "enum") || FindTypeName(lex.start, lex.length, &unused));
}

// The base type the C specifiers spell: unsigned, signed, short, long (twice), int.
static Base SpecifiedBase(bool isUnsigned, int shorts, int longs, Base named, bool hasNamed) {
    if (hasNamed) {
        if (named == Base::Char) return isUnsigned ? Base::Byte : Base::Char;
        if (named == Base::F64) return Base::F64;  // long double is a double here
        if (named == Base::I64 && isUnsigned) return Base::U64;
        if (named == Base::I32 && isUnsigned) return Base::U32;
        if (named == Base::I16 && isUnsigned) return Base::U16;
        if (named == Base::I8 && isUnsigned) return Base::Byte;
        return named;
    }
    if (shorts) return isUnsigned ? Base::U16 : Base::I16;
    if (longs >= 2) return isUnsigned ? Base::U64 : Base::I64;
    return isUnsigned ? Base::U32 : Base::I32;
}

// A name no table knows, standing before '*': IFoo (capital I, then a capital) is an
// interface nothing more is known of; inside a pasted interface any other is an
// untyped address (headers name structures the script has no need to declare).
static bool UnknownPointee(const Lexer& lex, TypeRef* named) {
    Lexer ahead = lex;
    LexNext(&ahead);
    while (IsQualifier(ahead)) LexNext(&ahead);
    if (!LexIsPunct(ahead, '*')) return false;
    bool interfaceName = lex.length >= 2 && lex.start[0] == 'I' && lex.start[1] >= 'A' && lex.start[1] <= 'Z';
    if (!interfaceName && !InterfaceBeingDeclared()) return false;
    memset(named, 0, sizeof *named);
    named->base = interfaceName ? Base::Interface : Base::Void;
    named->structIndex = -1;
    return true;
}

bool ParseType(Lexer* lex, TypeRef* type, const char* where, int* stars) {
    memset(type, 0, sizeof *type);
    if (stars) *stars = 0;
    type->structIndex = -1;
    bool isUnsigned = false, specified = false, hasNamed = false, isConst = false;
    int shorts = 0, longs = 0;
    TypeRef named = {};
    const char* nameStart = lex->start;
    const char* nameEnd = lex->start;
    for (;;) {
        if (lex->kind == Tok::Ident && IsQualifier(*lex)) {
            if (LexIsWord(*lex, "const") || LexIsWord(*lex, "CONST")) isConst = true;
        } else if (!hasNamed && lex->kind == Tok::Ident && IsSpecifier(*lex)) {
            specified = true;
            if (LexIsWord(*lex, "unsigned")) isUnsigned = true;
            if (LexIsWord(*lex, "short")) ++shorts;
            if (LexIsWord(*lex, "long")) ++longs;
        } else if (!hasNamed && (LexIsWord(*lex, "struct") || LexIsWord(*lex, "union") ||
                                 LexIsWord(*lex, "enum"))) {
            bool isEnum = LexIsWord(*lex, "enum");
            LexNext(lex);
            if (lex->kind != Tok::Ident) return CallFail("expected a structure name in %s at %s", where, LexShown(*lex));
            char tag[TypedNameBytes];
            LexCopyName(*lex, tag);
            if (isEnum) {
                named.base = Base::I32;
            } else {
                int index = FindStruct(tag);
                Lexer ahead = *lex;
                LexNext(&ahead);
                if (index < 0 && !LexIsPunct(ahead, '*'))
                    return CallFail("unknown structure %s in %s (declare it with DLLSTRUCT first)", tag, where);
                // A pointer to a structure not (yet) declared, such as the structure's
                // own type inside it, is an untyped address.
                named.base = index < 0 ? Base::Void : Base::Struct;
                named.structIndex = static_cast<signed char>(index);
            }
            hasNamed = true;
        } else if (!hasNamed && !specified && lex->kind == Tok::Ident) {
            if (!FindTypeName(lex->start, lex->length, &named) && !UnknownPointee(*lex, &named)) {
                char unknown[TypedNameBytes];
                LexCopyName(*lex, unknown);
                bool pointerName = (unknown[0] == 'L' && unknown[1] == 'P') || unknown[0] == 'P';
                return CallFail(pointerName ? "unknown type %s in %s (a pointer to a structure needs DLLSTRUCT first)"
                                : InterfaceBeingDeclared() ? "unknown type %s in %s (an enumeration or flags type: "
                                                             "write DWORD or int in its place)"
                                                           : "unknown type %s in %s",
                                unknown, where);
            }
            hasNamed = true;
        } else if (specified && !hasNamed && (LexIsWord(*lex, "char") || LexIsWord(*lex, "double") ||
                                               LexIsWord(*lex, "__int64") || LexIsWord(*lex, "__int32") ||
                                               LexIsWord(*lex, "__int16") || LexIsWord(*lex, "__int8"))) {
            FindTypeName(lex->start, lex->length, &named);  // unsigned char, long double ...
            hasNamed = true;
        } else if (LexIsPunct(*lex, '*') || LexIsPunct(*lex, '&')) {
            if (!hasNamed && !specified) return CallFail("expected a type before '*' in %s", where);
            if (type->pointers == 0 && isConst) type->flags |= TypeConst;
            // The level is kept in a byte: more would wrap it round to a value.
            if (type->pointers >= DeclarationNestingMax)
                return CallFail("more than %d levels of '*' in %s", DeclarationNestingMax, where);
            ++type->pointers;
            if (stars) ++*stars;
        } else {
            break;
        }
        nameEnd = lex->start + lex->length;
        LexNext(lex);
    }
    if (!hasNamed && !specified) return CallFail("expected a type in %s at %s", where, LexShown(*lex));
    type->base = SpecifiedBase(isUnsigned, shorts, longs, named.base, hasNamed);
    type->structIndex = named.structIndex;
    type->flags |= named.flags;
    if (named.pointers && isConst) type->flags |= TypeConst;  // const LPSTR ... is close enough
    type->pointers = static_cast<unsigned char>(type->pointers + named.pointers);
    int n = static_cast<int>(nameEnd - nameStart);
    if (n > TypedNameBytes - 1) n = TypedNameBytes - 1;
    memcpy(type->name, nameStart, n);
    type->name[n] = '\0';
    return true;
}

// ---- counts of array elements ----------------------------------------------------------

struct NamedConstant {
    const char* name;
    DWORD value;
};
static const NamedConstant kConstants[] = {
    {"MAX_PATH", 260}, {"ANYSIZE_ARRAY", 1}, {"LF_FACESIZE", 32}, {"LF_FULLFACESIZE", 64},
    {"CCHDEVICENAME", 32}, {"CCHFORMNAME", 32}, {"MAX_COMPUTERNAME_LENGTH", 15}, {"UNLEN", 256},
    {"MAX_MODULE_NAME32", 255}, {"MAX_DEFAULTCHAR", 2}, {"MAX_LEADBYTES", 12},
    {"WSADESCRIPTION_LEN", 256}, {"WSASYS_STATUS_LEN", 128}, {"CCHILDREN_TITLEBAR", 5},
};
constexpr ULONGLONG CountLimit = 1u << 24;

static bool ParseCountSum(Lexer* lex, ULONGLONG* value, const char* where, int depth);

static bool ParseCountTerm(Lexer* lex, ULONGLONG* value, const char* where, int depth) {
    if (LexIsPunct(*lex, '(')) {
        if (depth >= DeclarationNestingMax)
            return CallFail("parentheses nested more than %d deep in the count of %s", DeclarationNestingMax, where);
        LexNext(lex);
        if (!ParseCountSum(lex, value, where, depth + 1)) return false;
        if (!LexIsPunct(*lex, ')')) return CallFail("expected ) in %s at %s", where, LexShown(*lex));
        LexNext(lex);
        return true;
    }
    if (lex->kind == Tok::Number) {
        char digits[24];
        int n = lex->length < 23 ? lex->length : 23;
        memcpy(digits, lex->start, n);
        digits[n] = '\0';
        char* end = nullptr;
        *value = strtoull(digits, &end, 0);
        while (*end == 'u' || *end == 'U' || *end == 'l' || *end == 'L') ++end;
        if (*end || *value > CountLimit) return CallFail("bad count %s in %s", LexShown(*lex), where);
        LexNext(lex);
        return true;
    }
    for (const NamedConstant& constant : kConstants) {
        if (!LexIsWord(*lex, constant.name)) continue;
        *value = constant.value;
        LexNext(lex);
        return true;
    }
    // Any other of the system's constants (KL_NAMELENGTH, MAX_PROFILE_LEN), as the
    // headers size their arrays: a count of 0 to the limit.
    ConstantValue constant;
    if (lex->kind == Tok::Ident && FindConstant(lex->start, static_cast<size_t>(lex->length), &constant)) {
        if (constant.handle || ConstantNegative(constant) || constant.bits > CountLimit)
            return CallFail("bad count %s in %s", LexShown(*lex), where);
        *value = constant.bits;
        LexNext(lex);
        return true;
    }
    return CallFail("expected a count in %s at %s", where, LexShown(*lex));
}

static bool ParseCountProduct(Lexer* lex, ULONGLONG* value, const char* where, int depth) {
    if (!ParseCountTerm(lex, value, where, depth)) return false;
    while (LexIsPunct(*lex, '*')) {
        LexNext(lex);
        ULONGLONG factor;
        if (!ParseCountTerm(lex, &factor, where, depth)) return false;
        *value *= factor;
        if (*value > CountLimit) return CallFail("count too large in %s", where);
    }
    return true;
}

static bool ParseCountSum(Lexer* lex, ULONGLONG* value, const char* where, int depth) {
    if (!ParseCountProduct(lex, value, where, depth)) return false;
    while (LexIsPunct(*lex, '+') || LexIsPunct(*lex, '-')) {
        bool minus = LexIsPunct(*lex, '-');
        LexNext(lex);
        ULONGLONG term;
        if (!ParseCountProduct(lex, &term, where, depth)) return false;
        if (minus && term > *value) return CallFail("negative count in %s", where);
        *value = minus ? *value - term : *value + term;
        if (*value > CountLimit) return CallFail("count too large in %s", where);
    }
    return true;
}

bool ParseCount(Lexer* lex, DWORD* value, const char* where) {
    ULONGLONG sum;
    if (!ParseCountSum(lex, &sum, where, 0)) return false;
    *value = static_cast<DWORD>(sum);
    return true;
}
