// Script variables, structures and foreign calls.
#pragma once

#include <windows.h>

constexpr int VarSlotCount = 20;      // string, integer and structure slots 0..19
constexpr int VarTextBytes = 4048;    // every text field, terminator included
constexpr int StructIntCount = 16;    // the integer view of a structure slot
constexpr int StructTextCount = 4;    // the text view of a structure slot
constexpr int LibrarySlotCount = 10;  // library numbers 1..10
constexpr int FunctionSlotCount = 100;  // function numbers 1..100
constexpr int FunctionNameBytes = 256;  // an exported name of at most 255 characters
constexpr int CallWordCount = 20;       // words handed to every foreign call
constexpr int CallReturnTypeBytes = 16; // the return-type word, at most 15 characters
constexpr long CallSizeInitial = 4024;  // what a "STRSIZE" argument points at

// One structure slot: sixteen integers or four texts over the same memory.
union StructSlot {
    long ints[StructIntCount];
    char texts[StructTextCount][VarTextBytes];
};

// A function bound by DLLINITFUNC, with where it came from so that DLLUNLOAD can
// forget it before its code goes away.
struct FunctionSlot {
    char name[FunctionNameBytes];
    FARPROC entry;
    HMODULE library;    // the handle the name was looked up in
    int libraryNumber;  // the number that handle was stored under (1..10)
};

struct VarsState {
    char stringSlots[VarSlotCount][VarTextBytes];
    long intSlots[VarSlotCount];
    StructSlot structSlots[VarSlotCount];

    HMODULE librarySlots[LibrarySlotCount];
    FunctionSlot functionSlots[FunctionSlotCount];

    // The data of one DLLFUNC call, reset at the start of every function call.
    char callArgTexts[CallWordCount][VarTextBytes];
    DWORD callArgWords[CallWordCount];
    char callReturnType[CallReturnTypeBytes];
    long callSizeValue;
    FunctionSlot* callTarget;  // found by the dispatch condition, called by the handler
};
