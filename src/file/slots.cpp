// Files: not built yet; the keywords answer as unrecognised ones.
#include "../host/handlers.h"

int FileSaveListBox() { return 0; }
int FileOpen() { return 0; }
int FileWrite() { return 0; }
int FileReadCommand() { return 0; }
int FileClose() { return 0; }
const char* FileReadFunction() { return nullptr; }
const char* FileReadBufferSize() { return nullptr; }
const char* FileGetPosition() { return nullptr; }
const char* FileSetPosition() { return nullptr; }
const char* FileGetSize() { return nullptr; }
const char* FileSearchText() { return nullptr; }
const char* FileSearchHex() { return nullptr; }
void FilesCloseAtUnload() {}
