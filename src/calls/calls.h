// What the files of the typed-call subsystem share among themselves.
#pragma once

#include <stddef.h>
#include <windows.h>

#include "calls_state.h"

// ---- DLLERROR's text ---------------------------------------------------------------
// Sets the last problem (printf-style, cut to fit); answers false so that a
// failing step can `return CallFail(...)`.
bool CallFail(const char* format, ...);
void CallErrorClear();
// Fails with status 1005 (a value that does not fit, a place outside its buffer).
bool CallFailValue(const char* format, ...);
// A command refused: answers -1 with the status at 0 (the reason is in DLLERROR),
// whatever a step on the way set.
int CallRefused();

// ---- tokens ------------------------------------------------------------------------
enum class Tok : unsigned char { End, Ident, Number, Punct, Quoted };

struct Lexer {
    const char* pos;    // after the current token
    Tok kind;
    const char* start;  // the current token
    int length;
};
void LexBegin(Lexer* lex, const char* text);
void LexNext(Lexer* lex);
bool LexIsWord(const Lexer& lex, const char* word);  // exact case
bool LexIsPunct(const Lexer& lex, char c);
// The current token for a message ("end of text" at the end), cut short.
const char* LexShown(const Lexer& lex);
// Copies the current identifier into a name field of `capacity` bytes (cut to fit).
void LexCopyName(const Lexer& lex, char* name, int capacity = TypedNameBytes);

// ---- types -------------------------------------------------------------------------
// Looks a type name up: the table of C and Windows names, then the declared
// structures' names. Answers false when it is neither.
bool FindTypeName(const char* name, int length, TypeRef* type);
// Size (and alignment) of a value of the type: 1, 2, 4 or 8; a structure its own.
DWORD TypeSize(const TypeRef& type);
DWORD TypeAlign(const TypeRef& type);
// Whether an identifier may start or continue a type (a name, a specifier, a qualifier).
bool IsTypeWord(const Lexer& lex);
// Reads specifiers, a type name and '*'s into type. `where` names the place for
// messages ("parameter 2", "field wYear"). Answers false with DLLERROR set. `stars`,
// when given, receives the number of '*' read.
bool ParseType(Lexer* lex, TypeRef* type, const char* where, int* stars = nullptr);
// Reads a constant expression of numbers and known constants (MAX_PATH ...) joined
// by + - *; answers false with DLLERROR set.
bool ParseCount(Lexer* lex, DWORD* value, const char* where);

// ---- declarations ------------------------------------------------------------------
// Parses a C prototype into its call description (without the address). Without a
// convention word it is __stdcall, or __cdecl with cdeclByDefault.
bool ParsePrototype(const char* text, Prototype* proto, bool cdeclByDefault = false);
// Joins Args[first..] with ", " (a host may split the text at its commas), up to the
// first empty argument. With `next`, for a prototype that more arguments follow:
// only until its first parenthesis closes, and *next is the argument after it.
// Answers false when the joined text would not fit.
bool JoinArguments(int first, char* out, size_t capacity, int* next = nullptr);
// A structure by name (tag or typedef name), or -1.
int FindStruct(const char* name);
// Frees the structures' declaration texts.
void StructsReleaseAtUnload();

// ---- values ------------------------------------------------------------------------
// A number of decimal digits only (at most nine), or -1: table numbers and sizes.
long ReadDigits(const char* text);
// The text begins with the prefix, compared without regard to case.
bool HasPrefix(const char* text, const char* prefix);
// Integers of a base type from decimal or 0x hex text, strictly within range.
bool ReadInteger(const char* text, const TypeRef& type, ULONGLONG* value);
// The system's constants by name where an integer is read (ReadInteger asks it when
// the text is no number): a name (MB_OK, HKEY_CURRENT_USER) or names and numbers
// joined by | and +, each and the whole fitting the type. A refusal leaves a hint
// (the nearest names) that the next CallFailValue adds to DLLERROR.
bool ReadNamedInteger(const char* text, const TypeRef& type, ULONGLONG* value);
// "0x80070005 E_ACCESSDENIED: Access is denied." for an HRESULT: the code, its name
// when the table knows one, the system's text; for an NTSTATUS or an exception code
// the code and its name.
enum class CodeKind { Result, Status, Exception };
void DescribeCode(DWORD code, CodeKind kind, char* out, size_t capacity);
// After a call answering an HRESULT or NTSTATUS that reports a failure (or a
// warning), DLLERROR names it; the status is not changed.
void NoteFailedCode(const Prototype& proto, DWORD code);
// The library's own work on reals runs between these two, under the control word
// of a fresh thread (every x87 exception masked, double precision): a callee may
// have left exceptions unmasked or the precision lowered, and its word is the
// host's again afterwards, with no exception flag left for it to raise.
WORD QuietFpuBegin();
void QuietFpuEnd(WORD saved);
// Decimal float text, locale-independent; false for anything else. Runs under the
// library's own control word (QuietFpuBegin and QuietFpuEnd around it).
bool ReadReal(const char* text, double* value);
// The shortest decimal text that reads back to the same value (of float when
// single). Runs under the library's own control word.
void FormatReal(double value, bool single, char* out);
// A value of a scalar type at an address into text (integers by their sign, reals
// shortest). Answers into out.
void FormatScalar(const TypeRef& type, const void* at, char* out);
// Stores a text as a value of a scalar type; false with DLLERROR (status 1005).
bool StoreScalar(const TypeRef& type, const char* text, void* at, const char* where);
// The converter a parameter's pass uses.
ConvertFn ConverterFor(Pass pass);
// Copies the values behind the pointers to scalars passed as references (BUF:b,
// INTSLOT:n) into their storage: what a count there says, read again after the call.
void CopyReferencedValues(const Prototype& proto);
// Wide text at an address into ANSI text, reading only readable memory.
size_t CopyReadableWide(char* dest, size_t capacity, const void* address);
// The same with the caller's scratch of MaxString wide characters (for threads
// other than the host's).
size_t CopyReadableWideWith(char* dest, size_t capacity, const void* address, WCHAR* scratch);
// `length` wide characters into ANSI text, cut (at a whole character) to fit.
size_t WideToAnsi(const WCHAR* wide, int length, char* dest, size_t capacity);

// ---- buffers -----------------------------------------------------------------------
// The buffer of a number 1..100 that holds memory, or null.
Buffer* BufferAt(long number);
// An argument naming one of the library's own places: "BUF:b", "STRSLOT:n",
// "INTSLOT:n", "STRUCTSLOT:n". Answers 1 with the address and the bytes there, 0 when
// the text is no reference, -1 when it is one that names nothing (DLLERROR set).
int ReadReference(const char* text, DWORD* address, DWORD* bytes);
// "CALLBACK:c": 1 with the callback's entry address, 0 when the text is no such word,
// -1 for a number out of range (DLLERROR set).
int ReadCallbackWord(const char* text, DWORD* address);

// ---- calls --------------------------------------------------------------------------
// Calls an interface method, entry `method` of self's method table (read under the
// call's fault handler): `self` is its This, Args[3..] its other parameters (Args[2]
// names it); answers as DLLCALL answers, DLLOUT then reads its parameters.
const char* TypedCallMethod(const Prototype& proto, int method, DWORD self);
// Whether a result type is HRESULT.
bool IsHresult(const TypeRef& type);

// ---- COM parameter kinds (src/com/typed_params.cpp) ---------------------------------------------
ConvertFn ComConverterFor(Pass pass);
// What a call with arguments of the COM kinds leaves to do: BSTRs and VARIANTs made
// for it are freed, texts and objects it returned are answered and kept when `take`
// (the call went well). `trusted`: the callee, if called, neither faulted nor broke
// its prototype, so what it left behind a pointer may be freed.
void FinishComArguments(const Prototype& proto, bool take, bool trusted);
// After an interface method that succeeded: the texts it handed back through LPWSTR*
// or LPSTR* answered as text and freed with CoTaskMemFree, as COM's rule says.
void AnswerTaskTexts(const Prototype& proto);
// A GUID argument: {...}, a declared interface's name, or (for a CLSID) a ProgID.
bool ReadGuidArgument(const char* text, const TypeRef& type, GUID* guid);
// Shared by the converters: "parameter 2 (name, type)", the parameter's first word,
// and a pointer argument that names no value (NULL, ADDR:n, a reference): 1 when it
// was one, 0 when not, -1 on a failure.
const char* ParamWhere(int index);
DWORD* ParamWords(int index);
int ConvertPlace(int index, const char* text, DWORD need);

// The argument words for the typed-call keywords.
extern const char kNullWord[];   // "NULL"
extern const char kTextPrefix[]; // "TEXT:"
extern const char kOutWord[];    // "OUT"
