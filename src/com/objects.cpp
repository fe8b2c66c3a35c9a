// The object table: slots 1..1000, each owning one reference (or one array), COM's
// start at first use and its end at unload, and COMCREATE, COMGET, COMRELEASE,
// COMCOUNT. Every call into an object goes through the foreign-call thunk, so a
// server that faults in-process is survived as DLLFUNC survives a callee.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "../calls/calls.h"
#include "../host/state.h"
#include "../host/text.h"
#include "../vars/vars.h"
#include "interfaces.h"
#include "objects.h"

const char kObjectPrefix[] = "OBJ:";

// ---- failures ---------------------------------------------------------------------------

bool ComFail(int status, const char* format, ...) {
    char* error = g_state.calls.error;
    va_list args;
    va_start(args, format);
    vsnprintf(error, CallErrorBytes, format, args);
    va_end(args);
    error[CallErrorBytes - 1] = '\0';
    g_state.host.statusCode = status;
    return false;
}

bool ComFailHresult(HRESULT hr, const char* format, ...) {
    char* error = g_state.calls.error;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(error, CallErrorBytes, format, args);
    va_end(args);
    if (length < 0) length = 0;
    if (length < CallErrorBytes - 1) {
        char text[200];
        ComErrorText(hr, text, sizeof text);
        snprintf(error + length, CallErrorBytes - length, ": 0x%08lX %s", static_cast<unsigned long>(hr), text);
    }
    error[CallErrorBytes - 1] = '\0';
    g_state.host.statusCode = StatusComFailed;
    return false;
}

void ComErrorText(HRESULT hr, char* out, size_t capacity) {
    out[0] = '\0';
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), out,
                                  static_cast<DWORD>(capacity), nullptr);
    while (length && (out[length - 1] == '\n' || out[length - 1] == '\r' || out[length - 1] == ' ' ||
                      out[length - 1] == '.'))
        out[--length] = '\0';
    if (!length) CopyBounded(out, capacity, "no system text");
}

// ---- guarded calls ----------------------------------------------------------------------

// What every guarded call does after its thunk: events met meanwhile posted again,
// a fault answered as DLLFUNC answers one.
static bool EndGuardedCall(const ForeignFault& fault, DWORD answer, HRESULT* hr, const char* what) {
    ComState& com = g_state.com;
    --com.callDepth;
    if (!ComObjectCallUnderWay() && com.deferredCount) ComPostDeferredEvents();
    if (fault.raised) {
        AnswerFault(fault.code);  // status 1003, the last error
        return ComFail(StatusForeignFault, "%s raised exception 0x%08lX", what, static_cast<unsigned long>(fault.code));
    }
    *hr = static_cast<HRESULT>(answer);
    return true;
}

bool ComGuardedApi(FARPROC entry, const DWORD* words, int count, HRESULT* hr, const char* what) {
    TypedOutcome outcome;
    memset(&outcome, 0, sizeof outcome);
    outcome.hasSse = g_state.host.processorHasSse;
    ++g_state.com.callDepth;
    ForeignCallTyped(entry, words, &outcome, count);
    ForeignFault fault = {outcome.code, outcome.raised, outcome.hasSse};
    return EndGuardedCall(fault, outcome.eax, hr, what);
}

bool ComGuardedCall(void* object, int method, const DWORD* words, int count, HRESULT* hr, const char* what) {
    DWORD all[16];
    if (count > 15) count = 15;
    all[0] = reinterpret_cast<DWORD>(object);
    for (int i = 0; i < count; ++i) all[i + 1] = words[i];
    ForeignFault fault = {0, FALSE, g_state.host.processorHasSse};
    ++g_state.com.callDepth;
    DWORD answer = ForeignCallMethod(static_cast<DWORD>(method), all, &fault, count + 1);
    return EndGuardedCall(fault, answer, hr, what);
}

void ComGuardedRelease(IUnknown* unknown) {
    HRESULT ignored;
    int status = g_state.host.statusCode;
    if (!ComGuardedCall(unknown, MethodRelease, nullptr, 0, &ignored, "Release")) g_state.host.statusCode = status;
}

bool ComGuardedQuery(IUnknown* unknown, REFIID iid, void** out, HRESULT* hr) {
    *out = nullptr;
    const DWORD words[] = {reinterpret_cast<DWORD>(&iid), reinterpret_cast<DWORD>(out)};
    if (!ComGuardedCall(unknown, MethodQueryInterface, words, 2, hr, "QueryInterface")) return *out = nullptr, false;
    if (FAILED(*hr)) *out = nullptr;  // a server may leave anything there when it fails
    else if (!*out) *hr = E_NOINTERFACE;
    return true;
}

void ComClearValue(VARIANT* v) {
    if ((V_VT(v) == VT_DISPATCH || V_VT(v) == VT_UNKNOWN) && V_UNKNOWN(v)) {
        ComGuardedRelease(V_UNKNOWN(v));
        V_VT(v) = VT_EMPTY;
        return;
    }
    VariantClear(v);
}

bool ComObjectCallUnderWay() { return g_state.com.callDepth > 0 || g_state.calls.intoObject; }

bool ComInsideCall() {
    if (!ComObjectCallUnderWay()) return false;
    ComFail(StatusComFailed, "a call into an object is under way: its object and slots wait until it returns");
    return true;
}

ComObject* ComFunctionSlot() {
    CallErrorClear();
    g_state.host.resultBuffer[0] = '\0';
    if (ComInsideCall()) return nullptr;
    return ComSlotArg(Arg(1), true);
}

// ---- starting and ending COM ----------------------------------------------------------

bool ComStartup() {
    ComState& com = g_state.com;
    if (com.comReady) return true;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (hr == RPC_E_CHANGED_MODE) {
        // The host chose the multithreaded model before us: served in that model.
    } else if (FAILED(hr)) {
        return ComFailHresult(hr, "COM could not be initialised");
    } else {
        com.weInitialised = true;  // S_OK or S_FALSE: either is owed one CoUninitialize
        com.initThread = GetCurrentThreadId();
    }
    com.initResult = hr;
    com.comReady = true;
    if (!com.lockReady) {
        InitializeCriticalSection(&com.eventLock);
        com.lockReady = true;
        com.eventMessage = RegisterWindowMessageA("TRAKX automation event");
    }
    return true;
}

void ComReleaseAll() {
    // Not while a call into foreign code is under way: its object would go under it.
    if (g_state.com.callDepth > 0 || g_state.calls.depth > 0) return;
    for (ComObject& slot : g_state.com.objects) ComSlotRelease(&slot);
}

// Whether the object's method table, or its first method, lies in the module's image.
static bool ObjectCodeIn(const IUnknown* object, HMODULE module) {
    const BYTE* base = reinterpret_cast<const BYTE*>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    DWORD size = headers->OptionalHeader.SizeOfImage;
    auto inside = [&](DWORD address) { return address - reinterpret_cast<DWORD>(base) < size; };
    DWORD table = 0, first = 0;
    SIZE_T read = 0;
    // Not a call's path: the system's careful read is affordable here.
    if (!ReadProcessMemory(GetCurrentProcess(), object, &table, 4, &read) || read != 4) return false;
    if (inside(table)) return true;
    return ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(table), &first, 4, &read) &&
           read == 4 && inside(first);
}

void ComReleaseObjectsOf(HMODULE module) {
    if (!module) return;
    for (ComObject& slot : g_state.com.objects)
        if (ComHoldsInterface(&slot) && ObjectCodeIn(slot.unknown, module)) ComSlotRelease(&slot);
}

void ComAtUnload(bool processExit) {
    ComState& com = g_state.com;
    if (processExit) return;
    ComReleaseAll();
    // Only the thread that initialised may give it back.
    if (com.weInitialised && com.initThread == GetCurrentThreadId()) CoUninitialize();
    com.weInitialised = com.comReady = false;
}

// ---- the slots --------------------------------------------------------------------------

ComObject* ComSlotAt(long number) {
    if (number < 1 || number > ComObjectCount) return nullptr;
    return &g_state.com.objects[number - 1];
}

int ComSlotNumber(const ComObject* slot) { return static_cast<int>(slot - g_state.com.objects) + 1; }

ComObject* ComSlotArg(const char* text, bool mustHold) {
    bool plain = *text >= '0' && *text <= '9';  // most numbers come bare: no prefix to compare
    const char* digits = !plain && HasPrefix(text, kObjectPrefix) ? text + strlen(kObjectPrefix) : text;
    ComObject* slot = ComSlotAt(ReadDigits(digits));
    if (!slot)
        return ComFail(StatusBadValue, "object number '%.20s' is not 1 to %d", text, ComObjectCount), nullptr;
    if (mustHold && slot->kind == ComKind::Empty)
        return ComFail(StatusBadValue, "object %d holds nothing", ComSlotNumber(slot)), nullptr;
    return slot;
}

int ComReadObjectWord(const char* text, ComObject** slot) {
    if (!HasPrefix(text, kObjectPrefix)) return 0;
    *slot = ComSlotArg(text, true);
    return *slot ? 1 : -1;
}

ComObject* ComLowestFree() {
    for (ComObject& slot : g_state.com.objects)
        if (slot.kind == ComKind::Empty) return &slot;
    return ComFail(StatusComFailed, "all %d object slots hold something: COMRELEASE some", ComObjectCount), nullptr;
}

int ComSlotsHeld() {
    int held = 0;
    for (const ComObject& slot : g_state.com.objects) held += slot.kind != ComKind::Empty;
    return held;
}

bool ComSlotMayChange(const ComObject* slot) {
    if (slot->kind == ComKind::Empty || (g_state.com.callDepth <= 0 && g_state.calls.depth <= 0)) return true;
    return ComFail(StatusComFailed, "object %d cannot be released or replaced while a call is under way (it may be "
                   "the object or an argument of that call): try again after it returns", ComSlotNumber(slot));
}

bool ComSlotRelease(ComObject* slot) {
    if (slot->kind == ComKind::Empty) return true;
    if (!ComSlotMayChange(slot)) return false;
    ComEventsDisconnect(slot);
    // The slot is emptied before the release: a server that calls back in while it
    // goes away finds nothing there.
    IUnknown* unknown = slot->unknown;
    SAFEARRAY* array = slot->array;
    memset(slot, 0, sizeof *slot);
    slot->interfaceIndex = -1;
    if (unknown) ComGuardedRelease(unknown);
    if (array) SafeArrayDestroy(array);
    return true;
}

// Marks the slot as holding something new: names cached for an earlier occupant no
// longer match. False when what it holds may not go now.
static bool BeginStore(ComObject* slot, ComKind kind, const char* className) {
    if (!ComSlotRelease(slot)) return false;
    slot->kind = kind;
    slot->interfaceIndex = -1;
    slot->serial = ++g_state.com.nextSerial;
    if (!slot->serial) slot->serial = ++g_state.com.nextSerial;  // 0 marks an unused cache entry
    CopyBounded(slot->className, ComClassBytes, className ? className : "");
    return true;
}

bool ComSlotStore(ComObject* slot, IUnknown* pointer, REFIID iid, const char* className) {
    if (!BeginStore(slot, IsEqualIID(iid, IID_IEnumVARIANT) ? ComKind::Enumerator : ComKind::Object, className))
        return ComGuardedRelease(pointer), false;
    slot->unknown = pointer;
    slot->iid = iid;
    return true;
}

bool ComSlotStoreArray(ComObject* slot, SAFEARRAY* array, const char* className) {
    if (!BeginStore(slot, ComKind::Array, className)) return SafeArrayDestroy(array), false;
    slot->array = array;
    return true;
}

// ---- the keywords ---------------------------------------------------------------------------

// A class by ProgID ("Scripting.Dictionary", versioned or not) or CLSID text "{...}".
static HRESULT ClassFromText(const char* text, CLSID* clsid) {
    WCHAR wide[256];
    if (!*text || !MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 256)) return CO_E_CLASSSTRING;
    return text[0] == '{' ? CLSIDFromString(wide, clsid) : CLSIDFromProgID(wide, clsid);
}

// Status 1006 with the keyword, the name, the HRESULT in hex and the system's text.
static int FailCall(const char* keyword, const char* name, HRESULT hr) {
    return ComFailHresult(hr, "%s %.200s", keyword, name), 0;
}

// COMCREATE k class [interface]: a new object of the class (in-process or local
// server); its IDispatch (or the interface named) goes into slot k, releasing what
// was there. Answers 0, or the status
// (1005 a bad number, 1006 no such class or the server refused, 1003 a fault) with
// DLLERROR saying why; a failure changes no slot.
int ComCreate() {
    CallErrorClear();
    if (ComInsideCall()) return 0;
    ComObject* slot = ComSlotArg(Arg(1), false);
    if (!slot || !ComStartup()) return 0;
    CLSID clsid;
    HRESULT hr = ClassFromText(Arg(2), &clsid);
    if (FAILED(hr)) return FailCall("COMCREATE: no class", Arg(2), hr);
    // A third argument asks for a pasted interface (or an IID) instead of IDispatch.
    GUID iid = IID_IDispatch;
    int interfaceIndex = -1;
    if (*Arg(3) && !ReadInterfaceArgument(Arg(3), &iid, &interfaceIndex)) return 0;
    IDispatch* dispatch = nullptr;
    const DWORD words[] = {reinterpret_cast<DWORD>(&clsid), 0, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                           reinterpret_cast<DWORD>(&iid), reinterpret_cast<DWORD>(&dispatch)};
    if (!ComGuardedApi(reinterpret_cast<FARPROC>(reinterpret_cast<void*>(CoCreateInstance)), words, 5, &hr, "CoCreateInstance")) return 0;
    if (FAILED(hr) || !dispatch) return FailCall("COMCREATE", Arg(2), FAILED(hr) ? hr : E_NOINTERFACE);
    if (ComSlotStore(slot, dispatch, iid, Arg(2))) slot->interfaceIndex = interfaceIndex;
    return 0;
}

// "progid:rest" (the class's own part before the colon, more than one character: not
// a drive letter) bound through the class's in-process parser, as the system would,
// but without a local server where the class is in-process. Answers S_OK with the
// object, or the failure to try the system's way with.
static HRESULT BindThroughInprocParser(const char* name, const WCHAR* wide, IDispatch** dispatch, bool* faulted) {
    const char* colon = strchr(name, ':');
    char progid[128];
    if (!colon || colon - name < 2 || colon - name >= static_cast<int>(sizeof progid)) return MK_E_SYNTAX;
    memcpy(progid, name, colon - name);
    progid[colon - name] = '\0';
    CLSID clsid;
    HRESULT hr = ClassFromText(progid, &clsid);
    if (FAILED(hr)) return hr;
    IParseDisplayName* parser = nullptr;
    IBindCtx* context = nullptr;
    IMoniker* moniker = nullptr;
    const DWORD create[] = {reinterpret_cast<DWORD>(&clsid), 0, CLSCTX_INPROC_SERVER,
                            reinterpret_cast<DWORD>(&IID_IParseDisplayName), reinterpret_cast<DWORD>(&parser)};
    if (!ComGuardedApi(reinterpret_cast<FARPROC>(reinterpret_cast<void*>(CoCreateInstance)), create, 5, &hr,
                       "CoCreateInstance"))
        return *faulted = true, E_FAIL;
    if (SUCCEEDED(hr)) hr = CreateBindCtx(0, &context);
    ULONG eaten = 0;
    const DWORD parse[] = {reinterpret_cast<DWORD>(context), reinterpret_cast<DWORD>(wide),
                           reinterpret_cast<DWORD>(&eaten), reinterpret_cast<DWORD>(&moniker)};
    if (SUCCEEDED(hr) && !ComGuardedCall(parser, MethodParseDisplayName, parse, 4, &hr, "ParseDisplayName"))
        *faulted = true;
    const DWORD bind[] = {reinterpret_cast<DWORD>(context), 0, reinterpret_cast<DWORD>(&IID_IDispatch),
                          reinterpret_cast<DWORD>(dispatch)};
    if (SUCCEEDED(hr) && !*faulted && moniker && !ComGuardedCall(moniker, MethodBindToObject, bind, 4, &hr, "BindToObject"))
        *faulted = true;
    if (moniker) ComGuardedRelease(moniker);
    if (context) context->Release();
    if (parser) ComGuardedRelease(parser);
    if (*faulted) hr = E_FAIL;
    if (SUCCEEDED(hr) && !*dispatch) hr = E_NOINTERFACE;
    return hr;
}

// COMGET k name: an existing object into slot k: the running instance of a ProgID,
// or what a moniker or display name binds to ("winmgmts:", a file path). Failures
// as COMCREATE's.
int ComGet() {
    CallErrorClear();
    if (ComInsideCall()) return 0;
    ComObject* slot = ComSlotArg(Arg(1), false);
    if (!slot || !ComStartup()) return 0;
    const char* name = Arg(2);
    WCHAR wide[1024];
    if (!*name || !MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 1024))
        return FailCall("COMGET: no name", name, MK_E_SYNTAX);
    IDispatch* dispatch = nullptr;
    CLSID clsid;
    HRESULT hr = MK_E_UNAVAILABLE;
    // A ProgID or CLSID names a running instance; anything else is a display name.
    if (!strpbrk(name, ":\\/") && SUCCEEDED(ClassFromText(name, &clsid))) {
        IUnknown* running = nullptr;
        const DWORD words[] = {reinterpret_cast<DWORD>(&clsid), 0, reinterpret_cast<DWORD>(&running)};
        if (!ComGuardedApi(reinterpret_cast<FARPROC>(reinterpret_cast<void*>(GetActiveObject)), words, 3, &hr,
                           "GetActiveObject"))
            return 0;
        if (SUCCEEDED(hr) && running) {
            bool survived = ComGuardedQuery(running, IID_IDispatch, reinterpret_cast<void**>(&dispatch), &hr);
            ComGuardedRelease(running);
            if (!survived) return 0;
        }
    } else {
        bool faulted = false;
        hr = BindThroughInprocParser(name, wide, &dispatch, &faulted);
        if (faulted) return 0;  // status 1003 and DLLERROR already set
        if (FAILED(hr)) {
            const DWORD words[] = {reinterpret_cast<DWORD>(wide), 0, reinterpret_cast<DWORD>(&IID_IDispatch),
                                   reinterpret_cast<DWORD>(&dispatch)};
            if (!ComGuardedApi(reinterpret_cast<FARPROC>(reinterpret_cast<void*>(CoGetObject)), words, 4, &hr,
                               "CoGetObject"))
                return 0;
        }
    }
    if (FAILED(hr) || !dispatch) return FailCall("COMGET", name, FAILED(hr) ? hr : E_NOINTERFACE);
    ComSlotStore(slot, dispatch, IID_IDispatch, name);
    return 0;
}

// COMRELEASE k: empties slot k (its events disconnected, its reference given back).
// An empty slot or a number outside 1..1000 answers 1005.
int ComRelease() {
    CallErrorClear();
    if (ComInsideCall()) return 0;
    ComObject* slot = ComSlotArg(Arg(1), true);
    if (slot) ComSlotRelease(slot);
    return 0;
}

// COMCOUNT: how many slots hold something.
const char* ComCount() {
    CallErrorClear();
    return AnswerLong(ComSlotsHeld());
}

int ComObjectAddress(const char* text, DWORD* address) {
    ComObject* slot = nullptr;
    int found = ComReadObjectWord(text, &slot);
    if (found > 0)
        *address = slot->unknown ? reinterpret_cast<DWORD>(slot->unknown) : reinterpret_cast<DWORD>(slot->array);
    return found;
}
