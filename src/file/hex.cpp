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

// The upper case of the double-byte character at pair[0..1] as the system's ANSI
// call gives it, when it is a valid character whose upper case is another
// double-byte character; answers false otherwise.
static bool UpperPair(const FileState& file, unsigned char* pair) {
    char text[2] = {static_cast<char>(pair[0]), static_cast<char>(pair[1])};
    WCHAR wide[2];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, 2, wide, 2) != 1) return false;
    CharUpperBuffA(text, 2);
    unsigned char lead = text[0], trail = text[1];
    if (!file.leadByte[lead] || !trail || (lead == pair[0] && trail == pair[1])) return false;
    pair[0] = lead;
    pair[1] = trail;
    return true;
}

// Fills a row (by second byte) with the upper cases of the characters that begin
// with `lead`; answers whether any differs. Asking the system about each of the
// 255 pairs costs too much on a first search, so the row is first converted as a
// whole, and only the characters whose wide upper case differs, or that do not
// come back to the same bytes, are asked about one by one. A row that does not
// convert pair for pair is asked about whole.
static bool MakeDoubleByteRow(const FileState& file, unsigned char lead, WCHAR unknown, unsigned char (*row)[2]) {
    unsigned char pairs[255][2];
    WCHAR wide[255], upper[255];
    char back[255][2];
    for (int i = 0; i < 255; ++i) {
        pairs[i][0] = lead;
        pairs[i][1] = static_cast<unsigned char>(i + 1);
    }
    const char* bytes = reinterpret_cast<const char*>(pairs);
    bool whole = MultiByteToWideChar(CP_ACP, 0, bytes, 510, wide, 255) == 255;
    if (whole) {
        memcpy(upper, wide, sizeof wide);
        CharUpperBuffW(upper, 255);
        whole = WideCharToMultiByte(CP_ACP, 0, wide, 255, back[0], 510, nullptr, nullptr) == 510;
    }
    bool changes = false;
    for (int i = 0; i < 255; ++i) {
        if (whole && (wide[i] == unknown ||
                      (upper[i] == wide[i] && memcmp(back[i], pairs[i], 2) == 0)))
            continue;
        unsigned char pair[2] = {pairs[i][0], pairs[i][1]};
        if (!UpperPair(file, pair)) continue;
        memcpy(row[i + 1], pair, 2);
        changes = true;
    }
    return changes;
}

// The upper case of every double-byte character that the system's ANSI call changes
// (a full-width small letter becomes the full-width capital), one row of 256 pairs
// for each lead byte that has any; a pair of zeros keeps the character. Only a valid
// character whose upper case is again one double-byte character counts. Without
// memory for the rows double-byte characters keep their bytes.
static void MakeDoubleByteFolds(FileState& file) {
    CPINFOEXA info = {};
    WCHAR unknown = GetCPInfoExA(CP_ACP, 0, &info) ? info.UnicodeDefaultChar : 0;
    unsigned char row[256][2];
    for (int lead = 1; lead < 256; ++lead) {
        if (!file.leadByte[lead]) continue;
        memset(row, 0, sizeof row);
        if (!MakeDoubleByteRow(file, static_cast<unsigned char>(lead), unknown, row)) continue;
        size_t rows = file.doubleByteRows;
        void* grown = realloc(file.doubleByteFolds, (rows + 1) * sizeof row);
        if (!grown) return;
        file.doubleByteFolds = static_cast<unsigned char(*)[256][2]>(grown);
        memcpy(file.doubleByteFolds[rows], row, sizeof row);
        file.doubleByteRow[lead] = static_cast<unsigned char>(++file.doubleByteRows);
    }
}

// The table of every byte value's upper case, and which bytes lead a double-byte
// character of the ANSI code page. On a single-byte code page one call over every
// byte value gives the same mapping as upper-casing each text with the system's
// ANSI call. On a double-byte one a lead byte is no character of its own, so it
// keeps its value, the other bytes are upper-cased one at a time, and double-byte
// characters get their own rows.
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
    MakeDoubleByteFolds(file);
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

// Folds the characters that begin in text[at, end) (a double-byte one whose second
// byte lies past `length` keeps its first); answers where the next one begins.
static size_t FoldCharacters(unsigned char* text, size_t at, size_t end, size_t length) {
    const FileState& file = g_state.file;
    unsigned char(*const rows)[256][2] = file.doubleByteFolds;  // kept in a register
    while (at < end) {
        unsigned char byte = text[at];
        if (!file.leadByte[byte]) {
            text[at++] = file.foldTable[byte];
            continue;
        }
        unsigned char row = file.doubleByteRow[byte];
        if (row && at + 1 < length) {
            const unsigned char* upper = rows[row - 1][text[at + 1]];
            if (upper[0]) {
                text[at] = upper[0];
                text[at + 1] = upper[1];
            }
        }
        at += 2;  // the second byte is never folded on its own
    }
    return at;
}

bool FoldDoubleByteText(unsigned char* text, size_t length, bool startsInTrail, size_t mark) {
    FoldTable();
    size_t next = FoldCharacters(text, startsInTrail ? 1 : 0, mark, length);
    FoldCharacters(text, next, length, length);
    return next > mark;
}

size_t LeadByteRun(const unsigned char* text, size_t length) {
    FoldTable();
    size_t run = 0;
    while (run < length && g_state.file.leadByte[text[length - 1 - run]]) ++run;
    return run;
}

void FoldTablesRelease() {
    FileState& file = g_state.file;
    free(file.doubleByteFolds);
    file.doubleByteFolds = nullptr;
    file.doubleByteRows = 0;
    memset(file.doubleByteRow, 0, sizeof file.doubleByteRow);
    file.foldTableReady = false;
}
