// Numbered files, the read buffers and the save of a list box.
#pragma once

#include <windows.h>

constexpr int FileSlotCount = 10;              // file numbers 1..10
constexpr DWORD HexReadLimit = 32768;          // bytes of one FILEREAD "HEX"
constexpr DWORD HexWriteLimit = 32767;         // bytes of one FILEWRITE "HEX"
constexpr DWORD HexPatternScanLimit = 4025;    // pairs of a search pattern start below this index
constexpr DWORD HexPatternLimit = 1342;        // so at most this many pattern bytes
constexpr DWORD HexPairStride = 3;             // two digits and one separator
constexpr DWORD SearchChunkSize = 1000000;     // bytes read per search step
constexpr DWORD SearchChunkPadding = 32;       // lets the vector scan read past the data

struct FileSlot {
    HANDLE handle;  // 0: never opened or closed; INVALID_HANDLE_VALUE: the open failed
    DWORD position;
    DWORD bytesRead;
    DWORD bytesWritten;
};

struct FileState {
    FileSlot slots[FileSlotCount];
    char* readBuffer;
    DWORD readBufferSize;   // most bytes one FILEREAD transfers
    DWORD readBufferBytes;  // bytes allocated, at least the size + 2
    DWORD lastReadCount;
    char* rawDataBuffer;
    bool rawDataShrunk;  // the block has its shrunk size; whoever resizes or makes it clears this
    unsigned char hexBytes[HexWriteLimit];  // FILEWRITE "HEX" parses into this
    unsigned char foldTable[256];           // the system's ANSI upper case of every byte
    bool leadByte[256];                     // bytes that begin a double-byte character
    unsigned char doubleByteRow[256];       // by lead byte: 1 + its row of upper cases, or 0
    unsigned char (*doubleByteFolds)[256][2];  // the rows, by second byte (heap, made once)
    int doubleByteRows;
    bool doubleByteCodePage;
    bool foldTableReady;
    char hexPairs[256][2];                  // the digit pair of every byte
    signed char hexDigits[256];             // the value of every hexadecimal digit, else -1
    bool hexTablesReady;
    HWND lastListBox;
};
