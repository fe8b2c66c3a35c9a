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

size_t CopyBounded(char* dest, size_t capacity, const char* source) {
    if (capacity == 0) return 0;
    size_t n = 0;
    if (source)
        while (n < capacity - 1 && source[n]) ++n;
    memmove(dest, source, n);
    dest[n] = '\0';
    return n;
}

// The system comparison is costly (it converts both texts for every call). For two
// plain ASCII texts of one length it agrees with an ASCII case fold, so only texts
// with other characters reach it; texts of different lengths never name one word.
bool SameWord(const char* a, const char* b) {
    size_t i = 0;
    for (;; ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 0x80 || y >= 0x80) break;
        if (x >= 'a' && x <= 'z') x -= 32;
        if (y >= 'a' && y <= 'z') y -= 32;
        if (x != y) return false;
        if (!x) return true;
    }
    return strlen(a + i) == strlen(b + i) && lstrcmpiA(a, b) == 0;
}

long ReadLong(const char* text) { return atol(text); }

unsigned long ReadUnsigned(const char* text) { return strtoul(text, nullptr, 10); }

char* AnswerLong(long value) {
    return _ltoa(value, g_state.host.resultBuffer, 10);
}

char* AnswerUnsigned(unsigned long value) {
    return _ultoa(value, g_state.host.resultBuffer, 10);
}

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
