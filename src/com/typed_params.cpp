// The parameter kinds COM needs, for DLLCALL and COMCALL alike: interface pointers
// given as OBJ:k, out-pointers whose object goes into slot j, GUIDs by value, BSTRs
// made for the call and freed after it, BSTRs returned and answered as text, and
// VARIANTs. What a call leaves to free or take over is settled by FinishComArguments.
#include <string.h>

#include "../calls/calls.h"
#include "../host/state.h"
#include "../host/text.h"
#include "../vars/vars.h"
#include "com.h"
#include "interfaces.h"

static const TypedParam& ParamOf(int index) { return g_state.calls.current->params[index]; }

// The interface a slot holds: the one recorded, else the one its IID names (-1: none
// declared, so nothing more is known than IUnknown).
int ObjectInterface(const ComObject* slot) {
    if (slot->interfaceIndex >= 0) return slot->interfaceIndex;
    return FindInterfaceByIid(slot->iid);
}

// IFoo *p: OBJ:k passes object k's pointer; NULL, ADDR:n and a number pass as for
// any pointer. A slot holding an interface that is known not to be the parameter's
// is refused: the callee would call the wrong methods.
static bool ConvertInterface(int index, const char* text) {
    CallsState& calls = g_state.calls;
    calls.argKind[index] = ArgNone;
    ComObject* slot = nullptr;
    int object = ComReadObjectWord(text, &slot);
    if (object < 0) return false;
    if (object > 0) {
        if (!ComHoldsInterface(slot))
            return CallFailValue("%s: object %d holds no interface pointer", ParamWhere(index), ComSlotNumber(slot));
        const TypeRef& type = ParamOf(index).type;
        int wanted = type.base == Base::Interface ? type.structIndex : -1;
        int held = ObjectInterface(slot);
        if (wanted > 0 && held >= 0 && !InterfaceDerivesFrom(held, wanted))
            return CallFailValue("%s: object %d holds %s, not %s (ask for it with COMQUERY)", ParamWhere(index),
                                 ComSlotNumber(slot), InterfaceName(held), InterfaceName(wanted));
        ParamWords(index)[0] = reinterpret_cast<DWORD>(slot->unknown);
        return true;
    }
    int place = ConvertPlace(index, text, 0);
    if (place) return place > 0;
    TypeRef address = {};
    address.base = Base::Handle;
    ULONGLONG value;
    if (!ReadInteger(text, address, &value))
        return CallFailValue("%s: '%.40s' is not OBJ:k, NULL or an address", ParamWhere(index), text);
    ParamWords(index)[0] = static_cast<DWORD>(value);
    return true;
}

// IFoo **pp, void **ppv: OBJ:j receives the object the callee returns (slot j keeps
// it once the call went well, releasing what it held); OUT answers the address as a
// number (for COMADOPT); NULL, ADDR:n and references as for any pointer.
static bool ConvertInterfaceOut(int index, const char* text) {
    CallsState& calls = g_state.calls;
    ScalarStorage& storage = calls.storage[index];
    memset(&storage, 0, sizeof storage);
    if (HasPrefix(text, kObjectPrefix)) {
        ComObject* slot = ComSlotArg(text, false);
        if (!slot) return false;
        storage.words[1] = static_cast<DWORD>(ComSlotNumber(slot));
        calls.argKind[index] = ArgObjectOut;
        calls.finishPending = true;
        ParamWords(index)[0] = reinterpret_cast<DWORD>(&storage);
        return true;
    }
    int place = ConvertPlace(index, text, 4);
    if (place) return place > 0;
    if (!SameWord(text, kOutWord))
        return CallFailValue("%s: pass OBJ:j for the object it returns, OUT, NULL or BUF:b, not '%.40s'",
                             ParamWhere(index), text);
    calls.argKind[index] = ArgStorage;
    ParamWords(index)[0] = reinterpret_cast<DWORD>(&storage);
    return true;
}

// A text as a BSTR of the system's, into *bstr; false (status 1005) without memory.
static bool MakeBstr(int index, const char* text, BSTR* bstr) {
    if (HasPrefix(text, kTextPrefix)) text += strlen(kTextPrefix);
    size_t length = strlen(text);
    if (length >= MaxString)
        return CallFailValue("%s: a text of %u characters, at most %d fit", ParamWhere(index), length, MaxString - 1);
    WCHAR* wide = reinterpret_cast<WCHAR*>(g_state.calls.texts[index]);
    int n = length ? MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide, CallTextBytes / 2 - 1) : 0;
    *bstr = SysAllocStringLen(wide, static_cast<UINT>(n));
    if (!*bstr) return CallFailValue("%s: no memory for the text", ParamWhere(index));
    return true;
}

// BSTR: a text (TEXT:... for one that looks like a word) made into a BSTR for the
// call and freed after it; NULL and ADDR:n pass as they are.
static bool ConvertBstr(int index, const char* text) {
    CallsState& calls = g_state.calls;
    calls.argKind[index] = ArgNone;
    if (SameWord(text, kNullWord) || HasPrefix(text, "ADDR:")) {
        int place = ConvertPlace(index, text, 0);
        return place > 0;
    }
    BSTR bstr;
    if (!MakeBstr(index, text, &bstr)) return false;
    calls.storage[index].words[0] = reinterpret_cast<DWORD>(bstr);
    calls.argKind[index] = ArgBstr;
    calls.finishPending = true;
    ParamWords(index)[0] = reinterpret_cast<DWORD>(bstr);
    return true;
}

// BSTR *p: OUT for a BSTR the callee returns, or a text for one it may replace; the
// one there after the call is answered as text (DLLOUT) and freed. NULL passes null.
static bool ConvertBstrOut(int index, const char* text) {
    CallsState& calls = g_state.calls;
    ScalarStorage& storage = calls.storage[index];
    memset(&storage, 0, sizeof storage);
    calls.argKind[index] = ArgNone;
    if (SameWord(text, kNullWord)) return ParamWords(index)[0] = 0, true;
    if (!SameWord(text, kOutWord)) {
        BSTR bstr;
        if (!MakeBstr(index, text, &bstr)) return false;
        storage.words[0] = storage.words[1] = reinterpret_cast<DWORD>(bstr);  // [1]: ours, to free
    }
    calls.argKind[index] = ArgBstrOut;
    calls.finishPending = true;
    ParamWords(index)[0] = reinterpret_cast<DWORD>(&storage);
    return true;
}

// ---- VARIANTs ---------------------------------------------------------------------------

// A VARIANT as text, as the automation keywords answer one; an object or array is put
// into the lowest free slot (with a reference or a copy of its own) and answered OBJ:j.
static void VariantToText(const VARIANT& variant, char* out, size_t capacity) {
    if (ComFormatValue(&variant, out, capacity)) return;
    out[0] = '\0';
    VARTYPE vt = V_VT(&variant);
    ComObject* slot = nullptr;
    if ((vt == VT_UNKNOWN || vt == VT_DISPATCH) && V_UNKNOWN(&variant)) {
        HRESULT ignored;
        if (!(slot = ComLowestFree()) || !ComGuardedCall(V_UNKNOWN(&variant), MethodAddRef, nullptr, 0, &ignored, "AddRef"))
            return;
        if (!ComSlotStore(slot, V_UNKNOWN(&variant), vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, "VARIANT"))
            return;
    } else if ((vt & VT_ARRAY) && !(vt & VT_BYREF) && V_ARRAY(&variant)) {
        SAFEARRAY* copy = nullptr;
        if (!(slot = ComLowestFree()) || FAILED(SafeArrayCopy(V_ARRAY(&variant), &copy))) return;
        if (!ComSlotStoreArray(slot, copy, "VARIANT")) return;
    } else {
        return;
    }
    strcpy(out, kObjectPrefix);
    WriteLong(out + strlen(kObjectPrefix), ComSlotNumber(slot));
}

// A VARIANT from a text, as the automation keywords pass their arguments, owned by
// the call: a slot's object or array it names gets a reference or copy of its own, so
// that clearing the VARIANT (or a callee that replaces it) leaves the slot alone.
static bool MakeVariant(int index, const char* text, VARIANT* variant) {
    bool borrowed = false;
    if (!ComReadArgument(text, index + 1, variant, &borrowed)) return false;
    if (!borrowed) return true;
    VARIANT lent = *variant;
    VariantInit(variant);
    // An object's reference is taken under the fault handler, as every call into it:
    // a slot may hold what a server answered that is no object.
    if (V_VT(&lent) == VT_DISPATCH || V_VT(&lent) == VT_UNKNOWN) {
        HRESULT ignored;
        if (!ComGuardedCall(V_UNKNOWN(&lent), MethodAddRef, nullptr, 0, &ignored, "AddRef")) return false;
        *variant = lent;
        return true;
    }
    if (FAILED(VariantCopy(variant, &lent))) return CallFailValue("%s: no memory for a copy of %.40s", ParamWhere(index), text);
    return true;
}

// GUID and VARIANT by value: their four words.
static bool ConvertValue16(int index, const char* text) {
    CallsState& calls = g_state.calls;
    const TypedParam& param = ParamOf(index);
    calls.argKind[index] = ArgValue;
    if (param.type.base == Base::Guid) return StoreScalar(param.type, text, ParamWords(index), ParamWhere(index));
    VARIANT& variant = *reinterpret_cast<VARIANT*>(&calls.storage[index]);
    if (!MakeVariant(index, text, &variant)) return false;
    memcpy(ParamWords(index), &variant, sizeof variant);
    calls.argKind[index] = ArgVariant;
    calls.finishPending = true;
    return true;
}

// VARIANT *p: a value made from the text (OUT: an empty one) in the library's
// storage; what is there after the call is answered (DLLOUT) and cleared.
static bool ConvertVariantRef(int index, const char* text) {
    CallsState& calls = g_state.calls;
    // OBJ:k is a value here (the object in a VARIANT), not the place the pointer names.
    int place = HasPrefix(text, kObjectPrefix) ? 0 : ConvertPlace(index, text, sizeof(VARIANT));
    if (place) return place > 0;
    VARIANT& variant = *reinterpret_cast<VARIANT*>(&calls.storage[index]);
    VariantInit(&variant);
    if (!SameWord(text, kOutWord) && !MakeVariant(index, text, &variant)) return false;
    calls.argKind[index] = ArgVariant;
    calls.finishPending = true;
    ParamWords(index)[0] = reinterpret_cast<DWORD>(&variant);
    return true;
}

ConvertFn ComConverterFor(Pass pass) {
    switch (pass) {
    case Pass::Interface: return ConvertInterface;
    case Pass::InterfaceOut: return ConvertInterfaceOut;
    case Pass::Value16: return ConvertValue16;
    case Pass::Bstr: return ConvertBstr;
    case Pass::BstrOut: return ConvertBstrOut;
    default: return ConvertVariantRef;
    }
}

// ---- GUIDs ----------------------------------------------------------------------------

bool ReadGuidArgument(const char* text, const TypeRef& type, GUID* guid) {
    if (ReadGuidText(text, guid)) return true;
    int index = FindInterface(text, static_cast<int>(strlen(text)));
    if (index >= 0) {
        int ignored;
        return ReadInterfaceArgument(text, guid, &ignored);
    }
    // A class may be named by its ProgID.
    if (strstr(type.name, "CLSID")) {
        WCHAR wide[256];
        if (*text && MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 256) && SUCCEEDED(CLSIDFromProgID(wide, guid)))
            return true;
        return CallFailValue("'%.60s' is neither a CLSID {...} nor a registered ProgID", text);
    }
    return CallFailValue("'%.60s' is neither a GUID {...} nor a declared interface with a uuid", text);
}

// ---- after the call -------------------------------------------------------------------

// The IID the call asked for beside an out-pointer: the parameter's own declared
// interface (other than IUnknown), else the value of a REFIID (or IID) parameter of the
// call; -1 and IID_IUnknown when neither tells.
static int ReturnedInterface(const Prototype& proto, int index, GUID* iid) {
    const CallsState& calls = g_state.calls;
    const TypeRef& own = proto.params[index].type;
    int declared = own.base == Base::Interface ? own.structIndex : -1;
    *iid = IID_IUnknown;
    if (declared > InterfaceUnknown) {
        const InterfaceType& type = g_state.interfaces.types[declared];
        if (type.hasIid) *iid = type.iid;
        return declared;
    }
    for (int i = 0; i < proto.paramCount; ++i) {
        const TypeRef& type = proto.params[i].type;
        if (type.base != Base::Guid || type.pointers > 1 || !strstr(type.name, "IID")) continue;
        const void* value = calls.argKind[i] == ArgStorage ? static_cast<const void*>(&calls.storage[i])
                            : calls.argKind[i] == ArgValue ? static_cast<const void*>(calls.words + proto.params[i].wordOffset)
                                                           : nullptr;
        if (!value) continue;
        memcpy(iid, value, sizeof *iid);
        return FindInterfaceByIid(*iid);
    }
    return declared;
}

void FinishComArguments(const Prototype& proto, bool take, bool trusted) {
    CallsState& calls = g_state.calls;
    if (!calls.finishPending) return;
    calls.finishPending = false;
    for (int i = 0; i < proto.paramCount; ++i) {
        ScalarStorage& storage = calls.storage[i];
        char* text = calls.texts[i];
        switch (calls.argKind[i]) {
        case ArgBstr:
            SysFreeString(reinterpret_cast<BSTR>(storage.words[0]));
            calls.argKind[i] = ArgNone;
            break;
        case ArgBstrOut: {
            BSTR bstr = reinterpret_cast<BSTR>(storage.words[0]);
            text[0] = '\0';
            // A callee that faulted or broke its prototype may have left anything
            // there: only the library's own BSTR is freed then.
            if (take && bstr) WideToAnsi(bstr, static_cast<int>(SysStringLen(bstr)), text, MaxString);
            if (trusted || storage.words[0] == storage.words[1]) SysFreeString(bstr);
            calls.argKind[i] = ArgAnswered;
            break;
        }
        case ArgVariant: {
            VARIANT& variant = proto.params[i].pass == Pass::Value16
                                   ? *reinterpret_cast<VARIANT*>(calls.words + proto.params[i].wordOffset)
                                   : *reinterpret_cast<VARIANT*>(&storage);
            bool byValue = proto.params[i].pass == Pass::Value16;
            text[0] = '\0';
            if (take && !byValue) VariantToText(variant, text, MaxString);
            // A callee that faulted or broke its prototype may have left anything in
            // the one it was pointed to: that one is left as it is (its contents leak).
            if (byValue || trusted) ComClearValue(&variant);
            calls.argKind[i] = proto.params[i].pass == Pass::Value16 ? ArgNone : ArgAnswered;
            break;
        }
        case ArgObjectOut: {
            IUnknown* pointer = reinterpret_cast<IUnknown*>(storage.words[0]);
            ComObject* slot = ComSlotAt(static_cast<long>(storage.words[1]));
            text[0] = '\0';
            calls.argKind[i] = ArgAnswered;
            if (!take || !pointer || !slot) break;
            GUID iid;
            int index = ReturnedInterface(proto, i, &iid);
            // Refused while a call is under way that may be using what the slot holds
            // (the object is given back then, status 1006).
            if (!ComSlotStore(slot, pointer, iid, InterfaceName(index))) break;
            slot->interfaceIndex = index;
            strcpy(text, kObjectPrefix);
            WriteLong(text + strlen(kObjectPrefix), ComSlotNumber(slot));
            break;
        }
        default: break;
        }
    }
}

// Texts an interface method hands back through LPWSTR* (LPOLESTR*) or LPSTR*: by COM's
// rule the caller owns them and frees them with CoTaskMemFree. Each one is answered
// (DLLOUT) as text and freed.
void AnswerTaskTexts(const Prototype& proto) {
    CallsState& calls = g_state.calls;
    for (int i = 1; i < proto.paramCount; ++i) {
        const TypeRef& type = proto.params[i].type;
        bool text = type.pointers == 2 && !(type.flags & TypeBstr) && (type.base == Base::WChar || type.base == Base::Char);
        // Only where the script asked with OUT: a pointer it gave is not the method's.
        if (!text || calls.argKind[i] != ArgStorage || !SameWord(Arg(2 + i), kOutWord)) continue;
        void* owned = reinterpret_cast<void*>(calls.storage[i].words[0]);
        if (type.base == Base::WChar)
            CopyReadableWide(calls.texts[i], MaxString, owned);
        else
            CopyReadableText(calls.texts[i], MaxString, owned);
        CoTaskMemFree(owned);
        calls.argKind[i] = ArgAnswered;
    }
}
