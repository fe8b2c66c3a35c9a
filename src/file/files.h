// What the file keywords share: the slot lookup, the position rules and the
// hexadecimal pair codec.
#pragma once

#include <stddef.h>

#include "../host/state.h"

// The slot that the file number in Args[1] names, or null when it is outside 1..10.
FileSlot* SlotFromArgs();

// Stores the handle's current offset (or INVALID_SET_FILE_POINTER) as the position.
void RecordPosition(FileSlot* slot);
// Moves the handle to an absolute offset and stores what the system answers.
void MoveSlotTo(FileSlot* slot, DWORD offset);
// After a read or search: records the offset, and an offset at or past `size`
// wraps the slot to 0, which is how scripts see the end of the file.
void SyncPosition(FileSlot* slot, DWORD size);

// The byte of the hexadecimal pair at text[index] (one digit when the text ends
// after it), read as strtol base 16 reads it: a leading blank or sign is allowed
// and a pair without a digit gives 0; only the low 8 bits are kept.
unsigned char HexPairByte(const char* text, size_t index, size_t length);
// The bytes of the pairs at every third character of text, at most `limit`;
// answers how many.
size_t HexPairsToBytes(const char* text, size_t length, unsigned char* bytes, size_t limit);
// Rewrites the first `count` bytes of `buffer` in place as their hexadecimal text
// ("41 00 FF"), terminated; the buffer must hold 3 * count bytes (1 when count is 0).
void BytesToHexInPlace(char* buffer, size_t count);

// The system's ANSI upper case of every byte value, made on first use; on a
// double-byte code page lead bytes keep their values.
const unsigned char* FoldTable();
// Whether the ANSI code page has double-byte characters; a byte's upper case then
// depends on the bytes before it, and texts are folded by FoldDoubleByteText.
bool DoubleByteCodePage();
// Upper-cases a text in place as the system's ANSI call does on a double-byte code
// page: single-byte characters through the fold table, a double-byte character as
// a whole, never its second byte on its own. Characters are read from the first
// byte on, or from the second when the first is the second half of a character
// (startsInTrail). Answers whether text[mark] is the second half of a character
// (mark <= length), which is where a chunk that begins there must start.
bool FoldDoubleByteText(unsigned char* text, size_t length, bool startsInTrail, size_t mark);
// How many bytes at the end of the text could lead a double-byte character. Before
// a byte that cannot, a character begins; so an odd run before an offset means the
// offset is the second half of a character.
size_t LeadByteRun(const unsigned char* text, size_t length);
// Frees the double-byte rows at unload.
void FoldTablesRelease();

// Text answer helpers shared by the file functions.
extern const char kNoAnswer[];  // the empty text
