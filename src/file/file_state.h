// Numbered files and the read buffers.
#pragma once

#include <windows.h>

constexpr int FileSlotCount = 10;  // file numbers 1..10

struct FileSlot {
    HANDLE handle;
    DWORD position;
    DWORD bytesRead;
    DWORD bytesWritten;
};

struct FileState {
    FileSlot slots[FileSlotCount];
    char* readBuffer;
    DWORD readBufferSize;
    DWORD lastReadCount;
    char* rawDataBuffer;
    HWND lastListBox;
};
