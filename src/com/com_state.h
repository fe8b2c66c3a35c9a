// Automation objects: the object table, the names already looked up, the events
// heard. Every slot owns exactly one reference to what it holds.
#pragma once

#include <windows.h>
#include <oaidl.h>

constexpr int ComObjectCount = 1000;   // object numbers 1..1000
constexpr int ComClassBytes = 64;      // the class a slot is known by, for messages
constexpr int ComNameCacheSize = 256;  // member names already resolved (a hashed table)
constexpr int ComNameBytes = 64;       // a cached member name, terminator included
constexpr int ComEventRowLimit = 1000; // event rows kept per object; later ones are dropped
constexpr int ComEventBytes = 256;     // an event name (prefix and member), terminator included
constexpr int ComEventPrefixBytes = 128;
constexpr int ComArgMax = 30;          // arguments of one call (the block's at most)

// What a slot holds.
enum class ComKind : unsigned char {
    Empty,
    Object,       // an interface pointer (IDispatch for automation objects)
    Array,        // a SAFEARRAY the slot owns
    Enumerator,   // an IEnumVARIANT over a collection
    ArrayWalk,    // a copy of an array and the position of the next element
};

struct ComSink;  // an event sink (events.cpp)

struct ComObject {
    ComKind kind;
    IUnknown* unknown;     // the owned reference (Object, Enumerator); null otherwise
    IID iid;               // the interface `unknown` is (IID_IDispatch for automation objects)
    int interfaceIndex;    // a declared interface describing `unknown`, -1 for none
    SAFEARRAY* array;      // Array, ArrayWalk: owned
    LONG walkPosition;     // ArrayWalk: elements already answered
    DWORD serial;          // changes with every store: cached names of an old object never match
    char className[ComClassBytes];  // "Scripting.Dictionary", or the member that gave it
    ComSink* sink;         // connected events, null when none
};

// One resolved member name: the object's serial and the name give the DISPID.
struct ComNameEntry {
    DWORD serial;  // 0: unused
    DISPID id;
    char name[ComNameBytes];
};

// The arguments of the call being made, as VARIANTs in the order IDispatch wants
// them (the last argument first), and what each needs afterwards.
struct ComCallArgs {
    VARIANT values[ComArgMax];
    bool borrowed[ComArgMax];       // a slot's pointer or array lent for the call: not cleared
    signed char refSlot[ComArgMax]; // REF:n: string slot n gets the value back, -1 none
    VARIANT refValues[ComArgMax];   // what a by-reference argument points at
    VARIANT refOriginal[ComArgMax]; // its value before the call: an unchanged one is not written back
    int count;
};

struct ComState {
    ComObject objects[ComObjectCount];
    DWORD nextSerial;
    bool comReady;          // CoInitializeEx was asked (whatever it answered)
    bool weInitialised;     // it succeeded: a CoUninitialize is owed, on initThread
    DWORD initThread;
    HRESULT initResult;     // what CoInitializeEx answered (RPC_E_CHANGED_MODE: the host's model)
    ComNameEntry names[ComNameCacheSize];
    UINT eventMessage;      // registered at first use; 0: events cannot be posted
    CRITICAL_SECTION eventLock;  // the sinks' rows: a server may fire from another thread
    bool lockReady;
    ComCallArgs call;
    HRESULT lastInvokeResult;  // what the last IDispatch::Invoke answered
    int callDepth;             // calls into objects under way (a server may pump messages)
    // Events the window hook met while a call was under way: posted again once it
    // returns, so the host hears them from its own loop, never inside a keyword.
    WPARAM deferredWhere[ComEventRowLimit];
    LPARAM deferredId[ComEventRowLimit];
    int deferredCount;
};
