// Arrays held in slots: their size and bounds, element reads and writes by index,
// and COMENUM/COMNEXT, which walk a collection's enumerator or an array's elements.
#include <stdio.h>
#include <string.h>

#include "../calls/calls.h"
#include "../host/state.h"
#include "../host/text.h"
#include "com.h"

constexpr int MaxArrayDims = 8;  // indices a script can give an element (Args[3..])

LONG ComArrayCount(SAFEARRAY* array) {
    UINT dims = SafeArrayGetDim(array);
    LONG count = dims ? 1 : 0;
    for (UINT d = 1; d <= dims; ++d) {
        LONG low = 0, high = -1;
        SafeArrayGetLBound(array, d, &low);
        SafeArrayGetUBound(array, d, &high);
        count *= high - low + 1;
    }
    return count;
}

// One element at the indices (rgIndices[0] the first dimension) into *v.
static HRESULT ElementAt(SAFEARRAY* array, LONG* indices, VARIANT* v) {
    VARTYPE type = VT_EMPTY;
    HRESULT hr = SafeArrayGetVartype(array, &type);
    if (FAILED(hr)) return hr;
    VariantInit(v);
    if (type == VT_VARIANT) return SafeArrayGetElement(array, indices, v);
    if (type == VT_DECIMAL) {
        if (SafeArrayGetElemsize(array) != sizeof(DECIMAL)) return DISP_E_BADVARTYPE;
        DECIMAL value;
        hr = SafeArrayGetElement(array, indices, &value);
        if (SUCCEEDED(hr)) V_DECIMAL(v) = value, V_VT(v) = VT_DECIMAL;
        return hr;
    }
    if (type == VT_RECORD) return DISP_E_BADVARTYPE;
    // Every other element type fits the VARIANT's value part, where it is copied; an
    // array that says its elements are larger (a server's garbage) would overrun it.
    if (SafeArrayGetElemsize(array) > sizeof(V_I8(v))) return DISP_E_BADVARTYPE;
    hr = SafeArrayGetElement(array, indices, &V_I8(v));
    if (SUCCEEDED(hr)) V_VT(v) = type;
    return hr;
}

HRESULT ComArrayElementAt(SAFEARRAY* array, LONG position, VARIANT* v) {
    LONG indices[64];
    UINT dims = SafeArrayGetDim(array);
    if (!dims || dims > 64) return DISP_E_BADINDEX;
    for (UINT d = 1; d <= dims; ++d) {
        LONG low = 0, high = -1;
        SafeArrayGetLBound(array, d, &low);
        SafeArrayGetUBound(array, d, &high);
        LONG extent = high - low + 1;
        if (extent <= 0) return DISP_E_BADINDEX;
        indices[d - 1] = low + position % extent;
        position /= extent;
    }
    return ElementAt(array, indices, v);
}

// The indices Args[first..last] for an array of `dims` dimensions, the first
// dimension first.
static bool ReadIndices(SAFEARRAY* array, int first, int last, LONG* indices) {
    UINT dims = SafeArrayGetDim(array);
    int given = last - first + 1;
    if (dims > MaxArrayDims)
        return ComFail(StatusComFailed, "the array has %u dimensions: elements are read in up to %d", dims,
                       MaxArrayDims);
    if (given != static_cast<int>(dims))
        return ComFail(StatusBadValue, "the array has %u dimension%s, %d ind%s given", dims, dims == 1 ? "" : "s",
                       given < 0 ? 0 : given, given == 1 ? "ex" : "ices");
    for (int i = 0; i < given; ++i) {
        LONG low = 0, high = -1;
        SafeArrayGetLBound(array, i + 1, &low);
        SafeArrayGetUBound(array, i + 1, &high);
        if (!ComReadIndex(Arg(first + i), &indices[i]) || indices[i] < low || indices[i] > high)
            return ComFail(StatusBadValue, "index %d: '%.20s' is not %ld to %ld", i + 1, Arg(first + i),
                           static_cast<long>(low), static_cast<long>(high));
    }
    return true;
}

// Stores the text (read as an argument) at the indices, converted to the array's type.
static bool PutElement(SAFEARRAY* array, LONG* indices, const char* text) {
    VARIANT value, converted;
    bool borrowed;
    if (!ComReadArgument(text, 1, &value, &borrowed)) return false;
    VariantInit(&converted);
    VARTYPE type = VT_VARIANT;
    SafeArrayGetVartype(array, &type);
    HRESULT hr;
    if (type == VT_VARIANT) {
        hr = SafeArrayPutElement(array, indices, &value);  // copied (an object gains a reference)
    } else {
        hr = VariantChangeType(&converted, &value, 0, type);
        if (SUCCEEDED(hr)) {
            // Texts and interfaces are passed as themselves, everything else by its address.
            void* element = type == VT_BSTR ? static_cast<void*>(V_BSTR(&converted))
                            : (type == VT_DISPATCH || type == VT_UNKNOWN) ? static_cast<void*>(V_UNKNOWN(&converted))
                            : type == VT_DECIMAL ? static_cast<void*>(&V_DECIMAL(&converted))
                                                 : static_cast<void*>(&V_I8(&converted));
            hr = SafeArrayPutElement(array, indices, element);
        }
    }
    VariantClear(&converted);
    if (!borrowed) VariantClear(&value);
    if (FAILED(hr)) return ComFailHresult(hr, "'%.40s' cannot be stored in the array", text);
    return true;
}

// On an array slot: Count (elements in all), Dims, LBound [d], UBound [d] and
// Item i [m...]; a put stores into Item.
const char* ComArrayMember(ComObject* slot, bool put) {
    char* out = g_state.host.resultBuffer;
    out[0] = '\0';
    SAFEARRAY* array = slot->array;
    const char* member = Arg(2);
    int last = g_state.host.argCount - 1;
    LONG indices[MaxArrayDims];
    if (SameWord(member, "Item")) {
        if (put) {
            if (ReadIndices(array, 3, last - 1, indices)) PutElement(array, indices, Arg(last));
            return out;
        }
        if (!ReadIndices(array, 3, last, indices)) return out;
        VARIANT value;
        HRESULT hr = ElementAt(array, indices, &value);
        if (FAILED(hr)) return ComFail(StatusComFailed, "the element cannot be read: 0x%08lX", static_cast<unsigned long>(hr)), out;
        return ComAnswer(&value, slot->className);
    }
    if (put) return ComFail(StatusComFailed, "an array slot can set only Item, not %.40s", member), out;
    if (SameWord(member, "Count")) return AnswerLong(ComArrayCount(array));
    if (SameWord(member, "Dims")) return AnswerLong(static_cast<long>(SafeArrayGetDim(array)));
    bool lower = SameWord(member, "LBound");
    if (lower || SameWord(member, "UBound")) {
        LONG dim = 1, bound = 0;
        if (*Arg(3) && !ComReadIndex(Arg(3), &dim)) dim = 0;
        HRESULT hr = lower ? SafeArrayGetLBound(array, dim, &bound) : SafeArrayGetUBound(array, dim, &bound);
        if (FAILED(hr)) return ComFail(StatusBadValue, "the array has no dimension %.20s", Arg(3)), out;
        return AnswerLong(bound);
    }
    return ComFail(StatusComFailed, "unknown name %.60s on object %d (an array: Count, Dims, LBound, UBound, Item)",
                   member, ComSlotNumber(slot)), out;
}

// ---- walking ------------------------------------------------------------------------------------

// COMENUM j k: slot j becomes an enumerator over object k's collection (its
// _NewEnum) or over the elements of the array k holds (a copy, in storage order).
// Answers 0 or the failure's status; a failure leaves slot j as it was.
int ComEnum() {
    CallErrorClear();
    if (ComInsideCall()) return 0;
    ComObject* into = ComSlotArg(Arg(1), false);
    ComObject* from = into ? ComSlotArg(Arg(2), true) : nullptr;
    if (!from) return 0;
    if (from->kind == ComKind::Array || from->kind == ComKind::ArrayWalk) {
        SAFEARRAY* copy = nullptr;
        HRESULT hr = SafeArrayCopy(from->array, &copy);
        if (FAILED(hr)) return ComFail(StatusComFailed, "COMENUM: the array could not be copied: 0x%08lX", static_cast<unsigned long>(hr)), 0;
        char name[ComClassBytes];
        CopyBounded(name, sizeof name, from->className);
        if (!ComSlotStoreArray(into, copy, name)) return 0;
        into->kind = ComKind::ArrayWalk;
        into->walkPosition = 0;
        return 0;
    }
    bool owned = false;
    IDispatch* dispatch = ComDispatchOf(from, &owned);
    if (!dispatch) return 0;
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    bool done = ComInvokeId(dispatch, DISPID_NEWENUM, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, &result,
                            "_NewEnum", from, nullptr);
    if (owned) ComGuardedRelease(dispatch);
    if (!done) return ComClearValue(&result), 0;  // 1006 (no collection) or 1003, DLLERROR says which
    HRESULT hr = S_OK;
    IEnumVARIANT* walker = nullptr;
    IUnknown* unknown = V_VT(&result) == VT_UNKNOWN || V_VT(&result) == VT_DISPATCH ? V_UNKNOWN(&result) : nullptr;
    if (unknown && !ComGuardedQuery(unknown, IID_IEnumVARIANT, reinterpret_cast<void**>(&walker), &hr))
        return ComClearValue(&result), 0;
    ComClearValue(&result);
    if (FAILED(hr) || !walker)
        return ComFailHresult(FAILED(hr) ? hr : E_NOINTERFACE, "COMENUM: object %d (%s) is no collection",
                              ComSlotNumber(from), from->className), 0;
    char name[ComClassBytes];
    CopyBounded(name, sizeof name, from->className);
    ComSlotStore(into, walker, IID_IEnumVARIANT, name);
    return 0;
}

// COMNEXT j: the next item of enumerator j (an object in the lowest free slot,
// "OBJ:m"); after the last, "" with status 1007.
const char* ComNext() {
    char* out = g_state.host.resultBuffer;
    ComObject* slot = ComFunctionSlot();
    if (!slot) return out;
    VARIANT item;
    VariantInit(&item);
    if (slot->kind == ComKind::ArrayWalk) {
        if (slot->walkPosition >= ComArrayCount(slot->array))
            return ComFail(StatusComEnd, "COMNEXT: object %d has no more elements", ComSlotNumber(slot)), out;
        HRESULT hr = ComArrayElementAt(slot->array, slot->walkPosition++, &item);
        if (FAILED(hr)) return ComFail(StatusComFailed, "the element cannot be read: 0x%08lX", static_cast<unsigned long>(hr)), out;
        return ComAnswer(&item, slot->className);
    }
    if (slot->kind != ComKind::Enumerator)
        return ComFail(StatusBadValue, "COMNEXT: object %d is no enumerator (make one with COMENUM)",
                       ComSlotNumber(slot)), out;
    ULONG fetched = 0;
    HRESULT hr;
    const DWORD words[] = {1, reinterpret_cast<DWORD>(&item), reinterpret_cast<DWORD>(&fetched)};
    if (!ComGuardedCall(slot->unknown, MethodEnumNext, words, 3, &hr, "IEnumVARIANT::Next")) return out;
    if (FAILED(hr)) return ComClearValue(&item), ComFailHresult(hr, "COMNEXT %d", ComSlotNumber(slot)), out;
    if (hr != S_OK || fetched == 0) {
        ComClearValue(&item);
        return ComFail(StatusComEnd, "COMNEXT: object %d has no more items", ComSlotNumber(slot)), out;
    }
    return ComAnswer(&item, slot->className);
}
