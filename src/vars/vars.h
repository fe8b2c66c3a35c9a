// What the files of the variables subsystem share among themselves.
#pragma once

#include <stddef.h>
#include <windows.h>

// A slot of the table by its number, or null when the number lies outside it.
char* StringSlotAt(long index);
long* IntSlotAt(long index);
union StructSlot;
StructSlot* StructSlotAt(long index);

// Copies the NUL-terminated text at address into dest (at most capacity-1
// characters), reading only memory the system reports readable; a text that runs
// into unreadable memory is cut there. Answers the characters copied.
size_t CopyReadableText(char* dest, size_t capacity, const void* address);

// Calls entry with the twenty words as __stdcall parameters, words[0] first, and
// comes back with the stack pointer and EBX, ESI, EDI, EBP as they were, whatever
// number of bytes the callee removed, the direction flag clear and the x87 register
// stack empty. Answers the callee's EAX. An exception the callee does not handle
// itself, an x87 one left pending included, ends the call: the answer is then 0, the
// caller's x87 control word and MXCSR are back, and the thunk's handler fills *fault,
// which is left alone otherwise. (call_x86.S, which describes the record that lets
// another thunk use the same handler)
struct ForeignFault {
    DWORD code;   // the exception code
    BOOL raised;  // set by the handler, so that any code, 0 included, is told apart
    BOOL hasSse;  // set by the caller: the processor has MXCSR to keep
};
extern "C" DWORD __cdecl ForeignCallWords(FARPROC entry, const DWORD* words, ForeignFault* fault);

// The typed call: as ForeignCallWords, with `count` words and an outcome that also
// reports EDX, ST(0) (stored as a double when the x87 stack held a value) and the
// bytes the callee removed. It shares ForeignCallWords's frame, fault handler and
// return path, so a fault ends both the same way. (call_x86.S)
struct TypedOutcome;
extern "C" void __cdecl ForeignCallTyped(FARPROC entry, const DWORD* words, TypedOutcome* outcome, DWORD count);
// The same for method `method` of the object words[0] (count at least 1): its entry
// is read from the object's method table under the handler, so that a pointer that
// is no object faults into the handler like a faulting callee. (call_x86.S)
extern "C" void __cdecl ForeignCallTypedMethod(DWORD method, const DWORD* words, TypedOutcome* outcome,
                                               DWORD count);

// Method `method` of the object words[0], answering in EAX alone (an HRESULT), with
// `count` words (the object first): as ForeignCallTyped, the method's entry read
// under the handler, without looking at ST(0). (call_x86.S)
extern "C" DWORD __cdecl ForeignCallMethod(DWORD method, const DWORD* words, ForeignFault* fault, DWORD count);

// The answer to a call whose callee faulted: empty text, status 1003, and the
// system's error code for the exception as the last error.
const char* AnswerFault(DWORD code);
