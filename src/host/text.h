// Text helpers shared by every subsystem.
#pragma once

#include <stddef.h>

// Characters from..to (inclusive) of text into the shared slice buffer.
char* SliceText(const char* text, unsigned from, unsigned to);
// into[0..at) + insert + into[at..] into the shared slice buffer.
char* InsertText(const char* insert, const char* into, unsigned at);

// Copies at most capacity-1 characters of source and terminates; never reads past
// source's terminator nor writes past capacity. Returns the characters copied.
size_t CopyBounded(char* dest, size_t capacity, const char* source);

// Whole-text comparison without regard to case, as keywords and sub-words use it:
// always the system's answer (lstrcmpiA), most often without asking the system.
bool SameWord(const char* a, const char* b);

// Characters whose comparison SameWord settles itself: printable ASCII.
inline bool IsPlainChar(unsigned char c) { return c >= 0x20 && c < 0x7F; }
inline unsigned char FoldAscii(unsigned char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

// SameWord against one of the library's own words (upper case, printable ASCII),
// inlined: a printable text is settled here; one with any other character goes to
// SameWord.
inline bool SameKeyword(const char* text, const char* keyword) {
    for (size_t i = 0;; ++i) {
        unsigned char c = text[i];
        if (c == 0) return keyword[i] == 0;
        if (!IsPlainChar(c)) return SameWord(text, keyword);
        if (FoldAscii(c) != static_cast<unsigned char>(keyword[i])) return false;
    }
}

// Decimal numbers as the runtime reads them: signed 32-bit, blanks and a sign allowed.
long ReadLong(const char* text);
unsigned long ReadUnsigned(const char* text);

// Decimal text as _ltoa and _ultoa write it in base 10, terminated, at out (12 bytes
// hold any); returns out.
char* WriteLong(char* out, long value);
char* WriteUnsigned(char* out, unsigned long value);
// Decimal answers into the result buffer; returns it.
char* AnswerLong(long value);
char* AnswerUnsigned(unsigned long value);
// Copies a text into the result buffer, cut to its size; returns it.
char* AnswerText(const char* text);

// Upper-case hexadecimal digit pair of one byte; the pair is not terminated.
void ByteToHex(unsigned char byte, char* pair);
// Value of one hexadecimal digit, or -1.
int HexDigitValue(char c);
