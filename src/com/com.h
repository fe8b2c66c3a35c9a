// What the automation keywords' files share beside the object slots.
#pragma once

#include "objects.h"

// ---- arguments and answers (variant.cpp) -------------------------------------------------
// A whole number of at most 32 bits ("-12"), for indices.
bool ComReadIndex(const char* text, LONG* value);
// A text by its form alone: a decimal integer (32-bit, else 64-bit), a decimal with a
// fraction or exponent (double), anything else a text.
bool ComReadPlain(const char* text, VARIANT* v);
// One argument, by its prefix word or its form; `position` (from 1) for messages. A
// slot's object or array is lent (*borrowed set): clearing the call leaves it alone.
bool ComReadArgument(const char* text, int position, VARIANT* v, bool* borrowed);
// Args[first..last] into the call's VARIANTs, the last first; false (status and
// DLLERROR set, nothing left to clear) when one does not fit.
bool ComReadArguments(int first, int last, ComCallArgs* call);
// Gives back what the arguments hold, after writing REF: values into their string slots.
void ComClearArguments(ComCallArgs* call);
// A value that is no object nor array as text; false for those.
bool ComFormatValue(const VARIANT* v, char* out, size_t capacity);
// The answer for a result, which it takes over: a value as text, an object or array
// put in the lowest free slot and answered "OBJ:j" (className names it there).
const char* ComAnswer(VARIANT* v, const char* className);

// ---- calls (invoke.cpp) ----------------------------------------------------------------------
// IDispatch::Invoke of a member by name on `target` (the slot's own object when
// `slot` says so, which caches the name). Fails with status 1006 and DLLERROR naming
// the member, the HRESULT and the server's exception; 1003 for a fault.
bool ComInvokeName(IDispatch* target, const ComObject* slot, const char* name, WORD flags, DISPPARAMS* params,
                   VARIANT* result);
// The same for a member already known by its DISPID; `name` and `via` (the path so
// far, null for the slot's own object) name it in messages.
bool ComInvokeId(IDispatch* target, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, const char* name,
                 const ComObject* slot, const char* via);
// The slot's IDispatch, or null (status 1006). *owned says whether the caller holds
// a reference of its own to give back (ComGuardedRelease); otherwise the slot's is
// lent, which no script can release while the keyword runs.
IDispatch* ComDispatchOf(const ComObject* slot, bool* owned);

// ---- arrays (arrays.cpp) ------------------------------------------------------------------------
// COMPROP/COMINVOKE/COMPROPSET on a slot holding an array.
const char* ComArrayMember(ComObject* slot, bool put);
// Element `position` in storage order (the first dimension fastest) into *v.
HRESULT ComArrayElementAt(SAFEARRAY* array, LONG position, VARIANT* v);
LONG ComArrayCount(SAFEARRAY* array);
