// The test library's own COM object, laid out as a C compiler lays out an interface:
// a pointer to a table of __stdcall function pointers, This first. ICounter derives
// from IUnknown; ICounter2 derives from ICounter and adds methods that answer their
// own slot, so a test can check the slots a pasted declaration gives against these
// structures (offsetof). Shared by the test library and the tests.
#pragma once

#include <windows.h>
#include <oaidl.h>

// {6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D01} and ...02
static const GUID IID_ICounter = {0x6A1C2D40, 0x5B7E, 0x4C1A, {0x9E, 0x3D, 0x1F, 0x2A, 0x3B, 0x4C, 0x5D, 0x01}};
static const GUID IID_ICounter2 = {0x6A1C2D40, 0x5B7E, 0x4C1A, {0x9E, 0x3D, 0x1F, 0x2A, 0x3B, 0x4C, 0x5D, 0x02}};

struct ICounter2;

struct ICounter2Vtbl {
    // IUnknown
    HRESULT(STDMETHODCALLTYPE* QueryInterface)(ICounter2* This, REFIID riid, void** ppv);
    ULONG(STDMETHODCALLTYPE* AddRef)(ICounter2* This);
    ULONG(STDMETHODCALLTYPE* Release)(ICounter2* This);
    // ICounter
    HRESULT(STDMETHODCALLTYPE* Add)(ICounter2* This, int a, int b, int* sum);
    HRESULT(STDMETHODCALLTYPE* SetName)(ICounter2* This, BSTR name);
    HRESULT(STDMETHODCALLTYPE* GetName)(ICounter2* This, BSTR* name);
    HRESULT(STDMETHODCALLTYPE* Child)(ICounter2* This, int value, REFIID riid, void** ppv);
    HRESULT(STDMETHODCALLTYPE* Combine)(ICounter2* This, ICounter2* other, int* sum);
    HRESULT(STDMETHODCALLTYPE* Fail)(ICounter2* This, HRESULT hr);
    HRESULT(STDMETHODCALLTYPE* Crash)(ICounter2* This);
    HRESULT(STDMETHODCALLTYPE* Echo)(ICounter2* This, VARIANT in, VARIANT* out);
    HRESULT(STDMETHODCALLTYPE* Identity)(ICounter2* This, GUID* iid);
    // ICounter2
    HRESULT(STDMETHODCALLTYPE* SlotOne)(ICounter2* This, int* slot);
    HRESULT(STDMETHODCALLTYPE* SlotTwo)(ICounter2* This, int* slot);
    HRESULT(STDMETHODCALLTYPE* Pair)(ICounter2* This, int a, int b);
};

struct ICounter2 {
    const ICounter2Vtbl* lpVtbl;
};

// The methods of ICounter end before SlotOne.
constexpr int CounterMethods = offsetof(ICounter2Vtbl, SlotOne) / sizeof(void*);
