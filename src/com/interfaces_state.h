// COM interfaces declared by pasting them from a header: their methods in slot order.
#pragma once

#include <windows.h>

#include "../calls/calls_state.h"

constexpr int InterfaceCount = 64;         // interfaces DLLINTERFACE can hold, IUnknown and IDispatch included
constexpr int InterfaceMethodPool = 512;   // methods of all interfaces together, each listed once
constexpr int InterfaceUnknown = 0;        // the two known from the start
constexpr int InterfaceDispatch = 1;

struct InterfaceType {
    char name[TypedNameBytes];
    GUID iid;
    bool hasIid;
    int base;         // the interface whose methods come first, -1 none
    int first;        // its own methods in the pool
    int count;
    DWORD textHash;   // of the declaration: the same one again changes nothing
};

struct InterfacesState {
    InterfaceType types[InterfaceCount];
    int count;
    Prototype methods[InterfaceMethodPool];
    int methodCount;
    // Scratch of the parser: the interface being declared (a type name while its
    // methods are read) and one method's prototype as ParsePrototype reads it.
    char pending[TypedNameBytes];
    int pendingIndex;
    char method[DeclarationBytes];
};
