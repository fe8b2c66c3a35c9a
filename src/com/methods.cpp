// COMCALL, COMQUERY and COMADOPT: methods of pasted interfaces called by name on the
// objects in the slots, another interface of an object asked for, and an interface
// pointer a foreign function returned taken into a slot.
#include <stdio.h>
#include <string.h>

#include "../calls/calls.h"
#include "../host/state.h"
#include "../host/text.h"
#include "interfaces.h"
#include "objects.h"

// Reads `count` words at an address without faulting; false where it is not readable.
static bool ReadWords(const void* address, DWORD* words, SIZE_T count) {
    SIZE_T read = 0;
    return ReadProcessMemory(GetCurrentProcess(), address, words, count * 4, &read) && read == count * 4;
}

// ? COMCALL k [Interface.]Method arg...: calls the method of the interface object k
// holds (or of one of its bases) with DLLCALL's conversions and answers. Refused
// before any call, with status 1006: a name the interface and its bases do not have,
// an Interface. that the object's is not. A bad or empty slot answers 1005, a fault
// 1003, a callee that removes another count of bytes than declared 1004, a failing
// HRESULT 1006 with the system's text in DLLERROR.
const char* ComCall() {
    CallErrorClear();
    if (g_state.calls.depth) return CallFailValue("COMCALL inside a function a call made: not allowed"), "";
    // A refused call leaves DLLOUT nothing of an earlier one to answer.
    g_state.calls.lastCalled = 0;
    ComObject* slot = ComFunctionSlot();
    if (!slot) return "";
    int number = ComSlotNumber(slot);
    if (!ComHoldsInterface(slot))
        return ComFail(StatusBadValue, "object %d holds no interface pointer", number), "";
    int held = ObjectInterface(slot);
    const char* name = Arg(2);
    int within = held;
    if (const char* dot = strchr(name, '.')) {
        within = FindInterfaceWord(name, static_cast<int>(dot - name));
        if (within < 0)
            return ComFail(StatusComFailed, "COMCALL %.100s: no interface %.*s is declared", name,
                           static_cast<int>(dot - name), name), "";
        if (!InterfaceDerivesFrom(held < 0 ? InterfaceUnknown : held, within))
            return ComFail(StatusComFailed, "COMCALL %.100s: object %d holds %s, which is not %s (ask for it with "
                           "COMQUERY)", name, number, InterfaceName(held), InterfaceName(within)), "";
        name = dot + 1;
    }
    int index;
    const Prototype* method = FindInterfaceMethod(within, name, &index);
    if (!method)
        return ComFail(StatusComFailed, "COMCALL: %s has no method %.100s%s", InterfaceName(within), name,
                       held < 0 ? " (object's interface unknown: ask for a declared one with COMQUERY)" : ""), "";
    // The slots own their references: a Release through COMCALL would leave one
    // that COMRELEASE later gives back a second time.
    if (index == MethodAddRef || index == MethodRelease)
        return ComFail(StatusComFailed, "COMCALL %s: a slot's reference is given back by COMRELEASE, and another "
                       "one is taken by COMQUERY", method->name), "";
    // The method's entry is read under the call's fault handler: a slot holding what
    // is no object faults there (1003). Events the object fires while the method runs
    // reach the host after it, as for the automation calls.
    const char* answer = TypedCallMethod(*method, index, reinterpret_cast<DWORD>(slot->unknown));
    ComState& com = g_state.com;
    if (!ComObjectCallUnderWay() && com.deferredCount) ComPostDeferredEvents();
    HRESULT hr = static_cast<HRESULT>(g_state.calls.outcome.eax);
    bool failed = IsHresult(method->result) && FAILED(hr);
    if (g_state.calls.lastCalled && g_state.host.statusCode == StatusOk && failed)
        ComFailHresult(hr, "%s.%s", InterfaceName(within), method->name);
    if (g_state.calls.lastCalled && g_state.host.statusCode == StatusOk) {
        DWORD lastError = GetLastError();
        AnswerTaskTexts(*method);
        SetLastError(lastError);
    }
    return answer;
}

// COMQUERY j k interface: object k's QueryInterface for the interface (a declared
// name with a uuid, or an IID {...}) into slot j, which records it. Answers 0, or the
// status: 1005 a bad slot or interface, 1006 the object refused (E_NOINTERFACE), 1003
// a fault; a failure changes no slot.
int ComQuery() {
    CallErrorClear();
    if (ComInsideCall()) return 0;
    ComObject* target = ComSlotArg(Arg(1), false);
    ComObject* source = target ? ComSlotArg(Arg(2), true) : nullptr;
    if (!source) return 0;
    if (!ComHoldsInterface(source))
        return ComFail(StatusBadValue, "object %d holds no interface pointer", ComSlotNumber(source)), 0;
    GUID iid;
    int index;
    if (!ReadInterfaceArgument(Arg(3), &iid, &index)) return 0;
    IUnknown* pointer = nullptr;
    HRESULT hr;
    if (!ComGuardedQuery(source->unknown, iid, reinterpret_cast<void**>(&pointer), &hr)) return 0;
    if (FAILED(hr)) return ComFailHresult(hr, "COMQUERY: object %d has no %.60s", ComSlotNumber(source), Arg(3)), 0;
    if (ComSlotStore(target, pointer, iid, InterfaceName(index))) target->interfaceIndex = index;
    return 0;
}

// COMADOPT j address interface: the interface pointer at `address` (as a foreign
// function returned it) into slot j, which takes over the reference it carries: the
// slot's release is the one the function's caller owes. Answers 0, or 1005 for a bad
// slot, interface or an address where no object can be read.
int ComAdopt() {
    CallErrorClear();
    if (ComInsideCall()) return 0;
    ComObject* target = ComSlotArg(Arg(1), false);
    if (!target) return 0;
    TypeRef type = {};
    type.base = Base::Handle;
    ULONGLONG value = 0;
    if (!ReadInteger(Arg(2), type, &value) || value == 0)
        return ComFail(StatusBadValue, "COMADOPT: '%.40s' is not an object's address", Arg(2)), 0;
    GUID iid = IID_IUnknown;
    int index = InterfaceUnknown;
    if (*Arg(3) && !ReadInterfaceArgument(Arg(3), &iid, &index)) return 0;
    // An object begins with its method table, whose first three entries are IUnknown's.
    DWORD table = 0, entries[3];
    if (!ReadWords(reinterpret_cast<const void*>(value), &table, 1) ||
        !ReadWords(reinterpret_cast<const void*>(table), entries, 3))
        return ComFail(StatusBadValue, "COMADOPT: no object at %.40s (its method table cannot be read)", Arg(2)), 0;
    if (ComSlotStore(target, reinterpret_cast<IUnknown*>(value), iid, InterfaceName(index)))
        target->interfaceIndex = index;
    return 0;
}
