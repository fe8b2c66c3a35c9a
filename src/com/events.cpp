// COMEVENTS and COMEVENTNEXT: an object's events. A sink of the library's own is
// connected to the object's default source interface; each event it hears becomes a
// row (the event's name and its arguments) and a message posted to the host window.
// The window hook reports the message to the host on the host's thread, exactly as a
// callback's event, so an event never runs script code on its way in, whatever
// thread the server fires it from.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include <ocidl.h>

#include "../calls/calls.h"
#include "../host/state.h"
#include "../host/text.h"
#include "com.h"

constexpr int SinkNameCount = 32;   // event names a sink remembers by DISPID
constexpr int SlotBits = 10;        // a posted message carries the slot index in its low bits

struct SinkName {
    DISPID id;
    char name[ComNameBytes];
};

// A server calls the sink's methods with whatever stack alignment it keeps.
#define SINK_ENTRY __attribute__((force_align_arg_pointer))

// The sink: an IDispatch answering the source interface. Everything it keeps after
// connecting is read and written under the events' lock.
struct ComSink final : IDispatch {
    LONG references = 1;
    IID source = {};
    ITypeInfo* types = nullptr;       // the source interface's, for the events' names
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    bool connected = false;
    int slotIndex = 0;
    DWORD serial = 0;                 // this connection's: messages of older ones are not reported
    HWND window = nullptr;
    char prefix[ComEventPrefixBytes] = "";
    SinkName names[SinkNameCount] = {};
    int nameCount = 0;
    char* rows[ComEventRowLimit] = {};
    int firstRow = 0;
    int rowCount = 0;
    DWORD dropped = 0;
    int pendingEvents = 0;

    SINK_ENTRY HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) && !IsEqualIID(iid, source))
            return E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    SINK_ENTRY ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
    SINK_ENTRY ULONG STDMETHODCALLTYPE Release() override;
    SINK_ENTRY HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    SINK_ENTRY HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        return *info = nullptr, E_NOTIMPL;
    }
    SINK_ENTRY HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    SINK_ENTRY HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                                     UINT*) override;
};

static void DropRows(ComSink* sink) {
    for (int i = 0; i < sink->rowCount; ++i) {
        char*& row = sink->rows[(sink->firstRow + i) % ComEventRowLimit];
        free(row);
        row = nullptr;
    }
    sink->firstRow = sink->rowCount = 0;
}

ULONG ComSink::Release() {
    LONG left = InterlockedDecrement(&references);
    if (left == 0) {
        DropRows(this);
        if (types) types->Release();
        delete this;
    }
    return left;
}

// The event's name (under the lock): from the source's type information, else "DISPID n".
static const char* EventName(ComSink* sink, DISPID id) {
    for (int i = 0; i < sink->nameCount; ++i)
        if (sink->names[i].id == id) return sink->names[i].name;
    SinkName& entry = sink->names[sink->nameCount < SinkNameCount ? sink->nameCount++ : SinkNameCount - 1];
    entry.id = id;
    BSTR name = nullptr;
    UINT found = 0;
    if (sink->types && SUCCEEDED(sink->types->GetNames(id, &name, 1, &found)) && found && name)
        WideToAnsi(name, static_cast<int>(SysStringLen(name)), entry.name, ComNameBytes);
    else
        snprintf(entry.name, ComNameBytes, "DISPID %ld", static_cast<long>(id));
    SysFreeString(name);
    return entry.name;
}

// Any thread: the row is kept and the event posted; nothing else is done here.
HRESULT ComSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) {
    if (result) VariantInit(result);
    char row[MaxString];
    char piece[MaxString];
    ComState& com = g_state.com;
    EnterCriticalSection(&com.eventLock);
    if (connected) {
        size_t length = CopyBounded(row, sizeof row, EventName(this, id));
        // The arguments in the order declared: IDispatch hands them last first.
        for (UINT i = params ? params->cArgs : 0; i-- > 0;) {
            const VARIANT* value = &params->rgvarg[i];
            VARTYPE type = V_VT(value) & ~VT_BYREF;
            if (type == VT_VARIANT && V_VT(value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(value))
                type = V_VT(V_VARIANTREF(value));
            if (type == VT_DISPATCH || type == VT_UNKNOWN) CopyBounded(piece, sizeof piece, "(object)");
            else if (type & VT_ARRAY) CopyBounded(piece, sizeof piece, "(array)");
            else if (!ComFormatValue(value, piece, sizeof piece)) piece[0] = '\0';
            length += CopyBounded(row + length, sizeof row - length, "|");
            length += CopyBounded(row + length, sizeof row - length, piece);
        }
        char* kept = rowCount < ComEventRowLimit ? static_cast<char*>(malloc(length + 1)) : nullptr;
        if (kept) {
            memcpy(kept, row, length + 1);
            rows[(firstRow + rowCount) % ComEventRowLimit] = kept;
            ++rowCount;
        } else {
            ++dropped;
        }
        // At most as many events waiting as rows may: a flood cannot fill the queue.
        WPARAM where = static_cast<WPARAM>(slotIndex) | (static_cast<WPARAM>(serial) << SlotBits);
        if (pendingEvents < ComEventRowLimit && com.eventMessage &&
            PostMessageA(window, com.eventMessage, where, static_cast<LPARAM>(id)))
            ++pendingEvents;
    }
    LeaveCriticalSection(&com.eventLock);
    return S_OK;
}

// ---- the window hook's part ----------------------------------------------------------------

bool ComEventMessage(UINT message) { return message && message == g_state.com.eventMessage; }

// A number no earlier connection had: its messages tell it from the slot's earlier ones.
static DWORD NextConnection() { return ++g_state.com.nextSerial; }

// The connected sink an event message was posted for (under the lock), or null when
// its slot has been disconnected or connected anew since.
static ComSink* SinkOf(WPARAM where) {
    int index = static_cast<int>(where & ((1u << SlotBits) - 1));
    if (index >= ComObjectCount) return nullptr;
    ComSink* sink = g_state.com.objects[index].sink;
    if (!sink || !sink->connected || (sink->serial & (~0u >> SlotBits)) != (where >> SlotBits)) return nullptr;
    return sink;
}

// A message that will never be reported (no room to keep it for later, or it could
// not be posted again): its sink may post another in its place.
static void GiveBackPending(WPARAM where) {
    ComState& com = g_state.com;
    EnterCriticalSection(&com.eventLock);
    ComSink* sink = SinkOf(where);
    if (sink && sink->pendingEvents > 0) --sink->pendingEvents;
    LeaveCriticalSection(&com.eventLock);
}

void ComReportEvent(WPARAM where, LPARAM id) {
    ComState& com = g_state.com;
    if (!com.lockReady) return;
    // A server's message loop (a call to another process waits in one) dispatched
    // it while a keyword runs: the host hears it later, from its own loop.
    if (ComObjectCallUnderWay()) {
        if (com.deferredCount < ComEventRowLimit) {
            com.deferredWhere[com.deferredCount] = where;
            com.deferredId[com.deferredCount++] = id;
        } else {
            GiveBackPending(where);
        }
        return;
    }
    char event[ComEventBytes] = "";
    EnterCriticalSection(&com.eventLock);
    if (ComSink* sink = SinkOf(where)) {
        if (sink->pendingEvents > 0) --sink->pendingEvents;
        size_t length = CopyBounded(event, sizeof event, sink->prefix);
        CopyBounded(event + length, sizeof event - length, EventName(sink, static_cast<DISPID>(id)));
    }
    LeaveCriticalSection(&com.eventLock);
    if (event[0] && g_state.host.hostCallback) g_state.host.hostCallback(event);
}

void ComPostDeferredEvents() {
    ComState& com = g_state.com;
    for (int i = 0; i < com.deferredCount; ++i)
        if (!PostMessageA(g_state.host.hostWindow, com.eventMessage, com.deferredWhere[i], com.deferredId[i]))
            GiveBackPending(com.deferredWhere[i]);
    com.deferredCount = 0;
}

// ---- finding the source interface ------------------------------------------------------------

// The default source of a coclass's type information, with a reference of its own.
static ITypeInfo* DefaultSource(ITypeInfo* coclass) {
    TYPEATTR* attributes = nullptr;
    ITypeInfo* found = nullptr;
    if (FAILED(coclass->GetTypeAttr(&attributes))) return nullptr;
    for (UINT i = 0; i < attributes->cImplTypes && !found; ++i) {
        INT flags = 0;
        HREFTYPE reference;
        if (SUCCEEDED(coclass->GetImplTypeFlags(i, &flags)) &&
            (flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) == (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE) &&
            SUCCEEDED(coclass->GetRefTypeOfImplType(i, &reference)))
            coclass->GetRefTypeInfo(reference, &found);
    }
    coclass->ReleaseTypeAttr(attributes);
    return found;
}

static bool GuidOf(ITypeInfo* types, IID* iid) {
    TYPEATTR* attributes = nullptr;
    if (FAILED(types->GetTypeAttr(&attributes))) return false;
    *iid = attributes->guid;
    types->ReleaseTypeAttr(attributes);
    return true;
}

// The default source of the coclass in the object's own type library whose default
// interface is the one the object describes itself by (IDispatch::GetTypeInfo). The
// calls into the object go through the guard; false when one faulted.
static bool SourceThroughLibrary(IUnknown* object, ITypeInfo** found) {
    *found = nullptr;
    IDispatch* dispatch = nullptr;
    ITypeInfo* own = nullptr;
    ITypeLib* library = nullptr;
    IID ownId;
    UINT index = 0;
    HRESULT hr;
    if (!ComGuardedQuery(object, IID_IDispatch, reinterpret_cast<void**>(&dispatch), &hr)) return false;
    const DWORD typeInfo[] = {0, LOCALE_USER_DEFAULT, reinterpret_cast<DWORD>(&own)};
    bool survived = !dispatch || ComGuardedCall(dispatch, MethodGetTypeInfo, typeInfo, 3, &hr, "GetTypeInfo");
    if (survived && dispatch && SUCCEEDED(hr) && own && GuidOf(own, &ownId) &&
        SUCCEEDED(own->GetContainingTypeLib(&library, &index)) && library) {
        for (UINT i = 0, count = library->GetTypeInfoCount(); i < count && !*found; ++i) {
            TYPEKIND kind;
            ITypeInfo* coclass = nullptr;
            if (FAILED(library->GetTypeInfoType(i, &kind)) || kind != TKIND_COCLASS ||
                FAILED(library->GetTypeInfo(i, &coclass)))
                continue;
            // Its default interface (not a source) must be the object's own.
            TYPEATTR* attributes = nullptr;
            bool ours = false;
            if (SUCCEEDED(coclass->GetTypeAttr(&attributes))) {
                for (UINT j = 0; j < attributes->cImplTypes && !ours; ++j) {
                    INT flags = 0;
                    HREFTYPE reference;
                    ITypeInfo* implemented = nullptr;
                    IID implementedId;
                    if (SUCCEEDED(coclass->GetImplTypeFlags(j, &flags)) &&
                        (flags & (IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE)) == IMPLTYPEFLAG_FDEFAULT &&
                        SUCCEEDED(coclass->GetRefTypeOfImplType(j, &reference)) &&
                        SUCCEEDED(coclass->GetRefTypeInfo(reference, &implemented)) && implemented) {
                        ours = GuidOf(implemented, &implementedId) && IsEqualIID(implementedId, ownId);
                        implemented->Release();
                    }
                }
                coclass->ReleaseTypeAttr(attributes);
            }
            if (ours) *found = DefaultSource(coclass);
            coclass->Release();
        }
    }
    if (library) library->Release();
    if (own) own->Release();
    if (dispatch) ComGuardedRelease(dispatch);
    return survived;
}

// The object's default source interface and its type information (null when only
// the IID is known): through IProvideClassInfo2, else the class's type information,
// else the type library the object's own type information comes from. Every call
// into the object goes through the guard: false when one faulted (status 1003).
static bool FindSource(IUnknown* object, bool* known, IID* iid, ITypeInfo** types) {
    *types = nullptr;
    *known = false;
    HRESULT hr;
    IProvideClassInfo2* info2 = nullptr;
    if (!ComGuardedQuery(object, IID_IProvideClassInfo2, reinterpret_cast<void**>(&info2), &hr)) return false;
    if (info2) {
        const DWORD guid[] = {GUIDKIND_DEFAULT_SOURCE_DISP_IID, reinterpret_cast<DWORD>(iid)};
        bool survived = ComGuardedCall(info2, MethodGetGUID, guid, 2, &hr, "GetGUID");
        ComGuardedRelease(info2);
        if (!survived) return false;
        *known = SUCCEEDED(hr);
    }
    IProvideClassInfo* info = nullptr;
    if (!ComGuardedQuery(object, IID_IProvideClassInfo, reinterpret_cast<void**>(&info), &hr)) return false;
    if (info) {
        ITypeInfo* coclass = nullptr;
        const DWORD classInfo[] = {reinterpret_cast<DWORD>(&coclass)};
        bool survived = ComGuardedCall(info, MethodGetClassInfo, classInfo, 1, &hr, "GetClassInfo");
        ComGuardedRelease(info);
        if (!survived) return false;
        if (SUCCEEDED(hr) && coclass) {
            *types = DefaultSource(coclass);
            coclass->Release();
        }
    }
    if (!*types && !SourceThroughLibrary(object, types)) return false;
    IID described;
    if (*types && GuidOf(*types, &described)) {
        if (!*known) *iid = described, *known = true;
        if (!IsEqualIID(described, *iid)) (*types)->Release(), *types = nullptr;
    }
    return true;
}

// ---- connecting and disconnecting --------------------------------------------------------------

// Takes the slot's sink out of it, its rows dropped and no event of it reported any
// more; null when none was connected.
static ComSink* TakeSink(ComObject* slot) {
    ComSink* sink = slot->sink;
    if (!sink) return nullptr;
    ComState& com = g_state.com;
    EnterCriticalSection(&com.eventLock);
    sink->connected = false;
    slot->sink = nullptr;
    DropRows(sink);
    LeaveCriticalSection(&com.eventLock);
    return sink;
}

void ComEventsDisconnect(ComObject* slot) {
    ComSink* sink = TakeSink(slot);
    if (!sink) return;
    HRESULT ignored;
    int status = g_state.host.statusCode;
    const DWORD words[] = {sink->cookie};
    if (sink->point) {
        if (!ComGuardedCall(sink->point, MethodUnadvise, words, 1, &ignored, "Unadvise"))
            g_state.host.statusCode = status;
        ComGuardedRelease(sink->point);
        sink->point = nullptr;
    }
    sink->Release();
}

// COMEVENTS k prefix: connects object k's default source; each event is reported to
// the host as prefix + the event's name and kept as a row for COMEVENTNEXT. Without a
// prefix it disconnects. Answers 0, or 1005/1006/1003 with DLLERROR saying why.
int ComEvents() {
    CallErrorClear();
    if (ComInsideCall()) return 0;
    ComObject* slot = ComSlotArg(Arg(1), true);
    if (!slot) return 0;
    const char* prefix = Arg(2);
    if (!*prefix) return ComEventsDisconnect(slot), 0;
    if (strlen(prefix) >= ComEventPrefixBytes)
        return ComFail(StatusBadValue, "the event prefix is longer than %d characters", ComEventPrefixBytes - 1), 0;
    if (slot->kind != ComKind::Object)
        return ComFail(StatusComFailed, "object %d (%s) has no events", ComSlotNumber(slot), slot->className), 0;
    if (!g_state.host.hostWindow || !g_state.com.eventMessage)
        return ComFail(StatusComFailed, "events need the host window named at Init"), 0;
    ComEventsDisconnect(slot);

    IID source;
    ITypeInfo* types = nullptr;
    bool known;
    if (!FindSource(slot->unknown, &known, &source, &types)) return 0;  // a fault: 1003 and DLLERROR set
    if (!known)
        return ComFail(StatusComFailed, "object %d (%s) names no default source of events", ComSlotNumber(slot),
                       slot->className), 0;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    HRESULT hr;
    bool survived = ComGuardedQuery(slot->unknown, IID_IConnectionPointContainer,
                                    reinterpret_cast<void**>(&container), &hr);
    const DWORD find[] = {reinterpret_cast<DWORD>(&source), reinterpret_cast<DWORD>(&point)};
    if (survived && container)
        survived = ComGuardedCall(container, MethodFindConnectionPoint, find, 2, &hr, "FindConnectionPoint");
    if (container) ComGuardedRelease(container);
    ComSink* sink = survived && SUCCEEDED(hr) && point ? new (std::nothrow) ComSink : nullptr;
    if (sink) {
        sink->source = source;
        sink->types = types;
        types = nullptr;
        sink->slotIndex = ComSlotNumber(slot) - 1;
        // A connection of its own: messages an earlier connection of the slot left
        // waiting never match it, whatever its prefix.
        sink->serial = NextConnection();
        sink->window = g_state.host.hostWindow;
        strcpy(sink->prefix, prefix);
        sink->connected = true;
        sink->point = point;
        point = nullptr;
        const DWORD advise[] = {reinterpret_cast<DWORD>(static_cast<IDispatch*>(sink)), reinterpret_cast<DWORD>(&sink->cookie)};
        survived = ComGuardedCall(sink->point, MethodAdvise, advise, 2, &hr, "Advise");
    }
    if (types) types->Release();
    if (point) ComGuardedRelease(point);
    if (!survived || !sink || FAILED(hr)) {
        if (sink) {
            sink->connected = false;
            ComGuardedRelease(sink->point);
            sink->point = nullptr;
            sink->Release();
        }
        if (!survived) return 0;
        if (!sink && SUCCEEDED(hr)) hr = E_OUTOFMEMORY;
        return ComFailHresult(hr, "COMEVENTS: object %d (%s) cannot be connected", ComSlotNumber(slot),
                              slot->className), 0;
    }
    slot->sink = sink;
    return 0;
}

// COMEVENTNEXT k: the oldest event row of object k, "name|arg|arg", removed; "" with
// status 1007 when none wait. COMEVENTNEXT k COUNT: "rows dropped", e.g. "3 0".
const char* ComEventNext() {
    CallErrorClear();
    char* out = g_state.host.resultBuffer;
    out[0] = '\0';
    ComObject* slot = ComSlotArg(Arg(1), true);
    if (!slot) return out;
    ComSink* sink = slot->sink;
    if (!sink) return ComFail(StatusComFailed, "object %d has no events connected (COMEVENTS)", ComSlotNumber(slot)), out;
    ComState& com = g_state.com;
    bool counting = SameKeyword(Arg(2), "COUNT");
    char* row = nullptr;
    EnterCriticalSection(&com.eventLock);
    if (counting) {
        sprintf(out, "%d %lu", sink->rowCount, static_cast<unsigned long>(sink->dropped));
    } else if (sink->rowCount) {
        row = sink->rows[sink->firstRow];
        sink->rows[sink->firstRow] = nullptr;
        sink->firstRow = (sink->firstRow + 1) % ComEventRowLimit;
        --sink->rowCount;
    }
    LeaveCriticalSection(&com.eventLock);
    if (counting) return out;
    if (!row) return ComFail(StatusComEnd, "object %d: no event rows wait", ComSlotNumber(slot)), out;
    CopyBounded(out, MaxString, row);
    free(row);
    return out;
}
