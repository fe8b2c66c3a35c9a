// The counter object (counter.h): every object holds a value and a name; the library
// counts the references alive over all of them, so a test can prove that everything
// handed out was given back.
#include <stddef.h>
#include <windows.h>
#include <oleauto.h>

#include "counter.h"

namespace {

LONG g_references;  // over every counter object alive

struct Counter {
    ICounter2 face;
    LONG references;
    int value;
    BSTR name;
};

Counter* Of(ICounter2* self) { return reinterpret_cast<Counter*>(self); }
ICounter2* NewCounter(int value);

HRESULT STDMETHODCALLTYPE QueryInterface(ICounter2* self, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ICounter) && !IsEqualIID(riid, IID_ICounter2))
        return E_NOINTERFACE;
    self->lpVtbl->AddRef(self);
    *ppv = self;
    return S_OK;
}

ULONG STDMETHODCALLTYPE AddRef(ICounter2* self) {
    InterlockedIncrement(&g_references);
    return InterlockedIncrement(&Of(self)->references);
}

ULONG STDMETHODCALLTYPE Release(ICounter2* self) {
    InterlockedDecrement(&g_references);
    LONG left = InterlockedDecrement(&Of(self)->references);
    if (left == 0) {
        SysFreeString(Of(self)->name);
        HeapFree(GetProcessHeap(), 0, Of(self));
    }
    return left;
}

HRESULT STDMETHODCALLTYPE Add(ICounter2* self, int a, int b, int* sum) {
    *sum = Of(self)->value + a + b;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SetName(ICounter2* self, BSTR name) {
    SysFreeString(Of(self)->name);
    Of(self)->name = SysAllocStringLen(name, SysStringLen(name));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE GetName(ICounter2* self, BSTR* name) {
    *name = SysAllocStringLen(Of(self)->name, SysStringLen(Of(self)->name));
    return S_OK;
}

// A new counter holding `value`, asked for riid.
HRESULT STDMETHODCALLTYPE Child(ICounter2*, int value, REFIID riid, void** ppv) {
    ICounter2* child = NewCounter(value);
    HRESULT hr = child->lpVtbl->QueryInterface(child, riid, ppv);
    child->lpVtbl->Release(child);
    return hr;
}

HRESULT STDMETHODCALLTYPE Combine(ICounter2* self, ICounter2* other, int* sum) {
    if (!other) return E_POINTER;
    *sum = Of(self)->value + Of(other)->value;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Fail(ICounter2*, HRESULT hr) { return hr; }

HRESULT STDMETHODCALLTYPE Crash(ICounter2*) {
    *static_cast<volatile int*>(nullptr) = 1;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Echo(ICounter2*, VARIANT in, VARIANT* out) {
    VariantClear(out);
    return VariantCopy(out, &in);
}

HRESULT STDMETHODCALLTYPE Identity(ICounter2*, GUID* iid) {
    *iid = IID_ICounter2;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SlotOne(ICounter2*, int* slot) {
    *slot = offsetof(ICounter2Vtbl, SlotOne) / sizeof(void*);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SlotTwo(ICounter2*, int* slot) {
    *slot = offsetof(ICounter2Vtbl, SlotTwo) / sizeof(void*);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE Pair(ICounter2* self, int a, int b) {
    Of(self)->value = a + b;
    return S_OK;
}

const ICounter2Vtbl kCounterTable = {QueryInterface, AddRef, Release, Add,      SetName, GetName,
                                     Child,          Combine, Fail,   Crash,    Echo,    Identity,
                                     SlotOne,        SlotTwo, Pair};

ICounter2* NewCounter(int value) {
    Counter* counter = static_cast<Counter*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Counter)));
    counter->face.lpVtbl = &kCounterTable;
    counter->references = 1;
    counter->value = value;
    InterlockedIncrement(&g_references);
    return &counter->face;
}

}  // namespace

extern "C" {

// A new counter with one reference, for the caller to own (a plain address to
// scripts: COMADOPT takes it over).
ICounter2* __stdcall CounterNew(int value) { return NewCounter(value); }

// The same through an out-pointer, as COM functions answer.
HRESULT __stdcall CounterCreate(int value, REFIID riid, void** ppv) {
    return Child(nullptr, value, riid, ppv);
}

// References alive over every counter.
LONG __stdcall CounterReferences(void) { return g_references; }

}  // extern "C"
