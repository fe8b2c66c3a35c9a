// The hexadecimal pair codec of the file keywords and the upper-case table of
// the case-blind search.
#include <stdlib.h>
#include <string.h>

#include "files.h"

#include "../host/text.h"

unsigned char HexPairByte(const char* text, size_t index, size_t length) {
    char pair[3] = {text[index], index + 1 < length ? text[index + 1] : '\0', '\0'};
    int high = HexDigitValue(pair[0]);
    int low = HexDigitValue(pair[1]);
    if (high >= 0 && low >= 0) return static_cast<unsigned char>(high * 16 + low);
    // Blanks, signs and stray characters: exactly what the runtime makes of them.
    return static_cast<unsigned char>(strtol(pair, nullptr, 16));
}

void BytesToHexInPlace(char* buffer, size_t count) {
    if (count == 0) {
        buffer[0] = '\0';
        return;
    }
    // Back to front: byte i moves to 3i, which is never below a byte still unread.
    unsigned char* bytes = reinterpret_cast<unsigned char*>(buffer);
    buffer[3 * count - 1] = '\0';
    for (size_t i = count; i-- > 0;) {
        unsigned char byte = bytes[i];
        ByteToHex(byte, buffer + 3 * i);
        if (i + 1 < count) buffer[3 * i + 2] = ' ';
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
