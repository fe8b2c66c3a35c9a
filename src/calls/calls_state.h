// Typed foreign calls: declared functions, laid-out structures and buffers.
#pragma once

#include <windows.h>

constexpr int TypedFunctionCount = 100;  // typed-function numbers 1..100
constexpr int TypedParamMax = 28;        // Args[2..29] carry the parameters
constexpr int TypedWordMax = TypedParamMax * 2;  // 64-bit and double take two words
constexpr int TypedNameBytes = 48;       // names of parameters, structures, fields, types
constexpr int ExportNameBytes = 256;     // a function's name: an export name of up to 255
constexpr int StructTypeCount = 64;      // structures DLLSTRUCT can hold
constexpr int StructFieldMax = 64;       // fields of one structure
constexpr int StructNameCount = 256;     // names a structure is known by (tag, typedefs, pointers)
constexpr int BufferCount = 100;         // buffers 1..100
constexpr DWORD BufferMaxBytes = 16u << 20;    // one buffer
constexpr DWORD OutBufferMaxBytes = 1u << 20;  // one out-buffer the library supplies for a call
constexpr int CallErrorBytes = 512;      // DLLERROR's text
constexpr int DeclarationBytes = 16384;  // a prototype or structure, joined from its arguments
constexpr int CallTextBytes = 4048 * 2;  // a text argument, wide ones included
// Parentheses in a count, structures inside structures: the parsers recurse once
// per level, and a declaration may be parsed on little stack (inside a callee).
constexpr int DeclarationNestingMax = 16;

// What a C type is made of, before pointers.
enum class Base : unsigned char {
    Void, Char, WChar, Byte, I8, I16, U16, I32, U32, I64, U64, F32, F64, Handle, Struct,
    Interface,  // a COM interface (structIndex: the declared interface, -1 one not declared)
    Guid,       // GUID, IID, CLSID: 16 bytes, written as {...} text
    Variant,    // VARIANT: 16 bytes, converted as the automation keywords convert it
};

enum TypeFlag : unsigned char {
    TypeConst = 1,    // the pointee is const (an in-only text)
    TypeBool = 2,     // BOOL: TRUE and FALSE are words for 1 and 0
    TypeHex = 4,      // HRESULT, NTSTATUS: answered in hexadecimal
    TypeBstr = 8,     // BSTR: a wide text the system allocates (length-prefixed)
};

struct TypeRef {
    Base base;
    unsigned char pointers;  // levels of '*'
    unsigned char flags;     // TypeFlag
    signed char structIndex;  // for Base::Struct
    char name[TypedNameBytes];  // as written, for messages
};

// How a parameter travels, decided at declaration.
enum class Pass : unsigned char {
    Int32,      // integers of up to 32 bits, handles, pointer-sized values
    Int64,
    Float,
    Double,
    AnsiText,   // char*
    WideText,   // wchar_t*
    ScalarRef,  // a pointer to a scalar: the library supplies the storage
    Address,    // void*, BYTE*: an address, a reference or an out-buffer of bytes
    StructRef,  // a pointer to a declared structure
    StructValue,  // a declared structure by value: its bytes, in whole words
    Interface,    // an interface pointer: OBJ:k
    InterfaceOut, // a pointer to an interface pointer: OBJ:j receives the object
    Value16,      // a GUID or VARIANT by value: four words
    Bstr,         // BSTR: a text allocated for the call and freed after it
    BstrOut,      // BSTR*: answered as text, then freed
    VariantRef,   // VARIANT*: a value made from the text, answered and cleared after the call
};

enum ParamFlag : unsigned char {
    ParamIn = 1,
    ParamOut = 2,
    CountInBytes = 4,   // the count parameter counts bytes, not characters
};

struct TypedParam;
// Turns an argument text into the parameter's words; false (with DLLERROR set) when
// the text does not fit the type.
typedef bool (*ConvertFn)(int index, const char* text);

struct TypedParam {
    char name[TypedNameBytes];
    TypeRef type;
    Pass pass;
    unsigned char flags;      // ParamFlag
    unsigned char wordOffset; // first word of the call
    unsigned char words;      // 1 or 2
    signed char countParam;   // the parameter that sizes this out-buffer, -1 none
    DWORD elementBytes;       // one element it points at (a structure's size as declared), or its own size
    char countName[TypedNameBytes];  // from a size annotation, resolved after parsing
    ConvertFn convert;
};

// What the result register holds and how it is answered.
enum class ResultKind : unsigned char {
    Void, Signed, Unsigned, Hex32, Signed64, Unsigned64, Float, Double, AnsiText, WideText,
};

// A parsed prototype: everything a call needs except the address.
struct Prototype {
    char name[ExportNameBytes];
    bool isCdecl;
    TypeRef result;
    ResultKind resultKind;
    int paramCount;
    int wordCount;
    DWORD stackBytes;  // what a __stdcall callee removes
    TypedParam params[TypedParamMax];
};

struct TypedFunction {
    Prototype proto;
    FARPROC entry;      // null: not bound (never declared, or its library was released)
    HMODULE library;
    int libraryNumber;
    bool declared;      // keeps the name for the message after DLLUNLOAD
};

struct StructField {
    char name[TypedNameBytes];
    TypeRef type;
    DWORD offset;
    DWORD elementSize;
    DWORD count;  // array elements, 1 for a plain field
};

// An entry stays as it was laid out while a name, a buffer or another structure
// reaches it; declaring a structure again takes a new entry and moves the names.
struct StructType {
    char name[TypedNameBytes];
    DWORD size;
    DWORD align;
    bool used;       // free entries are taken again
    bool building;   // laid out by the declaration being read
    bool nested;     // written inline in the structure that holds it
    char* text;      // the declaration (heap): the same one again changes nothing
    int fieldCount;
    StructField fields[StructFieldMax];
};

struct StructName {
    char name[TypedNameBytes];
    signed char structIndex;
    unsigned char pointers;
};

struct Buffer {
    BYTE* data;
    DWORD size;
    int structIndex;  // -1: plain bytes
};

// How an argument reached its parameter, for DLLOUT.
enum ArgKind : unsigned char {
    ArgNone,       // nothing to answer: NULL, an address
    ArgReference,  // one of the library's own places (BUF:b, a slot): nothing to answer;
                   // a scalar there is copied into the storage, before and after the call
    ArgValue,      // by value: the words
    ArgStorage,    // a scalar in the library's storage
    ArgText,       // a text in the library's storage (ANSI or wide by the type)
    ArgOutBlock,   // an out-buffer the library supplied
    ArgOutPending, // an out-buffer to be sized once every argument is read
    // COM kinds: the storage holds what the call needs freeing or taking over after it
    ArgBstr,       // a BSTR made for the call (storage word 0)
    ArgBstrOut,    // a BSTR the callee returns (storage word 0)
    ArgVariant,    // a VARIANT made for the call (the storage)
    ArgObjectOut,  // an interface pointer the callee returns (word 0) for object slot word 1
    ArgAnswered,   // answered already: the ANSI text in texts[i]
};

// What the typed thunk reports; the first three fields are a ForeignFault (filled
// by the shared fault handler exactly as for DLLFUNC), the offsets are the thunk's.
struct TypedOutcome {
    DWORD code;
    BOOL raised;
    BOOL hasSse;
    DWORD eax;
    DWORD edx;
    DWORD st0Loaded;  // the x87 stack held a value on return
    long double st0;  // as the x87 held it: rounded by the library, under its own control word
    DWORD espBefore;  // the stack pointer at the call
    DWORD removed;    // bytes the callee took off the stack
};

// Storage for one parameter during a call (and for DLLOUT after it).
union ScalarStorage {
    unsigned char bytes[16];
    DWORD words[4];
    double real;
    ULONGLONG wide;
};

struct CallsState {
    TypedFunction functions[TypedFunctionCount];
    StructType structs[StructTypeCount];
    StructName structNames[StructNameCount];
    int structNameCount;
    Buffer buffers[BufferCount];

    // The last call, kept for DLLOUT until the next DLLCALL.
    DWORD words[TypedWordMax];
    ScalarStorage storage[TypedParamMax];
    char texts[TypedParamMax][CallTextBytes];
    BYTE* outBlocks[TypedParamMax];  // out-buffers the library supplied (heap)
    DWORD outBytes[TypedParamMax];
    unsigned char argKind[TypedParamMax];  // how each argument was passed (ArgKind)
    const Prototype* current;  // the function being prepared or called last
    bool outBlocksHeld;
    bool finishPending;  // an argument of a COM kind wants its after-call step
    int lastCalled;    // number of the function called last, 0: none, -1: the interface method `current`
    int depth;         // a DLLCALL running (a callee calling back in)
    bool intoObject;   // ... and it is an object's method (COMCALL)
    TypedOutcome outcome;

    char error[CallErrorBytes];
    char constantHint[160];  // what the last name refused was, for the next refusal's text

    // Scratch space of the parsers and the messages, kept here rather than on the
    // stack (a callee's stack use comes on top of the host's).
    char declaration[DeclarationBytes];
    Prototype parsed;
    char shownToken[40];
    char where[2 * TypedNameBytes + 32];
    WCHAR wideText[4048];
};
