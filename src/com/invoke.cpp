// COMPROP, COMPROPSET and COMINVOKE: late-bound calls through IDispatch. A member's
// name is looked up once per object and name, then read from a small hashed cache;
// a dotted path walks the objects in between, each given back on every path.
#include <stdio.h>
#include <string.h>

#include "../calls/calls.h"
#include "../host/state.h"
#include "../host/text.h"
#include "com.h"

constexpr int FirstIndexArg = 3;       // COMPROP k path index...: Args[3] on

// ---- names ---------------------------------------------------------------------------------

static ComNameEntry* CacheEntry(DWORD serial, const char* name) {
    DWORD hash = serial * 2654435761u;
    for (const char* p = name; *p; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    return &g_state.com.names[hash % ComNameCacheSize];
}

// "object 3 (Scripting.Dictionary)", or "Application of object 3 (...)" for an
// object on the way down a path.
static void DescribeTarget(const ComObject* slot, const char* via, char* out, size_t capacity) {
    if (via && *via)
        snprintf(out, capacity, "%s of object %d (%s)", via, ComSlotNumber(slot), slot->className);
    else
        snprintf(out, capacity, "object %d (%s)", ComSlotNumber(slot), slot->className);
}

// The DISPID of a name; the slot's own object uses the cache.
static bool ResolveName(IDispatch* target, const ComObject* slot, bool own, const char* via, const char* name,
                        DISPID* id) {
    ComNameEntry* entry = nullptr;
    if (own && strlen(name) < ComNameBytes) {
        entry = CacheEntry(slot->serial, name);
        if (entry->serial == slot->serial && strcmp(entry->name, name) == 0) return *id = entry->id, true;
    }
    WCHAR wide[256];
    if (!*name || !MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 256))
        return ComFail(StatusComFailed, "'%.60s' is no member name", name);
    LPOLESTR names[1] = {wide};
    const DWORD words[] = {reinterpret_cast<DWORD>(&IID_NULL), reinterpret_cast<DWORD>(names), 1,
                           LOCALE_USER_DEFAULT, reinterpret_cast<DWORD>(id)};
    HRESULT hr;
    if (!ComGuardedCall(target, MethodGetIDsOfNames, words, 5, &hr, "GetIDsOfNames")) return false;
    if (FAILED(hr)) {
        char where[160];
        DescribeTarget(slot, via, where, sizeof where);
        if (hr == DISP_E_UNKNOWNNAME || hr == DISP_E_MEMBERNOTFOUND)
            return ComFail(StatusComFailed, "unknown name %.60s on %s", name, where);
        return ComFailHresult(hr, "%.60s on %s", name, where);
    }
    if (entry) {
        entry->serial = slot->serial;
        entry->id = *id;
        strcpy(entry->name, name);
    }
    return true;
}

// ---- failures ---------------------------------------------------------------------------------

// DLLERROR for a failed Invoke: the member, the HRESULT and its text, and what the
// server said of an exception, or which argument did not suit.
static void FailInvoke(const char* name, const ComObject* slot, const char* via, HRESULT hr, EXCEPINFO* info,
                       UINT argError, int count) {
    char where[160];
    DescribeTarget(slot, via, where, sizeof where);
    if (hr == DISP_E_EXCEPTION && info->pfnDeferredFillIn) {
        // The server's own code: a fill-in that faults leaves the exception undescribed.
        HRESULT ignored;
        const DWORD words[] = {reinterpret_cast<DWORD>(info)};
        FARPROC fillIn = reinterpret_cast<FARPROC>(reinterpret_cast<void*>(info->pfnDeferredFillIn));
        if (!ComGuardedApi(fillIn, words, 1, &ignored, "the exception's fill-in"))
            memset(info, 0, sizeof *info);
    }
    HRESULT shown = hr;
    if (hr == DISP_E_EXCEPTION) shown = info->scode ? info->scode : (info->wCode ? 0x800A0000 | info->wCode : hr);
    ComFailHresult(shown, "%.60s on %s", name, where);
    char* error = g_state.calls.error;
    int length = static_cast<int>(strlen(error));
    auto append = [&](const char* format, auto... values) {
        if (length >= 0 && length < CallErrorBytes) length += snprintf(error + length, CallErrorBytes - length, format, values...);
    };
    if (hr == DISP_E_EXCEPTION) {
        char piece[400];
        if (info->bstrSource) {
            WideToAnsi(info->bstrSource, static_cast<int>(SysStringLen(info->bstrSource)), piece, 120);
            append("; source: %s", piece);
        }
        if (info->bstrDescription) {
            WideToAnsi(info->bstrDescription, static_cast<int>(SysStringLen(info->bstrDescription)), piece, sizeof piece);
            append("; description: %s", piece);
        }
        if (info->dwHelpContext) append("; help context %lu", static_cast<unsigned long>(info->dwHelpContext));
    }
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) && static_cast<int>(argError) < count)
        append("; argument %d", count - static_cast<int>(argError));
    error[CallErrorBytes - 1] = '\0';
}

// ---- the call -------------------------------------------------------------------------------

bool ComInvokeId(IDispatch* target, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                     const char* name, const ComObject* slot, const char* via) {
    EXCEPINFO info;
    memset(&info, 0, sizeof info);
    UINT argError = 0;
    const DWORD words[] = {static_cast<DWORD>(id), reinterpret_cast<DWORD>(&IID_NULL), LOCALE_USER_DEFAULT, flags,
                           reinterpret_cast<DWORD>(params), reinterpret_cast<DWORD>(result),
                           reinterpret_cast<DWORD>(&info), reinterpret_cast<DWORD>(&argError)};
    HRESULT hr;
    if (!ComGuardedCall(target, MethodInvoke, words, 8, &hr, name)) return false;
    g_state.com.lastInvokeResult = hr;
    if (SUCCEEDED(hr)) return true;
    FailInvoke(name, slot, via, hr, &info, argError, static_cast<int>(params->cArgs));
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    return false;
}

bool ComInvokeName(IDispatch* target, const ComObject* slot, const char* name, WORD flags, DISPPARAMS* params,
                   VARIANT* result) {
    DISPID id;
    if (!ResolveName(target, slot, true, nullptr, name, &id)) return false;
    return ComInvokeId(target, id, flags, params, result, name, slot, nullptr);
}

IDispatch* ComDispatchOf(const ComObject* slot, bool* owned) {
    *owned = false;
    if (slot->kind != ComKind::Object || !slot->unknown)
        return ComFail(StatusComFailed, "object %d (%s) is not an automation object", ComSlotNumber(slot),
                       slot->className), nullptr;
    if (IsEqualIID(slot->iid, IID_IDispatch)) return static_cast<IDispatch*>(slot->unknown);
    IDispatch* dispatch = nullptr;
    HRESULT hr;
    if (!ComGuardedQuery(slot->unknown, IID_IDispatch, reinterpret_cast<void**>(&dispatch), &hr)) return nullptr;
    if (FAILED(hr))
        return ComFailHresult(hr, "object %d (%s) has no IDispatch", ComSlotNumber(slot), slot->className), nullptr;
    *owned = true;
    return dispatch;
}

// Walks a dotted path from the slot's object to the last name's owner. Answers it
// and the last name (*owned: a reference the caller gives back), or null with
// everything on the way released.
static IDispatch* WalkPath(const ComObject* slot, const char* path, const char** last, char* via, size_t viaBytes,
                           bool* owned) {
    IDispatch* current = ComDispatchOf(slot, owned);
    if (!current) return nullptr;
    via[0] = '\0';
    if (!strchr(path, '.')) return *last = path, current;  // the usual case: one name
    // Each name on the way is copied out on the stack, never into a buffer of the
    // state a keyword run meanwhile could reach; the last one is read in place.
    char name[256];
    const char* start = path;
    bool own = true;
    for (const char* dot = strchr(start, '.'); dot; start = dot + 1, dot = strchr(start, '.')) {
        size_t length = static_cast<size_t>(dot - start);
        if (length >= sizeof name) {
            if (*owned) ComGuardedRelease(current);
            *owned = false;
            return ComFail(StatusComFailed, "'%.60s...' is no member name", start), nullptr;
        }
        memcpy(name, start, length);
        name[length] = '\0';
        DISPID id;
        VARIANT result;
        VariantInit(&result);
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        bool done = ResolveName(current, slot, own, via, name, &id) &&
                    ComInvokeId(current, id, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, &result, name, slot, via);
        if (*owned) ComGuardedRelease(current);
        *owned = false;
        if (!done) return ComClearValue(&result), nullptr;
        if (V_VT(&result) != VT_DISPATCH || !V_DISPATCH(&result)) {
            ComClearValue(&result);
            char where[160];
            DescribeTarget(slot, via, where, sizeof where);
            return ComFail(StatusComFailed, "%.60s on %s is not an object", name, where), nullptr;
        }
        current = V_DISPATCH(&result);  // its reference is ours now
        *owned = true;
        own = false;
        // The path so far names the object now reached, in messages.
        size_t reached = static_cast<size_t>(dot - path);
        if (reached >= viaBytes) reached = viaBytes - 1;
        memcpy(via, path, reached);
        via[reached] = '\0';
    }
    *last = start;
    return current;
}

// The member call every keyword makes: Args[3..last] are its arguments (for a put
// the value is the last of them).
static bool CallMember(ComObject* slot, WORD flags, int lastArg, VARIANT* result) {
    char via[160];
    const char* name = nullptr;
    bool owned = false;
    IDispatch* target = WalkPath(slot, Arg(2), &name, via, sizeof via, &owned);
    if (!target) return false;
    bool own = !via[0];
    ComCallArgs& call = g_state.com.call;
    if (!ComReadArguments(FirstIndexArg, lastArg, &call)) {
        if (owned) ComGuardedRelease(target);
        return false;
    }
    DISPID id;
    bool done = ResolveName(target, slot, own, via, name, &id);
    if (done) {
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS params = {call.values, nullptr, static_cast<UINT>(call.count), 0};
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
            params.rgdispidNamedArgs = &putId;
            params.cNamedArgs = 1;
            // An object is put by reference where the server has such a put.
            VARTYPE type = call.count ? V_VT(&call.values[0]) : static_cast<VARTYPE>(VT_EMPTY);
            if (type == VT_DISPATCH || type == VT_UNKNOWN) {
                int status = g_state.host.statusCode;
                done = ComInvokeId(target, id, DISPATCH_PROPERTYPUTREF, &params, nullptr, name, slot, via);
                if (!done && g_state.host.statusCode == StatusComFailed) {
                    g_state.host.statusCode = status;
                    CallErrorClear();
                    done = ComInvokeId(target, id, DISPATCH_PROPERTYPUT, &params, nullptr, name, slot, via);
                }
            } else {
                done = ComInvokeId(target, id, DISPATCH_PROPERTYPUT, &params, nullptr, name, slot, via);
            }
        } else {
            int status = g_state.host.statusCode;
            done = ComInvokeId(target, id, flags, &params, result, name, slot, via);
            // Some servers read their properties only when asked as automation
            // clients ask: as method and property at once.
            if (!done && flags == DISPATCH_PROPERTYGET && g_state.host.statusCode == StatusComFailed &&
                (g_state.com.lastInvokeResult == E_NOTIMPL || g_state.com.lastInvokeResult == DISP_E_MEMBERNOTFOUND)) {
                g_state.host.statusCode = status;
                CallErrorClear();
                ComClearValue(result);
                done = ComInvokeId(target, id, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &params, result, name, slot, via);
            }
        }
    }
    ComClearArguments(&call);
    if (owned) ComGuardedRelease(target);
    return done;
}

// The member's name for the slot an object answer makes.
static const char* LastName(const char* path) {
    const char* dot = strrchr(path, '.');
    return dot ? dot + 1 : path;
}

static const char* GetMember(WORD flags) {
    char* out = g_state.host.resultBuffer;
    ComObject* slot = ComFunctionSlot();
    if (!slot) return out;
    if (slot->kind == ComKind::Array) return ComArrayMember(slot, false);
    VARIANT result;
    VariantInit(&result);
    if (!CallMember(slot, flags, g_state.host.argCount - 1, &result)) {
        ComClearValue(&result);
        out[0] = '\0';
        return out;
    }
    return ComAnswer(&result, LastName(Arg(2)));
}

// COMPROP k path [index...]: the property's value (an object or array in the lowest
// free slot, "OBJ:j"). A failure answers "" with status 1006 (1005 for a slot or an
// argument, 1003 for a fault) and DLLERROR says why.
const char* ComProp() { return GetMember(DISPATCH_PROPERTYGET); }

// COMINVOKE k path [arg...]: the method's result, as COMPROP answers it.
const char* ComInvoke() { return GetMember(DISPATCH_METHOD | DISPATCH_PROPERTYGET); }

// COMPROPSET k path [index...] value: sets the property. Answers 0, or the status
// of the failure (as COMPROP's).
int ComPropSet() {
    CallErrorClear();
    if (ComInsideCall()) return 0;
    ComObject* slot = ComSlotArg(Arg(1), true);
    if (!slot) return 0;
    if (g_state.host.argCount <= FirstIndexArg)
        return ComFail(StatusBadValue, "COMPROPSET %s: no value given", Arg(2)), 0;
    if (slot->kind == ComKind::Array) return ComArrayMember(slot, true), 0;
    CallMember(slot, DISPATCH_PROPERTYPUT, g_state.host.argCount - 1, nullptr);
    return 0;
}
