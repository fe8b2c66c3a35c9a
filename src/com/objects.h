// What the files of the automation subsystem share among themselves (and with the
// pasted-interface keywords, which keep their pointers in the same object slots).
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "../host/handlers.h"
#include "com_state.h"

// ---- starting COM ---------------------------------------------------------------
// Initialises COM on the calling thread at the first use, apartment-threaded; a
// thread the host already initialised in another model is served in that model.
// Answers false (status 1006, DLLERROR says why) when COM cannot be used.
bool ComStartup();

// ---- failures --------------------------------------------------------------------
// Sets DLLERROR (printf-style, cut to fit) and the status; answers false so that a
// failing step can `return ComFail(...)`.
bool ComFail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The system's text for an HRESULT, without its line break, into out (cut to fit).
void ComErrorText(HRESULT hr, char* out, size_t capacity);

// Status 1006 with DLLERROR "<what the format says>: 0x<hr> <the system's text>";
// answers false.
bool ComFailHresult(HRESULT hr, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Whether a call into an object is under way: an automation call, or a pasted
// interface's method called by COMCALL (a server may pump messages meanwhile).
bool ComObjectCallUnderWay();
// A keyword that arrives while a call into an object is under way (the host ran
// script code for an event a server's message loop dispatched) is refused: status
// 1006, DLLERROR says why. The slot under call and the call's arguments stay intact.
bool ComInsideCall();

// ---- the slots ------------------------------------------------------------------------
// The slot of a number 1..1000, or null when the number lies outside the table.
ComObject* ComSlotAt(long number);
// The slot an argument names ("3" or "OBJ:3"): null with status 1005 and DLLERROR
// set when the number is outside 1..1000, or (with mustHold) when the slot is empty.
ComObject* ComSlotArg(const char* text, bool mustHold);
// The start of a function keyword over the object Args[1] names: DLLERROR cleared and
// the answer empty; the slot, or null when a call into an object is under way or the
// argument names no object (the status and DLLERROR say which).
ComObject* ComFunctionSlot();
// The slot's number, 1..1000.
int ComSlotNumber(const ComObject* slot);
// The lowest empty slot, or null when all 1000 hold something (status 1006 set).
ComObject* ComLowestFree();
// Whether a slot that holds something may be emptied or replaced now: not while a
// call into foreign code is under way (an object's method, a typed call), whose object
// or arguments it may be. False with status 1006 and DLLERROR set. An empty slot may
// always be filled. Every change of a slot asks this, so that no keyword can free what
// a call on the stack still uses.
bool ComSlotMayChange(const ComObject* slot);
// Empties a slot: disconnects its events and gives back the one reference (or the
// array) it owns. An empty slot stays empty. False (the slot as it was) when it may
// not change now.
bool ComSlotRelease(ComObject* slot);
// Keeps `pointer` (whose one reference the slot takes over) in the slot, releasing
// what was there first. `className` names it in messages (null: none). False when the
// slot may not change now: the reference is then given back.
bool ComSlotStore(ComObject* slot, IUnknown* pointer, REFIID iid, const char* className);
// Keeps an array in the slot (taking it over), releasing what was there first; false
// (the array destroyed) when the slot may not change now.
bool ComSlotStoreArray(ComObject* slot, SAFEARRAY* array, const char* className);
// Slots holding something.
int ComSlotsHeld();
// Whether the slot holds an interface pointer (an object, or an enumerator COMENUM made).
inline bool ComHoldsInterface(const ComObject* slot) {
    return (slot->kind == ComKind::Object || slot->kind == ComKind::Enumerator) && slot->unknown;
}
// (ComReleaseAll and ComAtUnload, which the host frame calls, are in handlers.h.)

// "OBJ:k": 1 with the slot when it holds something, 0 when the text is no such word,
// -1 (status 1005, DLLERROR set) for a number outside the table or an empty slot.
int ComReadObjectWord(const char* text, ComObject** slot);
extern const char kObjectPrefix[];  // "OBJ:"

// ---- calls into objects -------------------------------------------------------------
// Entries of the platform's method tables, by the interface that declares them.
constexpr int MethodQueryInterface = 0;    // IUnknown
constexpr int MethodAddRef = 1;
constexpr int MethodRelease = 2;
constexpr int MethodGetTypeInfo = 4;       // IDispatch
constexpr int MethodGetIDsOfNames = 5;
constexpr int MethodInvoke = 6;
constexpr int MethodGetClassInfo = 3;      // IProvideClassInfo
constexpr int MethodGetGUID = 4;           // IProvideClassInfo2
constexpr int MethodFindConnectionPoint = 4;  // IConnectionPointContainer
constexpr int MethodAdvise = 5;            // IConnectionPoint
constexpr int MethodUnadvise = 6;
constexpr int MethodParseDisplayName = 3;  // IParseDisplayName
constexpr int MethodBindToObject = 8;      // IMoniker
constexpr int MethodEnumNext = 3;          // IEnumVARIANT

// Calls a method of an interface (its vtable entry `method`, `this` first, then the
// words) under the foreign-call fault handler. Answers false when the callee faulted
// (status 1003 and DLLERROR set, `what` naming the call); otherwise *hr is its answer.
bool ComGuardedCall(void* object, int method, const DWORD* words, int count, HRESULT* hr, const char* what);
// IUnknown::Release of a server's object under the same guard (a fault is noted in
// DLLERROR only); and a VARIANT cleared that way when it holds an object.
void ComGuardedRelease(IUnknown* unknown);
// IUnknown::QueryInterface under the same guard: false for a fault (status 1003);
// otherwise *hr is its answer, E_NOINTERFACE when it succeeded with no pointer, and
// *out the pointer (null unless it succeeded).
bool ComGuardedQuery(IUnknown* unknown, REFIID iid, void** out, HRESULT* hr);
void ComClearValue(VARIANT* v);
// The same for a function of the system (CoCreateInstance ...), words as given.
bool ComGuardedApi(FARPROC entry, const DWORD* words, int count, HRESULT* hr, const char* what);

// ---- events (events.cpp) ---------------------------------------------------------------
// Disconnects the slot's events, if connected, and frees what they kept.
void ComEventsDisconnect(ComObject* slot);
// Posts again the events the window hook met during a call into an object.
void ComPostDeferredEvents();
