// Reading a C prototype, as the documentation and the headers print it, into a call
// description: per parameter how it travels, its converter and its place among the
// words; the convention; the result's kind; the bytes a __stdcall callee removes.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "../host/state.h"
#include "calls.h"

bool JoinArguments(int first, char* out, size_t capacity, int* next) {
    size_t length = 0;
    int depth = 0;  // of parentheses, for `next`
    bool opened = false;
    out[0] = '\0';
    int i = first;
    for (; i < MaxArgs && *Arg(i); ++i) {
        if (next && i > first && !(opened && depth > 0)) break;
        size_t piece = strlen(Arg(i)) + (i > first ? 2 : 0);
        if (length + piece >= capacity) return false;
        if (i > first) {
            memcpy(out + length, ", ", 2);
            length += 2;
        }
        for (const char* p = Arg(i); *p; ++p) {
            if (*p == '(') ++depth, opened = true;
            if (*p == ')') --depth;
        }
        strcpy(out + length, Arg(i));
        length += strlen(Arg(i));
    }
    if (next) *next = i;
    return true;
}

// ---- annotations ---------------------------------------------------------------------

static bool IsConventionWord(const Lexer& lex, bool* isCdecl) {
    static const char* const kStdcall[] = {"WINAPI", "APIENTRY", "CALLBACK", "NTAPI", "__stdcall", "_stdcall",
                                           "PASCAL", "WINAPI_INLINE", "STDMETHODCALLTYPE"};
    static const char* const kCdecl[] = {"__cdecl", "_cdecl", "cdecl", "WINAPIV", "CDECL", "__CRTDECL",
                                         "STDMETHODVCALLTYPE"};
    for (const char* word : kStdcall)
        if (LexIsWord(lex, word)) return *isCdecl = false, true;
    for (const char* word : kCdecl)
        if (LexIsWord(lex, word)) return *isCdecl = true, true;
    return false;
}

// Words in front of a declaration that say nothing about the call.
static bool IsDeclarationWord(const Lexer& lex) {
    static const char* const kWords[] = {"extern", "static", "inline", "__inline", "WINBASEAPI", "WINUSERAPI",
                                         "WINGDIAPI", "WINADVAPI", "NTSYSAPI", "NTSYSCALLAPI", "DECLSPEC_IMPORT",
                                         "WINSHELLAPI", "WINMMAPI", "_ACRTIMP", "_CRTIMP", "__declspec"};
    for (const char* word : kWords)
        if (LexIsWord(lex, word)) return true;
    return lex.kind == Tok::Quoted;  // extern "C"
}

// A source annotation: _In_, _Out_writes_(n), __in_opt, __out_ecount(n) ...
static bool IsAnnotationWord(const Lexer& lex) {
    if (lex.kind != Tok::Ident || IsTypeWord(lex)) return false;
    const char* s = lex.start;
    int n = lex.length;
    if (n >= 3 && s[0] == '_' && isupper(static_cast<unsigned char>(s[1])) && s[n - 1] == '_') return true;
    static const char* const kOld[] = {"__in", "__out", "__inout", "__deref", "__reserved", "__success",
                                       "__checkReturn", "__drv_", "__nullterminated", "__callback", "__RPC__"};
    for (const char* word : kOld)
        if (n >= static_cast<int>(strlen(word)) && memcmp(s, word, strlen(word)) == 0) return true;
    return false;
}

// Skips a balanced parenthesised group; the first identifier inside, when it stands
// alone or behind '*', is the size name of a _writes_ annotation.
static bool SkipGroup(Lexer* lex, char* sizeName) {
    int depth = 0;
    bool first = true;
    do {
        if (lex->kind == Tok::End) return CallFail("unclosed ( in an annotation");
        if (LexIsPunct(*lex, '(')) ++depth;
        if (LexIsPunct(*lex, ')')) --depth;
        if (sizeName && first && lex->kind == Tok::Ident) {
            LexCopyName(*lex, sizeName);
            first = false;
        } else if (sizeName && !LexIsPunct(*lex, '(') && !LexIsPunct(*lex, '*')) {
            first = false;
        }
        LexNext(lex);
    } while (depth > 0);
    return true;
}

// The words that say which way a parameter goes and whether the group after them
// names its count: the documentation's tags, the headers' words and the source
// annotations, old and new. The first row that fits decides; a row ending in '_'
// fits every word it begins, another one the word itself and its '_' forms
// (__in_opt, __out_ecount_part). Annotations in none of the rows say nothing.
enum class Spelling : unsigned char { Tag, Word, Prefix };  // Tag: inside [ ]
enum class Counts : unsigned char { None, Elements, Bytes };
struct AnnotationWord {
    const char* word;
    Spelling spelling;
    unsigned char direction;  // ParamIn, ParamOut
    Counts counts;
};
static const AnnotationWord kAnnotationWords[] = {
    {"in", Spelling::Tag, ParamIn, Counts::None},
    {"out", Spelling::Tag, ParamOut, Counts::None},
    {"IN", Spelling::Word, ParamIn, Counts::None},
    {"OUT", Spelling::Word, ParamOut, Counts::None},
    {"OPTIONAL", Spelling::Word, 0, Counts::None},
    {"_Inout_updates_bytes_", Spelling::Prefix, ParamIn | ParamOut, Counts::Bytes},
    {"_Inout_updates_", Spelling::Prefix, ParamIn | ParamOut, Counts::Elements},
    {"_Inout_", Spelling::Prefix, ParamIn | ParamOut, Counts::None},
    {"_In_reads_bytes_", Spelling::Prefix, ParamIn, Counts::Bytes},
    {"_In_reads_", Spelling::Prefix, ParamIn, Counts::Elements},
    {"_In_", Spelling::Prefix, ParamIn, Counts::None},
    {"_Out_writes_bytes_", Spelling::Prefix, ParamOut, Counts::Bytes},
    {"_Out_writes_", Spelling::Prefix, ParamOut, Counts::Elements},
    {"_Out_", Spelling::Prefix, ParamOut, Counts::None},
    {"_Outptr_", Spelling::Prefix, ParamOut, Counts::None},
    {"_COM_Outptr_", Spelling::Prefix, ParamOut, Counts::None},
    {"_Deref_out_", Spelling::Prefix, ParamOut, Counts::None},
    {"__inout_bcount", Spelling::Prefix, ParamIn | ParamOut, Counts::Bytes},
    {"__inout_ecount", Spelling::Prefix, ParamIn | ParamOut, Counts::Elements},
    {"__inout", Spelling::Prefix, ParamIn | ParamOut, Counts::None},
    {"__in_bcount", Spelling::Prefix, ParamIn, Counts::Bytes},
    {"__in_ecount", Spelling::Prefix, ParamIn, Counts::Elements},
    {"__in", Spelling::Prefix, ParamIn, Counts::None},
    {"__out_bcount", Spelling::Prefix, ParamOut, Counts::Bytes},
    {"__out_ecount", Spelling::Prefix, ParamOut, Counts::Elements},
    {"__out", Spelling::Prefix, ParamOut, Counts::None},
    {"__deref_out", Spelling::Prefix, ParamOut, Counts::None},
};

static const AnnotationWord* FindAnnotationWord(const Lexer& lex, bool inTag) {
    if (lex.kind != Tok::Ident) return nullptr;
    for (const AnnotationWord& row : kAnnotationWords) {
        if ((row.spelling == Spelling::Tag) != inTag) continue;
        int n = static_cast<int>(strlen(row.word));
        if (lex.length < n || memcmp(lex.start, row.word, n) != 0) continue;
        if (lex.length == n) return &row;
        if (row.spelling == Spelling::Prefix && (row.word[n - 1] == '_' || lex.start[n] == '_')) return &row;
    }
    return nullptr;
}

// Tags and annotations before (or after) a parameter's type: [in], [out], [in, out],
// [optional], IN, OUT, OPTIONAL and the source annotations. Sets the parameter's
// direction and the size name an annotation gives.
static bool ReadParamAnnotations(Lexer* lex, TypedParam* param) {
    for (;;) {
        if (LexIsPunct(*lex, '[')) {
            LexNext(lex);
            while (!LexIsPunct(*lex, ']')) {
                if (lex->kind == Tok::End) return CallFail("unclosed [ in parameter tags");
                if (const AnnotationWord* tag = FindAnnotationWord(*lex, true)) param->flags |= tag->direction;
                LexNext(lex);
            }
            LexNext(lex);
            continue;
        }
        const AnnotationWord* row = FindAnnotationWord(*lex, false);
        if (!row && !IsAnnotationWord(*lex)) return true;
        bool counts = row && row->counts != Counts::None;
        if (row) param->flags |= row->direction;
        if (row && row->counts == Counts::Bytes) param->flags |= CountInBytes;
        LexNext(lex);
        if (LexIsPunct(*lex, '(') && !SkipGroup(lex, counts ? param->countName : nullptr)) return false;
    }
}

// __declspec(...), extern "C", SAL on the result and the convention, in any order.
static bool SkipDeclarationWords(Lexer* lex, bool* isCdecl) {
    for (;;) {
        if (IsConventionWord(*lex, isCdecl) || IsDeclarationWord(*lex)) {
            bool declspec = LexIsWord(*lex, "__declspec");
            LexNext(lex);
            if (declspec && LexIsPunct(*lex, '(') && !SkipGroup(lex, nullptr)) return false;
        } else if (IsAnnotationWord(*lex)) {
            LexNext(lex);
            if (LexIsPunct(*lex, '(') && !SkipGroup(lex, nullptr)) return false;
        } else {
            return true;
        }
    }
}

// ---- classification ------------------------------------------------------------------

static bool ClassifyParam(TypedParam* param, const char* where) {
    const TypeRef& type = param->type;
    if (type.pointers == 0) {
        switch (type.base) {
        case Base::Void: return CallFail("%s is void", where);
        case Base::Struct: param->pass = Pass::StructValue; break;
        case Base::Guid: case Base::Variant: param->pass = Pass::Value16; break;
        case Base::Interface: return CallFail("%s is an interface by value: write %s *", where, type.name);
        case Base::I64: case Base::U64: param->pass = Pass::Int64; break;
        case Base::F32: param->pass = Pass::Float; break;
        case Base::F64: param->pass = Pass::Double; break;
        default: param->pass = Pass::Int32; break;
        }
    } else if (type.pointers == 1) {
        switch (type.base) {
        case Base::Char: param->pass = Pass::AnsiText; break;
        case Base::WChar: param->pass = Pass::WideText; break;
        case Base::Void: case Base::Byte: param->pass = Pass::Address; break;
        case Base::Struct: param->pass = Pass::StructRef; break;
        case Base::Interface: param->pass = Pass::Interface; break;
        case Base::Variant: param->pass = Pass::VariantRef; break;
        default: param->pass = Pass::ScalarRef; break;
        }
        if (type.flags & TypeBstr) param->pass = Pass::Bstr;
    } else if (type.pointers == 2 && type.base == Base::Interface) {
        param->pass = Pass::InterfaceOut;
    } else if (type.pointers == 2 && (type.flags & TypeBstr)) {
        param->pass = Pass::BstrOut;
    } else {
        param->pass = Pass::ScalarRef;  // a pointer to a pointer: the storage holds an address
    }
    param->words = (param->pass == Pass::Int64 || param->pass == Pass::Double) ? 2
                   : param->pass == Pass::Value16                             ? 4
                                                                              : 1;
    // What one element takes, fixed here: a structure declared again later changes
    // nothing for this prototype.
    TypeRef element = type;
    if (element.pointers) --element.pointers;
    param->elementBytes = param->pass == Pass::Address ? 1 : TypeSize(element);
    if (param->pass == Pass::StructValue) {
        DWORD words = (param->elementBytes + 3) / 4;
        if (words > TypedWordMax) return CallFail("%s: structure %s is too large to pass by value", where, type.name);
        param->words = static_cast<unsigned char>(words);
    }
    param->convert = ConverterFor(param->pass);
    return true;
}

static bool ClassifyResult(Prototype* proto) {
    const TypeRef& type = proto->result;
    ResultKind& kind = proto->resultKind;
    if (type.pointers >= 2 || (type.pointers == 1 && type.base != Base::Char && type.base != Base::WChar)) {
        kind = ResultKind::Unsigned;  // an address
    } else if (type.pointers == 1) {
        kind = type.base == Base::Char ? ResultKind::AnsiText : ResultKind::WideText;
    } else {
        switch (type.base) {
        case Base::Void: kind = ResultKind::Void; break;
        case Base::Struct: return CallFail("the result is structure %s by value: not supported", type.name);
        case Base::Guid: case Base::Variant: case Base::Interface:
            return CallFail("the result is %s by value: not supported", type.name);
        case Base::I64: kind = ResultKind::Signed64; break;
        case Base::U64: kind = ResultKind::Unsigned64; break;
        case Base::F32: kind = ResultKind::Float; break;
        case Base::F64: kind = ResultKind::Double; break;
        case Base::Char: case Base::I8: case Base::I16: kind = ResultKind::Signed; break;
        case Base::I32: kind = (type.flags & TypeHex) ? ResultKind::Hex32 : ResultKind::Signed; break;
        default: kind = ResultKind::Unsigned; break;
        }
    }
    return true;
}

// Whether a parameter can size a neighbouring buffer: an integer, by value or behind
// a pointer (GetComputerName's LPDWORD nSize).
static bool CanCount(const TypedParam& param) {
    Base base = param.type.base;
    bool integer = base == Base::I32 || base == Base::U32 || base == Base::I16 || base == Base::U16;
    return integer && (param.pass == Pass::Int32 || (param.pass == Pass::ScalarRef && param.type.pointers == 1));
}

// What a name says about counting: 0 not a count, 1 characters (elements), 2 bytes.
// Beside values or structures, sizes and lengths are in bytes (VirtualQuery's
// dwLength), and only counts count elements.
static int CountNameKind(const char* name, bool values) {
    char lower[TypedNameBytes];
    int n = 0;
    for (; name[n] && n < TypedNameBytes - 1; ++n) lower[n] = static_cast<char>(tolower(static_cast<unsigned char>(name[n])));
    lower[n] = '\0';
    const char* s = lower;
    while (*s == 'l' || *s == 'p') ++s;  // lpcbData, pcchSize
    if (strncmp(s, "cb", 2) == 0 || strstr(lower, "byte")) return 2;
    // COM's counts of elements: celt, cElements, cMaxNames.
    const char* cased = name + (s - lower);
    bool elements = strncmp(s, "celt", 4) == 0 || (cased[0] == 'c' && isupper(static_cast<unsigned char>(cased[1])));
    if (values) return strstr(lower, "size") || strstr(lower, "len") ? 2 : strstr(lower, "count") || elements ? 1 : 0;
    if (strncmp(s, "cch", 3) == 0 || strstr(lower, "size") || strstr(lower, "count") || strstr(lower, "len") ||
        strstr(lower, "max") || strstr(lower, "char"))
        return 1;
    return 0;
}

// Whether a count can size the parameter: a pointer the callee may write (not const)
// to text, bytes, values or structures. A pointer to a pointer is an array of addresses
// when an annotation or a count of elements sizes it (IEnumString::Next's rgelt
// beside celt), as are VARIANTs, BSTRs and objects (IEnumVARIANT::Next's rgVar): the
// library holds one of those, which a count of more must not pass.
static bool TakesCount(const TypedParam& param) {
    if (param.type.flags & TypeConst) return false;
    switch (param.pass) {
    case Pass::AnsiText: case Pass::WideText: case Pass::Address: case Pass::StructRef: return true;
    case Pass::VariantRef: case Pass::BstrOut: case Pass::InterfaceOut: return true;
    case Pass::ScalarRef: return true;
    default: return false;
    }
}

// Whether the parameter points at values (or structures) rather than text or bytes.
static bool PointsAtValues(const TypedParam& param) {
    switch (param.pass) {
    case Pass::ScalarRef: case Pass::StructRef: case Pass::VariantRef: case Pass::BstrOut: case Pass::InterfaceOut:
        return true;
    default: return false;
    }
}

// Finds the parameter that sizes each buffer: the one a size annotation names, else
// the neighbour after it, else the one before it, by its name. Texts and bytes
// first; a pointer to values or structures takes a neighbour only when it is passed
// by value, sizes no buffer yet and (before it) does not follow another pointer,
// whose count it is (WriteFile's nNumberOfBytesToWrite is not lpNumberOfBytesWritten's).
static void ResolveCounts(Prototype* proto) {
    bool taken[TypedParamMax] = {};
    for (int i = 0; i < proto->paramCount; ++i) proto->params[i].countParam = -1;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < proto->paramCount; ++i) {
            TypedParam& param = proto->params[i];
            bool values = PointsAtValues(param);
            if (!TakesCount(param) || values != (round == 1)) continue;
            if (param.countName[0]) {
                for (int j = 0; j < proto->paramCount; ++j)
                    if (j != i && strcmp(proto->params[j].name, param.countName) == 0 && CanCount(proto->params[j]))
                        param.countParam = static_cast<signed char>(j);
                if (param.countParam >= 0) {
                    taken[param.countParam] = true;
                    continue;
                }
            }
            // Beside a pointer to a pointer, a size in bytes is the block's it receives
            // (LPBYTE* ppData, DWORD cbData): only a count of elements counts its addresses.
            bool addresses = param.pass == Pass::ScalarRef && param.type.pointers > 1;
            const int neighbours[2] = {i + 1, i - 1};
            for (int j : neighbours) {
                if (j < 0 || j >= proto->paramCount || !CanCount(proto->params[j])) continue;
                // (An interface pointer before it, a method's This, holds no buffer.)
                if (values && (proto->params[j].pass != Pass::Int32 || taken[j] ||
                               (j < i && j > 0 && proto->params[j - 1].type.pointers &&
                                proto->params[j - 1].pass != Pass::Interface)))
                    continue;
                int kind = CountNameKind(proto->params[j].name, values);
                if (!kind || (addresses && kind != 1)) continue;
                param.countParam = static_cast<signed char>(j);
                taken[j] = true;
                if (kind == 2) param.flags |= CountInBytes;
                break;
            }
        }
    }
}

// ---- the prototype ----------------------------------------------------------------------

static bool ParseParams(Lexer* lex, Prototype* proto) {
    LexNext(lex);  // past '('
    if (LexIsPunct(*lex, ')')) return LexNext(lex), true;
    if (LexIsWord(*lex, "void")) {
        Lexer ahead = *lex;
        LexNext(&ahead);
        if (LexIsPunct(ahead, ')')) {
            LexNext(&ahead);
            *lex = ahead;
            return true;
        }
    }
    for (;;) {
        int index = proto->paramCount;
        char where[32];
        snprintf(where, sizeof where, "parameter %d", index + 1);
        if (LexIsPunct(*lex, '.') || (lex->kind == Tok::Punct && lex->length == 3))
            return CallFail("variable argument lists are not supported: declare the parameters you pass");
        if (index >= TypedParamMax) return CallFail("more than %d parameters", TypedParamMax);
        TypedParam& param = proto->params[index];
        memset(&param, 0, sizeof param);
        if (!ReadParamAnnotations(lex, &param) || !ParseType(lex, &param.type, where) ||
            !ReadParamAnnotations(lex, &param))
            return false;
        if (lex->kind == Tok::Ident) {
            if (IsConventionWord(*lex, &proto->isCdecl) || LexIsPunct(*lex, '('))
                return CallFail("function pointers are not supported in %s: declare it as a pointer type", where);
            LexCopyName(*lex, param.name);
            LexNext(lex);
        }
        while (LexIsPunct(*lex, '[')) {  // char name[] is a pointer
            while (!LexIsPunct(*lex, ']') && lex->kind != Tok::End) LexNext(lex);
            if (lex->kind == Tok::End) return CallFail("unclosed [ in %s", where);
            LexNext(lex);
            ++param.type.pointers;
        }
        if (LexIsPunct(*lex, '('))
            return CallFail("function pointers are not supported in %s: declare it as a pointer type", where);
        if (!ClassifyParam(&param, where)) return false;
        if (proto->wordCount + param.words > TypedWordMax)
            return CallFail("the parameters take more than %d words", TypedWordMax);
        param.wordOffset = static_cast<unsigned char>(proto->wordCount);
        proto->wordCount += param.words;
        proto->paramCount++;
        if (LexIsPunct(*lex, ')')) return LexNext(lex), true;
        if (!LexIsPunct(*lex, ','))
            return CallFail("expected , or ) after parameter %d at %s", index + 1, LexShown(*lex));
        LexNext(lex);
    }
}

bool ParsePrototype(const char* text, Prototype* proto, bool cdeclByDefault) {
    memset(proto, 0, sizeof *proto);
    proto->isCdecl = cdeclByDefault;  // a convention word in the text decides instead
    Lexer lex;
    LexBegin(&lex, text);
    if (!SkipDeclarationWords(&lex, &proto->isCdecl)) return false;
    if (!ParseType(&lex, &proto->result, "the result")) return false;
    if (!SkipDeclarationWords(&lex, &proto->isCdecl)) return false;
    if (lex.kind != Tok::Ident || IsTypeWord(lex))
        return CallFail("expected the function's name at %s", LexShown(lex));
    if (lex.length >= ExportNameBytes) return CallFail("a function name of more than %d characters", ExportNameBytes - 1);
    LexCopyName(lex, proto->name, ExportNameBytes);
    LexNext(&lex);
    if (!LexIsPunct(lex, '(')) return CallFail("expected ( after %s at %s", proto->name, LexShown(lex));
    if (!ParseParams(&lex, proto)) return false;
    if (LexIsPunct(lex, ';')) LexNext(&lex);
    if (lex.kind != Tok::End) return CallFail("unexpected %s after the parameter list", LexShown(lex));
    if (!ClassifyResult(proto)) return false;
    ResolveCounts(proto);
    proto->stackBytes = proto->isCdecl ? 0 : static_cast<DWORD>(proto->wordCount) * 4;
    return true;
}
