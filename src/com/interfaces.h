// What the interface table offers the typed calls and the object keywords.
#pragma once

#include <windows.h>

#include "../calls/calls_state.h"

// A declared interface by name (IUnknown and IDispatch included; also the one being
// declared, while its methods are read), or -1.
int FindInterface(const char* name, int length);
// The same without regard to case, for names a script gives.
int FindInterfaceWord(const char* name, int length);
// The declared interface with this IID, or -1.
int FindInterfaceByIid(const GUID& iid);
// Its name ("IUnknown" for -1: an interface nothing more is known of).
const char* InterfaceName(int index);
// Whether an interface's declaration is being read: unknown pointer types are then
// untyped addresses (a pasted header names structures the script never declares).
bool InterfaceBeingDeclared();
// Whether `index` is `base` or derives from it.
bool InterfaceDerivesFrom(int index, int base);
// The method of that name, searched from the interface through its bases: its
// prototype and its slot in the vtable; null when no method of the chain has it.
const Prototype* FindInterfaceMethod(int index, const char* name, int* slot);

// An interface argument: a declared name that has a uuid, or an IID text {...}.
// Answers the IID and the declared interface (-1 when the IID is of none declared);
// false with DLLERROR set (status 1005) otherwise.
bool ReadInterfaceArgument(const char* text, GUID* iid, int* index);
// A GUID from "{8-4-4-4-12}" (the braces optional); false for anything else.
bool ReadGuidText(const char* text, GUID* guid);
// The GUID as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX} (39 bytes with the terminator).
void FormatGuid(const GUID& guid, char* out);

// The interface a slot holds: the one recorded, else the one its IID names (-1: none
// declared, so nothing more is known than IUnknown). (src/com/typed_params.cpp)
struct ComObject;
int ObjectInterface(const ComObject* slot);
