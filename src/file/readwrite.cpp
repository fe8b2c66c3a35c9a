// Reading blocks into the read buffer, writing text, raw bytes and hexadecimal
// byte lists, and the size of the read buffer.
#include <stdlib.h>
#include <string.h>

#include "files.h"

#include "../host/handlers.h"
#include "../host/text.h"

static const char kBufferWord[] = "!BUFFER!";

enum class ReadMode { Text, RawData, Hex };

static ReadMode ReadModeNamed(const char* word) {
    if (SameWord(word, "RAWDATA")) return ReadMode::RawData;
    if (SameWord(word, "HEX")) return ReadMode::Hex;
    return ReadMode::Text;  // "TEXT", and every other word
}

// Bytes the read buffer holds.
static DWORD ReadBufferCapacity() { return g_state.file.readBuffer ? g_state.file.readBufferBytes : 0; }

bool ResizeReadBuffer(DWORD size) {
    FileState& file = g_state.file;
    char* resized = size <= 0xFFFFFFFDul ? static_cast<char*>(realloc(file.readBuffer, size + 2)) : nullptr;
    if (!resized) return false;
    file.readBuffer = resized;
    file.readBufferBytes = size + 2;
    file.readBufferSize = size;
    // A cut buffer stays a terminated text, and "!BUFFER!" and the raw copy stay
    // inside it.
    resized[size] = '\0';
    if (file.lastReadCount > size) file.lastReadCount = size;
    return true;
}

// Makes the read buffer hold at least `bytes`; answers whether it does.
static bool GrowReadBuffer(DWORD bytes) {
    FileState& file = g_state.file;
    if (ReadBufferCapacity() >= bytes) return true;
    char* grown = static_cast<char*>(realloc(file.readBuffer, bytes));
    if (!grown) return false;
    file.readBuffer = grown;
    file.readBufferBytes = bytes;
    return true;
}

// The byte count of a FILEREAD: the asked count (0: as much as allowed) cut by the
// file size, the hex limit, the buffer size and the rest of the file, in that order.
static DWORD ReadCount(const FileSlot* slot, DWORD size, ReadMode mode) {
    DWORD count = ReadUnsigned(Arg(3));
    if (count == 0 || count > size) count = size;
    if (mode == ReadMode::Hex && count > HexReadLimit) count = HexReadLimit;
    if (count > g_state.file.readBufferSize) count = g_state.file.readBufferSize;
    // The size never outgrows the block, but a read does not take that on trust.
    DWORD capacity = ReadBufferCapacity();
    DWORD room = capacity > 2 ? capacity - 2 : 0;
    if (count > room) count = room;
    // A position past the end (set by FILESETPOS) reads nothing.
    DWORD rest = slot->position <= size ? size - slot->position : 0;
    return count > rest ? rest : count;
}

// Reads into the read buffer at the slot's offset: the bytes followed by a NUL, or
// after a "HEX" read their hexadecimal text. Answers false when there was no read
// (no slot, buffer size 0, the read call failed); the buffer, the last count and
// the position then keep their values.
static bool ReadIntoBuffer(FileSlot* slot, ReadMode mode) {
    FileState& file = g_state.file;
    if (!slot || file.readBufferSize == 0) return false;
    DWORD size = GetFileSize(slot->handle, nullptr);
    DWORD count = ReadCount(slot, size, mode);
    // The text of n bytes takes 3n bytes; when the buffer cannot grow for it, the
    // read takes fewer bytes so that their text fits.
    if (mode == ReadMode::Hex && !GrowReadBuffer(3 * count)) count = ReadBufferCapacity() / 3;

    if (!ReadFile(slot->handle, file.readBuffer, count, &slot->bytesRead, nullptr)) return false;
    // The count the system reports, never bytes left over from an earlier read.
    DWORD got = slot->bytesRead <= count ? slot->bytesRead : count;
    file.readBuffer[got] = '\0';
    file.lastReadCount = got;
    SyncPosition(slot, size);
    if (mode == ReadMode::Hex) BytesToHexInPlace(file.readBuffer, got);
    return true;
}

// FILEREAD number mode count (command): -1 when nothing was read by this call
// (no read, an empty file, the end of the file), else 0.
int FileReadCommand() {
    FileSlot* slot = SlotFromArgs();
    if (!ReadIntoBuffer(slot, ReadModeNamed(Arg(2)))) return -1;
    return g_state.file.lastReadCount ? 0 : -1;
}

// The raw answer: the last read's bytes with each NUL turned into the marker.
// Answers the empty text when the raw buffer cannot grow.
static const char* RawDataAnswer(char marker) {
    FileState& file = g_state.file;
    DWORD count = file.lastReadCount;
    char* grown = static_cast<char*>(realloc(file.rawDataBuffer, count + 2));
    if (!grown) return kNoAnswer;
    file.rawDataBuffer = grown;
    file.rawDataShrunk = false;
    const char* bytes = file.readBuffer;
    for (DWORD i = 0; i < count; ++i) grown[i] = bytes[i] ? bytes[i] : marker;
    grown[count] = '\0';
    return grown;
}

// FILEREAD number mode count marker (function): the bytes read (up to the first
// NUL), their hexadecimal text, or in "RAWDATA" mode every NUL as the marker; the
// empty text when this call read nothing.
const char* FileReadFunction() {
    FileSlot* slot = SlotFromArgs();
    ReadMode mode = ReadModeNamed(Arg(2));
    if (!ReadIntoBuffer(slot, mode)) return kNoAnswer;
    if (mode == ReadMode::RawData) return RawDataAnswer(Arg(4)[0]);
    return g_state.file.readBuffer;
}

static bool AllDigits(const char* text) {
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

// FILEREADBUFSIZE [size]: without an argument the size; with decimal digits the
// buffer is resized and the digits come back as given; other text answers the
// empty text. When the resize fails the size stays ("0" switches reading off all
// the same) and the answer is the size in force.
const char* FileReadBufferSize() {
    FileState& file = g_state.file;
    const char* text = Arg(1);
    if (!*text) return AnswerUnsigned(file.readBufferSize);
    if (!AllDigits(text)) return kNoAnswer;

    if (!ResizeReadBuffer(ReadUnsigned(text))) {
        if (lstrcmpA(text, "0") == 0) file.readBufferSize = 0;
        return AnswerUnsigned(file.readBufferSize);
    }
    return AnswerText(text);
}

// Writes `count` bytes at the slot's offset; answers whether the call succeeded.
static bool WriteBytes(FileSlot* slot, const void* bytes, DWORD count) {
    return WriteFile(slot->handle, bytes, count, &slot->bytesWritten, nullptr) != FALSE;
}

// "TEXT" and "RAWDATA": the last read's bytes for "!BUFFER!", else the data with
// every marker character written as a NUL byte. The host's text is not changed:
// marked data goes through a copy.
static bool WriteTextArgs(FileSlot* slot) {
    FileState& file = g_state.file;
    const char* data = Arg(3);
    if (SameWord(data, kBufferWord)) {
        DWORD count = file.lastReadCount;
        if (count > ReadBufferCapacity()) count = ReadBufferCapacity();
        return WriteBytes(slot, file.readBuffer ? file.readBuffer : "", count);
    }
    size_t length = strlen(data);
    char marker = Arg(4)[0];
    if (!marker || !memchr(data, marker, length)) return WriteBytes(slot, data, length);

    char* copy = static_cast<char*>(malloc(length + 1));
    if (!copy) return false;
    for (size_t i = 0; i < length; ++i) copy[i] = data[i] == marker ? '\0' : data[i];
    bool written = WriteBytes(slot, copy, length);
    DWORD error = GetLastError();
    free(copy);
    SetLastError(error);
    return written;
}

// "HEX": a pair of digits every third character, at most HexWriteLimit bytes.
static bool WriteHexArgs(FileSlot* slot) {
    FileState& file = g_state.file;
    const char* text = Arg(3);
    size_t count = HexPairsToBytes(text, strlen(text), file.hexBytes, HexWriteLimit);
    return WriteBytes(slot, file.hexBytes, static_cast<DWORD>(count));
}

// FILEWRITE number mode data marker: -1 when the number is outside 1..10 or a
// write or end-of-file call failed, else 0. Another mode word writes nothing. The
// slot stays where the write ended, also at the end of the file, so writes append.
int FileWrite() {
    FileSlot* slot = SlotFromArgs();
    if (!slot) return -1;
    bool text = SameWord(Arg(2), "TEXT") || SameWord(Arg(2), "RAWDATA");
    bool hex = SameWord(Arg(2), "HEX");
    if (!text && !hex) return 0;

    DWORD sizeBefore = GetFileSize(slot->handle, nullptr);
    bool written = text ? WriteTextArgs(slot) : WriteHexArgs(slot);
    DWORD failure = written ? 0 : GetLastError();
    DWORD sizeAfter = GetFileSize(slot->handle, nullptr);
    if (sizeAfter != INVALID_FILE_SIZE && sizeAfter > sizeBefore && !SetEndOfFile(slot->handle)) {
        if (written) failure = GetLastError();
        written = false;
    }
    RecordPosition(slot);
    if (!written) SetLastError(failure);
    return written ? 0 : -1;
}
