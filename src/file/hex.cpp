// The hexadecimal pair codec of the file keywords and the upper-case table of
// the case-blind search.
#include <stdlib.h>
#include <string.h>

#include "files.h"

#include "../host/text.h"

// Tables made once from the shared digit helpers: a lookup per byte instead of a
// call per digit, which is most of the cost of a 32 KiB hex transfer.
static const FileState& HexTables() {
    FileState& file = g_state.file;
    if (!file.hexTablesReady) {
        for (int b = 0; b < 256; ++b) {
            ByteToHex(static_cast<unsigned char>(b), file.hexPairs[b]);
            file.hexDigits[b] = static_cast<signed char>(HexDigitValue(static_cast<char>(b)));
        }
        file.hexTablesReady = true;
    }
    return file;
}

static unsigned char PairByte(const signed char* digits, const char* text, size_t index, size_t length) {
    char pair[3] = {text[index], index + 1 < length ? text[index + 1] : '\0', '\0'};
    int high = digits[static_cast<unsigned char>(pair[0])];
    int low = digits[static_cast<unsigned char>(pair[1])];
    if (high >= 0 && low >= 0) return static_cast<unsigned char>(high * 16 + low);
    // Blanks, signs and stray characters: exactly what the runtime makes of them.
    return static_cast<unsigned char>(strtol(pair, nullptr, 16));
}

unsigned char HexPairByte(const char* text, size_t index, size_t length) {
    return PairByte(HexTables().hexDigits, text, index, length);
}

size_t HexPairsToBytes(const char* text, size_t length, unsigned char* bytes, size_t limit) {
    const signed char* digits = HexTables().hexDigits;
    size_t count = 0;
    for (size_t i = 0; i < length && count < limit; i += HexPairStride)
        bytes[count++] = PairByte(digits, text, i, length);
    return count;
}

void BytesToHexInPlace(char* buffer, size_t count) {
    if (count == 0) {
        buffer[0] = '\0';
        return;
    }
    // Back to front: byte i moves to 3i, which is never below a byte still unread.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(buffer);
    const FileState& tables = HexTables();
    size_t last = count - 1;
    unsigned char byte = bytes[last];
    memcpy(buffer + 3 * last, tables.hexPairs[byte], 2);
    buffer[3 * last + 2] = '\0';
    for (size_t i = last; i-- > 0;) {
        byte = bytes[i];
        char* out = buffer + 3 * i;
        memcpy(out, tables.hexPairs[byte], 2);
        out[2] = ' ';
    }
}

// The table of every byte value's upper case, and which bytes lead a double-byte
// character of the ANSI code page. On a single-byte code page one call over every
// byte value gives the same mapping as upper-casing each text with the system's
// ANSI call. On a double-byte one a lead byte is no character of its own, so it
// keeps its value, and the other bytes are upper-cased one at a time.
static void MakeFoldTable(FileState& file) {
    CPINFO info = {};
    file.doubleByteCodePage = GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1;
    for (int i = 0; i < 256; ++i) file.foldTable[i] = static_cast<unsigned char>(i);
    if (!file.doubleByteCodePage) {
        CharUpperBuffA(reinterpret_cast<char*>(file.foldTable), 256);
        return;
    }
    for (int i = 0; i < 256; ++i) {
        file.leadByte[i] = IsDBCSLeadByte(static_cast<BYTE>(i)) != FALSE;
        if (!file.leadByte[i]) CharUpperBuffA(reinterpret_cast<char*>(&file.foldTable[i]), 1);
    }
}

const unsigned char* FoldTable() {
    FileState& file = g_state.file;
    if (!file.foldTableReady) {
        MakeFoldTable(file);
        file.foldTableReady = true;
    }
    return file.foldTable;
}

bool DoubleByteCodePage() {
    FoldTable();
    return g_state.file.doubleByteCodePage;
}

void FoldDoubleByteText(unsigned char* text, size_t length) {
    const unsigned char* fold = FoldTable();
    const bool* lead = g_state.file.leadByte;
    for (size_t i = 0; i < length; ++i) {
        if (lead[text[i]])
            ++i;  // the character's second byte is passed over with it
        else
            text[i] = fold[text[i]];
    }
}
