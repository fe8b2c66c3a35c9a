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

const unsigned char* FoldTable() {
    FileState& file = g_state.file;
    if (!file.foldTableReady) {
        // One call over every byte value gives the same mapping as upper-casing
        // each text with the system's ANSI call, at the cost of a table lookup.
        for (int i = 0; i < 256; ++i) file.foldTable[i] = static_cast<unsigned char>(i);
        CharUpperBuffA(reinterpret_cast<char*>(file.foldTable), 256);
        file.foldTableReady = true;
    }
    return file.foldTable;
}
