// Shared text operations: slices, insertion, bounded copies, numbers and hex pairs.
#include "text.h"

#include <stdlib.h>
#include <string.h>

#include "state.h"

char* SliceText(const char* text, unsigned from, unsigned to) {
    char* out = g_state.host.sliceBuffer;
    size_t length = 0;
    if (from <= to) {
        size_t textLength = strlen(text);
        for (size_t i = from; i <= to && i < textLength && length < MaxString - 1; ++i)
            out[length++] = text[i];
    }
    out[length] = '\0';
    return out;
}

char* InsertText(const char* insert, const char* into, unsigned at) {
    // Assembled in a local buffer first: callers may pass the slice buffer itself.
    char joined[MaxString];
    size_t length = 0;
    size_t intoLength = strlen(into);
    if (at > intoLength) at = static_cast<unsigned>(intoLength);
    for (size_t i = 0; i < at && length < MaxString - 1; ++i) joined[length++] = into[i];
    for (const char* p = insert; *p && length < MaxString - 1; ++p) joined[length++] = *p;
    for (size_t i = at; i < intoLength && length < MaxString - 1; ++i) joined[length++] = into[i];
    memcpy(g_state.host.sliceBuffer, joined, length);
    g_state.host.sliceBuffer[length] = '\0';
    return g_state.host.sliceBuffer;
}

constexpr size_t ShortText = 32;

size_t CopyBounded(char* dest, size_t capacity, const char* source) {
    if (capacity == 0) return 0;
    size_t n = 0;
    if (source)
        while (n < capacity - 1 && source[n]) ++n;
    // Most texts are a few characters: copied here, they cost less than the call.
    if (n > ShortText || (dest > source && dest < source + n)) {
        memmove(dest, source, n);
    } else {
        for (size_t i = 0; i < n; ++i) dest[i] = source[i];
    }
    dest[n] = '\0';
    return n;
}

// The system comparison is costly (it converts both texts for every call), so
// printable ASCII is settled here: the system ignores none of it and weighs two such
// characters equal exactly when they are equal after an ASCII case fold (the hyphen
// and the apostrophe sort apart from other signs, but still count for equality). Up
// to the first difference between two printable characters the texts agree, and
// that difference is one the system sees too. Control characters and bytes above
// 0x7F may be ignored or weighed in ways of the locale (a soft hyphen is ignored):
// from the first one on, the whole of both texts goes to the system.
bool SameWord(const char* a, const char* b) {
    for (size_t i = 0;; ++i) {
        unsigned char x = a[i], y = b[i];
        if (x == y) {
            if (!x) return true;
            if (IsPlainChar(x)) continue;
            break;
        }
        if (!(x == 0 || IsPlainChar(x)) || !(y == 0 || IsPlainChar(y))) break;
        if (FoldAscii(x) != FoldAscii(y)) return false;
    }
    return lstrcmpiA(a, b) == 0;
}

// atol's answer without its locale look-up for the usual text: an optional minus and
// up to nine digits, then anything that is not a digit. Others go to atol itself.
long ReadLong(const char* text) {
    const char* p = text;
    bool negative = *p == '-';
    if (negative) ++p;
    long value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 10) {
        value = value * 10 + (*p - '0');
        ++p;
        ++digits;
    }
    if (digits == 0 || digits > 9) return atol(text);
    return negative ? -value : value;
}

unsigned long ReadUnsigned(const char* text) { return strtoul(text, nullptr, 10); }

// Decimal digits as _ultoa writes them in base 10: the number's length first, then
// the digits from its end.
static inline char* DigitsInto(char* out, unsigned long value) {
    static const unsigned long kPowersOfTen[] = {10, 100, 1000, 10000, 100000, 1000000, 10000000,
                                                 100000000, 1000000000};
    size_t digits = 1;
    while (digits < 10 && value >= kPowersOfTen[digits - 1]) ++digits;
    out[digits] = '\0';
#pragma GCC unroll 1
    do {
        out[--digits] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (digits);
    return out;
}

static inline char* SignedDigitsInto(char* out, long value) {
    if (value >= 0) return DigitsInto(out, static_cast<unsigned long>(value));
    out[0] = '-';
    DigitsInto(out + 1, 0UL - static_cast<unsigned long>(value));
    return out;
}

char* WriteUnsigned(char* out, unsigned long value) { return DigitsInto(out, value); }

char* WriteLong(char* out, long value) { return SignedDigitsInto(out, value); }

// The answers keep their own copies in the per-call code.
char* AnswerUnsigned(unsigned long value) { return DigitsInto(g_state.host.resultBuffer, value); }

char* AnswerLong(long value) { return SignedDigitsInto(g_state.host.resultBuffer, value); }

char* AnswerText(const char* text) {
    CopyBounded(g_state.host.resultBuffer, MaxString, text);
    return g_state.host.resultBuffer;
}

void ByteToHex(unsigned char byte, char* pair) {
    static const char digits[] = "0123456789ABCDEF";
    pair[0] = digits[byte >> 4];
    pair[1] = digits[byte & 15];
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
