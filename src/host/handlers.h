// Every keyword handler and the few hooks the host frame calls into the other
// subsystems. Command handlers answer -1 for a failure the script should see and 0
// otherwise (the frame then answers the status code). Function handlers answer the
// text to hand back; null means "not mine" and reads as "Invalid Function".
#pragma once

#include <windows.h>

// Menus and the window hook.
int MenuSetIdFactor();
int MenuCommand();
const char* MenuGetState();
LRESULT CALLBACK HookWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void HookInstall(HWND window);
void HookReleaseAtUnload();

// Drawing and screen queries.
int DrawCommand();
const char* PixelColour();
const char* MouseButtons();
void SurfaceRelease();

// Variables, structures, foreign calls.
int VarSetString();
int VarSetInteger();
int StructSet();
const char* VarGetString();
const char* VarGetInteger();
const char* VarStringAtAddress();
const char* StructGet();
const char* StructList();
int LibraryLoad();
int LibraryBindFunction();
int LibraryUnload();
bool ForeignFunctionBound();  // dispatch condition of DLLFUNC
const char* ForeignCall();
void CallDataReset();
// The module held under a library number 1..10, or null.
HMODULE LibraryHandleAt(long number);

// Typed calls, structures and buffers.
int TypedDeclare();
const char* TypedCall();
const char* TypedOut();
const char* TypedError();
int StructDeclare();
int BufferNew();
int BufferFree();
int BufferSet();
const char* BufferGet();
const char* BufferSize();
const char* ConstantQuery();
// DLLUNLOAD forgets the typed functions bound through the number from the module.
void TypedFunctionsForget(HMODULE library, int libraryNumber);
void TypedCallsReleaseAtUnload();
// DLLOUT forgets a call of an interface method (DLLINTERFACE moved the methods).
void TypedOutForgetMethods();

// Pasted COM interfaces and their methods called by name.
int InterfaceDeclare();
int ComQuery();
int ComAdopt();
const char* ComCall();
void InterfacesAtLoad();

// Callbacks a foreign function can call.
int CallbackDeclare();
int CallbackClear();
const char* CallbackAddress();
const char* CallbackNext();
const char* CallbackCountRows();
void CallbacksAtLoad();
void CallbacksAtUnload();
// The window hook's part: whether a message is a posted callback event, and
// reporting one to the host.
bool CallbackEventMessage(UINT message);
void CallbackReportEvent(WPARAM index, LPARAM generation);

// Files.
// Makes the read buffer hold `size` bytes and a terminator, and sets the size;
// answers false, changing nothing, when memory ran out.
bool ResizeReadBuffer(DWORD size);
int FileSaveListBox();
int FileOpen();
int FileWrite();
int FileReadCommand();
int FileClose();
const char* FileReadFunction();
const char* FileReadBufferSize();
const char* FileGetPosition();
const char* FileSetPosition();
const char* FileGetSize();
const char* FileSearchText();
const char* FileSearchHex();
void FilesCloseAtUnload();

// Automation objects.
int ComCreate();
int ComGet();
int ComRelease();
const char* ComCount();
const char* ComProp();
const char* ComInvoke();
int ComPropSet();
int ComEnum();
const char* ComNext();
// "OBJ:k" as a foreign call's pointer argument: 1 with the interface pointer slot k
// holds (an array slot's SAFEARRAY), 0 when the text is no such word, -1 (status 1005,
// DLLERROR set) for a number outside the table or an empty slot.
int ComObjectAddress(const char* text, DWORD* address);
int ComEvents();
const char* ComEventNext();
// The window hook's part: whether a message is a posted object event, and reporting it.
bool ComEventMessage(UINT message);
void ComReportEvent(WPARAM where, LPARAM id);
// Releases every object slot (DLLUNLOAD of nothing).
void ComReleaseAll();
// DLLUNLOAD is about to free `module`: the objects whose methods are in it are
// released while their code is still there (none stays callable into freed code).
void ComReleaseObjectsOf(HMODULE module);
// At unload: releases every object and gives COM back when the library initialised
// it; when the process is ending (foreign code may already be gone) nothing is called.
void ComAtUnload(bool processExit);
