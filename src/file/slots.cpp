// File slots: open, close, seek and size of the ten numbered files, and the
// position rules every read, write and search ends with.
#include "files.h"

#include "../host/handlers.h"
#include "../host/text.h"

const char kNoAnswer[] = "";

FileSlot* SlotFromArgs() {
    long number = ReadLong(Arg(1));
    if (number < 1 || number > FileSlotCount) return nullptr;
    return &g_state.file.slots[number - 1];
}

void RecordPosition(FileSlot* slot) {
    slot->position = SetFilePointer(slot->handle, 0, nullptr, FILE_CURRENT);
}

void MoveSlotTo(FileSlot* slot, DWORD offset) {
    // The offset goes in as a signed 32-bit distance with no high part: offsets
    // from 2^31 up are negative and refused by the system.
    slot->position = SetFilePointer(slot->handle, static_cast<LONG>(offset), nullptr, FILE_BEGIN);
}

void SyncPosition(FileSlot* slot, DWORD size) {
    RecordPosition(slot);
    if (slot->position >= size) MoveSlotTo(slot, 0);
}

static bool HoldsFile(const FileSlot* slot) {
    return slot->handle != nullptr && slot->handle != INVALID_HANDLE_VALUE;
}

// Closes the slot's file, if it holds one, and empties the slot; answers whether
// the close succeeded (an empty slot or a failed open has nothing to close).
static bool CloseSlot(FileSlot* slot) {
    bool closed = !HoldsFile(slot) || CloseHandle(slot->handle);
    slot->handle = nullptr;
    return closed;
}

struct OpenMode {
    const char* word;
    DWORD access;
    DWORD share;
    DWORD disposition;
};

static const OpenMode kOpenModes[] = {
    {"QUERY", 0, FILE_SHARE_READ, OPEN_EXISTING},
    {"READ", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING},
    {"WRITE", GENERIC_WRITE, 0, OPEN_ALWAYS},
    {"READ|WRITE", GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS},
};
// Any other word: a disposition of 0, which the system refuses.
static const OpenMode kUnknownMode = {"", 0, 0, 0};

static const OpenMode& ModeNamed(const char* word) {
    for (const OpenMode& mode : kOpenModes)
        if (SameWord(word, mode.word)) return mode;
    return kUnknownMode;
}

// FILEOPEN number path mode: -1 when the number is outside 1..10 or the open
// fails (the slot then holds INVALID_HANDLE_VALUE), else 0. A file the slot
// already holds is closed first, so it is not left open and locked.
int FileOpen() {
    FileSlot* slot = SlotFromArgs();
    if (!slot) return -1;
    CloseSlot(slot);
    slot->position = 0;
    const OpenMode& mode = ModeNamed(Arg(3));
    slot->handle = CreateFileA(Arg(2), mode.access, mode.share, nullptr, mode.disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    return slot->handle == INVALID_HANDLE_VALUE ? -1 : 0;
}

// FILECLOSE number: -1 when the number is outside 1..10 or the close fails (the
// slot is empty afterwards all the same), else 0; an empty slot answers 0.
int FileClose() {
    FileSlot* slot = SlotFromArgs();
    if (!slot) return -1;
    return CloseSlot(slot) ? 0 : -1;
}

// FILEGETPOS number: the recorded position; the empty text outside 1..10.
const char* FileGetPosition() {
    FileSlot* slot = SlotFromArgs();
    if (!slot) return kNoAnswer;
    return AnswerUnsigned(slot->position);
}

// FILESETPOS number offset: the position the system answers, 4294967295 when it
// refused the seek (offsets from 2147483648 up); the empty text outside 1..10.
const char* FileSetPosition() {
    FileSlot* slot = SlotFromArgs();
    if (!slot) return kNoAnswer;
    MoveSlotTo(slot, ReadUnsigned(Arg(2)));
    return AnswerUnsigned(slot->position);
}

// FILEGETSIZE number: the low 32 bits of the size, 4294967295 when the slot holds
// no file; the empty text outside 1..10.
const char* FileGetSize() {
    FileSlot* slot = SlotFromArgs();
    if (!slot) return kNoAnswer;
    return AnswerUnsigned(GetFileSize(slot->handle, nullptr));
}

// At unload every open file is closed; a slot without a file is passed over and
// one failing close does not keep the later files open and locked. The search's
// double-byte tables go too.
void FilesCloseAtUnload() {
    for (FileSlot& slot : g_state.file.slots) CloseSlot(&slot);
    FoldTablesRelease();
}
