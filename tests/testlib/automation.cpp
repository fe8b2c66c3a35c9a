// An automation object of our own for the tests, the example and the benchmark: a
// dual interface (its methods in the vtable after IDispatch's, and reached by name
// through IDispatch) with type information made at run time, members that answer
// every VARIANT kind, take optional and by-reference arguments, raise an exception
// with a description or fault outright, an enumerator, and an event source with a
// connection point. Every object counts its references into one total, so a test can
// see that the library gives back each one it took.
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>
#include <olectl.h>
#include <string.h>
#include <wchar.h>

#include <new>

// {7D2C9A51-3E64-4F0B-A1C2-5B8E0D4F6A17} the class; the interface; the events.
static const CLSID kClassId = {0x7d2c9a51, 0x3e64, 0x4f0b, {0xa1, 0xc2, 0x5b, 0x8e, 0x0d, 0x4f, 0x6a, 0x17}};
static const IID kInterfaceId = {0x7d2c9a52, 0x3e64, 0x4f0b, {0xa1, 0xc2, 0x5b, 0x8e, 0x0d, 0x4f, 0x6a, 0x17}};
static const IID kEventsId = {0x7d2c9a53, 0x3e64, 0x4f0b, {0xa1, 0xc2, 0x5b, 0x8e, 0x0d, 0x4f, 0x6a, 0x17}};
static const GUID kLibraryId = {0x7d2c9a54, 0x3e64, 0x4f0b, {0xa1, 0xc2, 0x5b, 0x8e, 0x0d, 0x4f, 0x6a, 0x17}};
static const char kProgId[] = "Trakx.Automation";
// {7D2C9A55-...} the same class served from a surrogate process of the system's
// (registered with a DllSurrogate), for the tests of objects in another process.
static const CLSID kRemoteClassId = {0x7d2c9a55, 0x3e64, 0x4f0b, {0xa1, 0xc2, 0x5b, 0x8e, 0x0d, 0x4f, 0x6a, 0x17}};

static LONG g_references;  // references held on every object of this file
static LONG g_objects;     // objects alive
static LONG g_sinks;       // event sinks connected, over all objects

static ITypeInfo* g_classInfo;      // the coclass: default interface and default source
static ITypeInfo* g_interfaceInfo;  // the members, by name
static ITypeInfo* g_eventsInfo;     // the events

enum Member : DISPID {
    MemberItem = DISPID_VALUE,
    MemberCount = 1, MemberTyped, MemberEcho, MemberOptional, MemberTwice, MemberFail, MemberCrash,
    MemberFire, MemberChild, MemberJoin, MemberName, MemberFireFromThread, MemberFireAndPump, MemberHeld,
    MemberFlood,
};

struct MemberEntry {
    const wchar_t* name;
    DISPID id;
};
static const MemberEntry kMembers[] = {
    {L"Item", MemberItem}, {L"Count", MemberCount}, {L"Typed", MemberTyped}, {L"Echo", MemberEcho},
    {L"Optional", MemberOptional}, {L"Twice", MemberTwice}, {L"Fail", MemberFail}, {L"Crash", MemberCrash},
    {L"Fire", MemberFire}, {L"Child", MemberChild}, {L"Join", MemberJoin}, {L"Name", MemberName},
    {L"FireFromThread", MemberFireFromThread}, {L"FireAndPump", MemberFireAndPump}, {L"Held", MemberHeld},
    {L"Flood", MemberFlood}, {L"_NewEnum", DISPID_NEWENUM},
};

// ---- the dual interface ------------------------------------------------------------------------

struct ITrakxAutomation : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* count) = 0;
    virtual HRESULT STDMETHODCALLTYPE Typed(BSTR kind, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Fire(BSTR text, LONG n) = 0;
    // Fires, then dispatches the thread's messages (FireAndPump in the vtable).
    virtual HRESULT STDMETHODCALLTYPE FireAndPump() = 0;
};

// Dispatches the thread's pending messages, as the message loop a call to another
// process waits in does.
static void PumpThreadMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

class Automation;

// The connection point of the events, part of its object.
class EventPoint : public IConnectionPoint {
public:
    explicit EventPoint(Automation* owner) : owner_(owner) {}
    ~EventPoint() { DisconnectAll(); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override { return *iid = kEventsId, S_OK; }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
        *cookie = 0;
        for (int i = 0; i < 4; ++i) {
            if (sinks_[i]) continue;
            IDispatch* dispatch = nullptr;
            if (FAILED(sink->QueryInterface(kEventsId, reinterpret_cast<void**>(&dispatch))) &&
                FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
                return CONNECT_E_CANNOTCONNECT;
            sinks_[i] = dispatch;
            InterlockedIncrement(&g_sinks);
            *cookie = i + 1;
            return S_OK;
        }
        return CONNECT_E_ADVISELIMIT;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        if (cookie < 1 || cookie > 4 || !sinks_[cookie - 1]) return CONNECT_E_NOCONNECTION;
        sinks_[cookie - 1]->Release();
        sinks_[cookie - 1] = nullptr;
        InterlockedDecrement(&g_sinks);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    // Calls every sink's event with the arguments (in the order declared).
    void Raise(DISPID event, VARIANT* args, UINT count) {
        VARIANT reversed[4];
        for (UINT i = 0; i < count; ++i) reversed[i] = args[count - 1 - i];
        DISPPARAMS params = {reversed, nullptr, count, 0};
        for (IDispatch* sink : sinks_)
            if (sink) sink->Invoke(event, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }
    void DisconnectAll() {
        for (DWORD i = 1; i <= 4; ++i) Unadvise(i);
    }

private:
    Automation* owner_;
    IDispatch* sinks_[4] = {};
};

class Automation : public ITrakxAutomation, public IProvideClassInfo2, public IConnectionPointContainer,
                   public IPersistFile {
public:
    // plain: answers neither IProvideClassInfo nor IProvideClassInfo2, so a client
    // finds its events through its type library alone.
    explicit Automation(bool plain = false) : points_(this), plain_(plain) {
        InterlockedIncrement(&g_objects);
        InterlockedIncrement(&g_references);
    }
    ~Automation() {
        if (child_) child_->Release();
        for (IDispatch* held : held_)
            if (held) held->Release();
        for (VARIANT& v : values_) VariantClear(&v);
        for (BSTR& key : keys_) SysFreeString(key);
        SysFreeString(name_);
        InterlockedDecrement(&g_objects);
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, kInterfaceId))
            *out = static_cast<ITrakxAutomation*>(this);
        else if (!plain_ && (IsEqualIID(iid, IID_IProvideClassInfo) || IsEqualIID(iid, IID_IProvideClassInfo2)))
            *out = static_cast<IProvideClassInfo2*>(this);
        else if (IsEqualIID(iid, IID_IConnectionPointContainer))
            *out = static_cast<IConnectionPointContainer*>(this);
        else if (IsEqualIID(iid, IID_IPersistFile) || IsEqualIID(iid, IID_IPersist))
            *out = static_cast<IPersistFile*>(this);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        InterlockedIncrement(&g_references);
        return InterlockedIncrement(&count_);
    }
    ULONG STDMETHODCALLTYPE Release() override {
        InterlockedDecrement(&g_references);
        LONG left = InterlockedDecrement(&count_);
        if (left == 0) delete this;
        return left;
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return *count = 1, S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        if (!g_interfaceInfo) return E_NOTIMPL;
        g_interfaceInfo->AddRef();
        *info = g_interfaceInfo;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        HRESULT hr = S_OK;
        for (UINT i = 0; i < count; ++i) {
            ids[i] = DISPID_UNKNOWN;
            for (const MemberEntry& member : kMembers)
                if (_wcsicmp(names[i], member.name) == 0) ids[i] = member.id;
            if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* info, UINT* argError) override;

    // The vtable part of the dual interface.
    HRESULT STDMETHODCALLTYPE get_Count(LONG* count) override { return *count = 3, S_OK; }
    HRESULT STDMETHODCALLTYPE Typed(BSTR kind, VARIANT* value) override;
    HRESULT STDMETHODCALLTYPE Fire(BSTR text, LONG n) override {
        VARIANT args[2];
        V_VT(&args[0]) = VT_BSTR;
        V_BSTR(&args[0]) = text;
        V_VT(&args[1]) = VT_I4;
        V_I4(&args[1]) = n;
        points_.Raise(1, args, 2);
        points_.Raise(2, nullptr, 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FireAndPump() override {
        BSTR text = SysAllocString(L"pumped");
        Fire(text, 1);
        SysFreeString(text);
        PumpThreadMessages();
        return S_OK;
    }

    // IProvideClassInfo2
    HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
        *info = g_classInfo;
        if (!g_classInfo) return E_NOTIMPL;
        g_classInfo->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override {
        if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
        *guid = kEventsId;
        return S_OK;
    }

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override {
        *point = nullptr;
        if (!IsEqualIID(iid, kEventsId)) return CONNECT_E_NOCONNECTION;
        *point = &points_;
        AddRef();
        return S_OK;
    }

    // IPersistFile: a file named *.trakxauto binds to an object (a file moniker) whose
    // Name is the file's first line.
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override { return *clsid = kClassId, S_OK; }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR path, DWORD) override {
        HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return HRESULT_FROM_WIN32(GetLastError());
        char text[200];
        DWORD read = 0;
        ReadFile(file, text, sizeof text - 1, &read, nullptr);
        CloseHandle(file);
        text[read] = '\0';
        text[strcspn(text, "\r\n")] = '\0';
        wchar_t wide[200];
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 200);
        SysFreeString(name_);
        name_ = SysAllocString(wide);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* path) override { return *path = nullptr, E_NOTIMPL; }

    EventPoint points_;

private:
    HRESULT ItemGet(VARIANT* key, VARIANT* result);
    HRESULT ItemPut(VARIANT* key, VARIANT* value);

    LONG count_ = 1;
    bool plain_;
    IDispatch* child_ = nullptr;
    IDispatch* held_[4] = {};
    BSTR name_ = nullptr;
    BSTR keys_[8] = {};
    VARIANT values_[8] = {};
};

HRESULT EventPoint::QueryInterface(REFIID iid, void** out) {
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
}
ULONG EventPoint::AddRef() { return owner_->AddRef(); }
ULONG EventPoint::Release() { return owner_->Release(); }
HRESULT EventPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    *out = owner_;
    owner_->AddRef();
    return S_OK;
}

// ---- the enumerator -------------------------------------------------------------------------------

// Walks 1, "two" and a new object.
class Walker : public IEnumVARIANT {
public:
    Walker() {
        InterlockedIncrement(&g_objects);
        InterlockedIncrement(&g_references);
    }
    ~Walker() { InterlockedDecrement(&g_objects); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IEnumVARIANT)) return E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        InterlockedIncrement(&g_references);
        return InterlockedIncrement(&count_);
    }
    ULONG STDMETHODCALLTYPE Release() override {
        InterlockedDecrement(&g_references);
        LONG left = InterlockedDecrement(&count_);
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, VARIANT* items, ULONG* fetched) override {
        ULONG given = 0;
        for (; given < wanted && position_ < 3; ++given, ++position_) {
            VARIANT& item = items[given];
            VariantInit(&item);
            if (position_ == 0) V_VT(&item) = VT_I4, V_I4(&item) = 1;
            if (position_ == 1) V_VT(&item) = VT_BSTR, V_BSTR(&item) = SysAllocString(L"two");
            if (position_ == 2) V_VT(&item) = VT_DISPATCH, V_DISPATCH(&item) = new Automation;
        }
        if (fetched) *fetched = given;
        return given == wanted ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        position_ += count;
        return position_ <= 3 ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return position_ = 0, S_OK; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
        Walker* copy = new Walker;
        copy->position_ = position_;
        *out = copy;
        return S_OK;
    }

private:
    LONG count_ = 1;
    ULONG position_ = 0;
};

// ---- members ------------------------------------------------------------------------------------------

static SAFEARRAY* VariantList() {
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 3);
    VARIANT v;
    LONG i = 0;
    V_VT(&v) = VT_I4, V_I4(&v) = 1;
    SafeArrayPutElement(array, &i, &v);
    ++i;
    V_VT(&v) = VT_BSTR, V_BSTR(&v) = SysAllocString(L"b");
    SafeArrayPutElement(array, &i, &v);
    VariantClear(&v);
    ++i;
    V_VT(&v) = VT_R8, V_R8(&v) = 2.5;
    SafeArrayPutElement(array, &i, &v);
    return array;
}

// Elements (i, m) with i 1..3 and m 1..2 holding 10 * i + m.
static SAFEARRAY* Grid() {
    SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, 1}};
    SAFEARRAY* array = SafeArrayCreate(VT_I4, 2, bounds);
    for (LONG i = 1; i <= 3; ++i)
        for (LONG m = 1; m <= 2; ++m) {
            LONG indices[2] = {i, m};
            LONG value = 10 * i + m;
            SafeArrayPutElement(array, indices, &value);
        }
    return array;
}

static LONG g_byRefTarget = 77;

HRESULT Automation::Typed(BSTR kind, VARIANT* v) {
    VariantInit(v);
    auto is = [&](const wchar_t* name) { return kind && _wcsicmp(kind, name) == 0; };
    if (is(L"I1")) V_VT(v) = VT_I1, V_I1(v) = -5;
    else if (is(L"UI1")) V_VT(v) = VT_UI1, V_UI1(v) = 250;
    else if (is(L"I2")) V_VT(v) = VT_I2, V_I2(v) = -30000;
    else if (is(L"UI2")) V_VT(v) = VT_UI2, V_UI2(v) = 60000;
    else if (is(L"I4")) V_VT(v) = VT_I4, V_I4(v) = -2000000000;
    else if (is(L"UI4")) V_VT(v) = VT_UI4, V_UI4(v) = 4000000000u;
    else if (is(L"I8")) V_VT(v) = VT_I8, V_I8(v) = -9000000000000000000LL;
    else if (is(L"UI8")) V_VT(v) = VT_UI8, V_UI8(v) = 18000000000000000000ULL;
    else if (is(L"INT")) V_VT(v) = VT_INT, V_INT(v) = -7;
    else if (is(L"UINT")) V_VT(v) = VT_UINT, V_UINT(v) = 7;
    else if (is(L"R4")) V_VT(v) = VT_R4, V_R4(v) = 0.1f;
    else if (is(L"R8")) V_VT(v) = VT_R8, V_R8(v) = 0.1 + 0.2;
    else if (is(L"CY")) V_VT(v) = VT_CY, V_CY(v).int64 = -123456;
    else if (is(L"CYWHOLE")) V_VT(v) = VT_CY, V_CY(v).int64 = 50000;
    else if (is(L"DECIMAL")) {
        DECIMAL d = {};
        d.Hi32 = 1;
        d.Lo32 = 5;
        d.scale = 3;
        d.sign = DECIMAL_NEG;
        V_DECIMAL(v) = d;
        V_VT(v) = VT_DECIMAL;
    } else if (is(L"BADDECIMAL")) {  // a scale no decimal may have (at most 28)
        DECIMAL d = {};
        d.Lo32 = 5;
        d.scale = 255;
        V_DECIMAL(v) = d;
        V_VT(v) = VT_DECIMAL;
    } else if (is(L"BOOL")) V_VT(v) = VT_BOOL, V_BOOL(v) = VARIANT_TRUE;
    else if (is(L"FALSE")) V_VT(v) = VT_BOOL, V_BOOL(v) = VARIANT_FALSE;
    else if (is(L"DATE")) {
        SYSTEMTIME time = {2024, 2, 0, 29, 13, 45, 30, 0};
        SystemTimeToVariantTime(&time, &V_DATE(v));
        V_VT(v) = VT_DATE;
    } else if (is(L"BSTR")) V_VT(v) = VT_BSTR, V_BSTR(v) = SysAllocString(L"caf\x00e9");
    else if (is(L"EMPTY")) V_VT(v) = VT_EMPTY;
    else if (is(L"NULL")) V_VT(v) = VT_NULL;
    else if (is(L"ERROR")) V_VT(v) = VT_ERROR, V_ERROR(v) = DISP_E_PARAMNOTFOUND;
    else if (is(L"DISPATCH")) V_VT(v) = VT_DISPATCH, V_DISPATCH(v) = new Automation;
    else if (is(L"PLAIN")) V_VT(v) = VT_DISPATCH, V_DISPATCH(v) = new Automation(true);
    else if (is(L"BADOBJECT")) V_VT(v) = VT_DISPATCH, V_DISPATCH(v) = reinterpret_cast<IDispatch*>(16);
    else if (is(L"UNKNOWN")) V_VT(v) = VT_UNKNOWN, V_UNKNOWN(v) = static_cast<ITrakxAutomation*>(new Automation);
    else if (is(L"NOTHING")) V_VT(v) = VT_DISPATCH, V_DISPATCH(v) = nullptr;
    else if (is(L"ARRAY")) V_VT(v) = VT_ARRAY | VT_VARIANT, V_ARRAY(v) = VariantList();
    else if (is(L"GRID")) V_VT(v) = VT_ARRAY | VT_I4, V_ARRAY(v) = Grid();
    else if (is(L"NULLBYREF")) V_VT(v) = VT_BYREF | VT_I4, V_I4REF(v) = nullptr;  // points nowhere
    else if (is(L"BADARRAY")) {  // integers said to take 64 bytes each: no VARIANT holds one
        SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 32);
        array->cbElements = 64;
        array->rgsabound[0].cElements = 2;
        V_VT(v) = VT_ARRAY | VT_I4, V_ARRAY(v) = array;
    }
    else if (is(L"BYREF")) V_VT(v) = VT_BYREF | VT_I4, V_I4REF(v) = &g_byRefTarget;
    else if (is(L"TEXTS")) {
        SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 3);
        const wchar_t* texts[] = {L"x", L"y", L"z"};
        for (LONG i = 0; i < 3; ++i) {
            BSTR text = SysAllocString(texts[i]);
            SafeArrayPutElement(array, &i, text);
            SysFreeString(text);
        }
        V_VT(v) = VT_ARRAY | VT_BSTR;
        V_ARRAY(v) = array;
    } else return E_INVALIDARG;
    return S_OK;
}

// The argument the caller meant: a by-reference variant is read where it points.
static VARIANT* Deref(VARIANT* v) {
    while (V_VT(v) == (VT_BYREF | VT_VARIANT)) v = V_VARIANTREF(v);
    return v;
}

static bool Missing(const DISPPARAMS* params, UINT position) {
    UINT count = params->cArgs;
    if (position >= count) return true;
    VARIANT* v = Deref(&params->rgvarg[count - 1 - position]);
    return V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND;
}

// "vt:text" of a value, for the tests to see what arrived.
static BSTR Describe(VARIANT* value) {
    VARIANT* v = Deref(value);
    wchar_t out[600];
    VARIANT text;
    VariantInit(&text);
    if (V_VT(v) & VT_ARRAY) {
        LONG low = 0, high = -1;
        SafeArrayGetLBound(V_ARRAY(v), 1, &low);
        SafeArrayGetUBound(V_ARRAY(v), 1, &high);
        swprintf(out, 600, L"%u:%ld", V_VT(v), high - low + 1);
    } else if (V_VT(v) == VT_DISPATCH || V_VT(v) == VT_UNKNOWN) {
        swprintf(out, 600, L"%u:%ls", V_VT(v), V_UNKNOWN(v) ? L"object" : L"nothing");
    } else if (SUCCEEDED(VariantChangeTypeEx(&text, v, MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT), 0, VT_BSTR))) {
        swprintf(out, 600, L"%u:%.500ls", V_VT(v), V_BSTR(&text));
    } else {
        swprintf(out, 600, L"%u:", V_VT(v));
    }
    VariantClear(&text);
    return SysAllocString(out);
}

HRESULT Automation::ItemGet(VARIANT* key, VARIANT* result) {
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeType(&text, Deref(key), 0, VT_BSTR))) return DISP_E_TYPEMISMATCH;
    HRESULT hr = S_OK;
    VariantInit(result);
    for (int i = 0; i < 8; ++i)
        if (keys_[i] && wcscmp(keys_[i], V_BSTR(&text)) == 0) hr = VariantCopy(result, &values_[i]);
    VariantClear(&text);
    return hr;
}

HRESULT Automation::ItemPut(VARIANT* key, VARIANT* value) {
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeType(&text, Deref(key), 0, VT_BSTR))) return DISP_E_TYPEMISMATCH;
    int at = -1;
    for (int i = 0; i < 8 && at < 0; ++i)
        if (keys_[i] && wcscmp(keys_[i], V_BSTR(&text)) == 0) at = i;
    for (int i = 0; i < 8 && at < 0; ++i)
        if (!keys_[i]) at = i, keys_[i] = SysAllocString(V_BSTR(&text));
    VariantClear(&text);
    if (at < 0) return E_OUTOFMEMORY;
    return VariantCopyInd(&values_[at], value);
}

// Fail's exception described on demand (EXCEPINFO's deferred fill-in), or a fill-in
// that faults.
static HRESULT __stdcall FillLater(EXCEPINFO* info) {
    info->pfnDeferredFillIn = nullptr;
    info->scode = 0x80040202;
    info->bstrDescription = SysAllocString(L"filled in later");
    return S_OK;
}
static HRESULT __stdcall FaultLater(EXCEPINFO*) {
    *static_cast<volatile int*>(nullptr) = 1;
    return S_OK;
}

struct ThreadFire {
    Automation* object;
    BSTR text;
};

static DWORD WINAPI FireOnThread(void* parameter) {
    ThreadFire* fire = static_cast<ThreadFire*>(parameter);
    fire->object->Fire(fire->text, 99);
    return 0;
}

HRESULT Automation::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                           EXCEPINFO* info, UINT* argError) {
    VARIANT ignored;
    if (!result) result = &ignored, VariantInit(&ignored);
    UINT count = params->cArgs;
    bool get = flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD);
    auto arg = [&](UINT position) { return Deref(&params->rgvarg[count - 1 - position]); };
    auto need = [&](UINT least, UINT most) { return count >= least && count <= most; };
    HRESULT hr = S_OK;
    switch (id) {
    case MemberCount: {
        if (!get || count) return DISP_E_MEMBERNOTFOUND;
        V_VT(result) = VT_I4;
        return get_Count(&V_I4(result));
    }
    case MemberTyped: {
        if (!need(1, 1)) return DISP_E_BADPARAMCOUNT;
        if (V_VT(arg(0)) != VT_BSTR) return *argError = 0, DISP_E_TYPEMISMATCH;
        hr = Typed(V_BSTR(arg(0)), result);
        break;
    }
    case MemberEcho: {
        if (!need(1, 1)) return DISP_E_BADPARAMCOUNT;
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = Describe(&params->rgvarg[0]);
        break;
    }
    case MemberOptional: {
        // Optional(a, [b], [c]): "a|b|c", "-" for each one left out.
        if (!need(1, 3)) return DISP_E_BADPARAMCOUNT;
        wchar_t out[1800] = L"";
        for (UINT i = 0; i < 3; ++i) {
            if (i) wcscat(out, L"|");
            if (Missing(params, i)) {
                wcscat(out, L"-");
                continue;
            }
            BSTR piece = Describe(&params->rgvarg[count - 1 - i]);
            wcsncat(out, piece, 590);
            SysFreeString(piece);
        }
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(out);
        break;
    }
    case MemberTwice: {
        // Twice(ByRef x): a number doubled, a text repeated, written back through x.
        if (!need(1, 1)) return DISP_E_BADPARAMCOUNT;
        VARIANT* given = &params->rgvarg[0];
        if (!(V_VT(given) & VT_BYREF)) return *argError = 0, DISP_E_TYPEMISMATCH;
        VARIANT* target = Deref(given);
        if (V_VT(target) == VT_BSTR) {
            BSTR doubled = SysAllocStringLen(nullptr, 2 * SysStringLen(V_BSTR(target)));
            wcscpy(doubled, V_BSTR(target));
            wcscat(doubled, V_BSTR(target));
            SysFreeString(V_BSTR(target));
            V_BSTR(target) = doubled;
        } else {
            VARIANT two;
            V_VT(&two) = VT_I4;
            V_I4(&two) = 2;
            VARIANT product;
            if (FAILED(VarMul(target, &two, &product))) return *argError = 0, DISP_E_TYPEMISMATCH;
            VariantClear(target);
            *target = product;
        }
        break;
    }
    case MemberFail: {
        if (!need(1, 1)) return DISP_E_BADPARAMCOUNT;
        if (info) {
            memset(info, 0, sizeof *info);
            info->scode = 0x80040201;
            info->bstrSource = SysAllocString(L"Trakx.Automation");
            VARIANT text;
            VariantInit(&text);
            VariantChangeType(&text, arg(0), 0, VT_BSTR);
            bool later = V_VT(&text) == VT_BSTR && _wcsicmp(V_BSTR(&text), L"later") == 0;
            bool faulting = V_VT(&text) == VT_BSTR && _wcsicmp(V_BSTR(&text), L"fault later") == 0;
            if (later || faulting) {
                VariantClear(&text);
                info->scode = 0;
                info->pfnDeferredFillIn = later ? FillLater : FaultLater;
                return DISP_E_EXCEPTION;
            }
            info->bstrDescription = V_VT(&text) == VT_BSTR ? V_BSTR(&text) : SysAllocString(L"?");
            info->dwHelpContext = 42;
        }
        return DISP_E_EXCEPTION;
    }
    case MemberCrash: {
        *static_cast<volatile int*>(nullptr) = 1;
        break;
    }
    case MemberFire: {
        if (!need(2, 2)) return DISP_E_BADPARAMCOUNT;
        VARIANT text, number;
        VariantInit(&text);
        VariantInit(&number);
        if (FAILED(VariantChangeType(&text, arg(0), 0, VT_BSTR))) return *argError = 1, DISP_E_TYPEMISMATCH;
        if (FAILED(VariantChangeType(&number, arg(1), 0, VT_I4))) return VariantClear(&text), *argError = 0, DISP_E_TYPEMISMATCH;
        Fire(V_BSTR(&text), V_I4(&number));
        VariantClear(&text);
        break;
    }
    case MemberFireAndPump: return FireAndPump();
    case MemberFlood: {
        // Flood(n, [pump]): n Ticks from this object, then n from its child, then
        // (unless pump is false) the thread's messages dispatched.
        if (!need(1, 2)) return DISP_E_BADPARAMCOUNT;
        VARIANT number, pump;
        VariantInit(&number);
        VariantInit(&pump);
        if (FAILED(VariantChangeType(&number, arg(0), 0, VT_I4))) return *argError = 0, DISP_E_TYPEMISMATCH;
        if (count == 2 && FAILED(VariantChangeType(&pump, arg(1), 0, VT_BOOL))) return *argError = 1, DISP_E_TYPEMISMATCH;
        for (LONG i = 0; i < V_I4(&number); ++i) points_.Raise(2, nullptr, 0);
        if (child_) {
            VARIANT childArgs[2];
            V_VT(&childArgs[0]) = VT_BOOL;
            V_BOOL(&childArgs[0]) = VARIANT_FALSE;
            childArgs[1] = number;
            DISPPARAMS childParams = {childArgs, nullptr, 2, 0};
            child_->Invoke(MemberFlood, IID_NULL, 0, DISPATCH_METHOD, &childParams, nullptr, nullptr, nullptr);
        }
        if (count < 2 || V_BOOL(&pump)) PumpThreadMessages();
        break;
    }
    case MemberHeld: {
        // Held(i), i 0..3: an indexed property that takes objects by reference only.
        VARIANT index;
        VariantInit(&index);
        if (count < 1 || FAILED(VariantChangeType(&index, &params->rgvarg[count - 1], 0, VT_I4)) ||
            V_I4(&index) < 0 || V_I4(&index) > 3)
            return DISP_E_BADINDEX;
        IDispatch*& held = held_[V_I4(&index)];
        if (flags & DISPATCH_PROPERTYPUTREF) {
            if (count != 2 || V_VT(&params->rgvarg[0]) != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
            IDispatch* given = V_DISPATCH(&params->rgvarg[0]);
            if (given) given->AddRef();
            if (held) held->Release();
            held = given;
            break;
        }
        if (flags & DISPATCH_PROPERTYPUT) return DISP_E_MEMBERNOTFOUND;
        if (count != 1) return DISP_E_BADPARAMCOUNT;
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = held;
        if (held) held->AddRef();
        break;
    }
    case MemberFireFromThread: {
        // Fires from a thread of its own, as a free-threaded server may.
        ThreadFire fire = {this, SysAllocString(L"thread")};
        HANDLE thread = CreateThread(nullptr, 0, FireOnThread, &fire, 0, nullptr);
        if (thread) WaitForSingleObject(thread, INFINITE), CloseHandle(thread);
        SysFreeString(fire.text);
        break;
    }
    case MemberChild: {
        if (flags & DISPATCH_PROPERTYPUTREF) {
            if (!need(1, 1) || V_VT(&params->rgvarg[0]) != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
            IDispatch* given = V_DISPATCH(&params->rgvarg[0]);
            if (given) given->AddRef();
            if (child_) child_->Release();
            child_ = given;
            break;
        }
        if (flags & DISPATCH_PROPERTYPUT) return DISP_E_MEMBERNOTFOUND;  // objects are put by reference
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = child_ ? child_ : new Automation;
        if (child_) child_->AddRef();
        break;
    }
    case MemberName: {
        if (flags & DISPATCH_PROPERTYPUT) {
            VARIANT text;
            VariantInit(&text);
            if (FAILED(VariantChangeType(&text, arg(0), 0, VT_BSTR))) return *argError = 0, DISP_E_TYPEMISMATCH;
            SysFreeString(name_);
            name_ = V_BSTR(&text);
            break;
        }
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(name_ ? name_ : L"");
        break;
    }
    case MemberJoin: {
        // Join(array): the elements as texts joined with ",".
        if (!need(1, 1)) return DISP_E_BADPARAMCOUNT;
        VARIANT* given = arg(0);
        if (!(V_VT(given) & VT_ARRAY)) return *argError = 0, DISP_E_TYPEMISMATCH;
        SAFEARRAY* array = (V_VT(given) & VT_BYREF) ? *V_ARRAYREF(given) : V_ARRAY(given);
        VARTYPE type;
        SafeArrayGetVartype(array, &type);
        LONG low = 0, high = -1;
        SafeArrayGetLBound(array, 1, &low);
        SafeArrayGetUBound(array, 1, &high);
        wchar_t out[2000] = L"";
        for (LONG i = low; i <= high; ++i) {
            VARIANT element, text;
            VariantInit(&element);
            VariantInit(&text);
            if (type == VT_VARIANT) SafeArrayGetElement(array, &i, &element);
            else SafeArrayGetElement(array, &i, &V_I8(&element)), V_VT(&element) = type;
            if (i > low) wcscat(out, L",");
            BSTR piece = Describe(&element);
            wcsncat(out, piece, 100);
            SysFreeString(piece);
            VariantClear(&element);
        }
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(out);
        break;
    }
    case MemberItem: {
        if (flags & DISPATCH_PROPERTYPUT) {
            if (!need(2, 2)) return DISP_E_BADPARAMCOUNT;
            hr = ItemPut(&params->rgvarg[1], &params->rgvarg[0]);
            break;
        }
        if (!need(1, 1)) return DISP_E_BADPARAMCOUNT;
        hr = ItemGet(arg(0), result);
        break;
    }
    case DISPID_NEWENUM: {
        V_VT(result) = VT_UNKNOWN;
        V_UNKNOWN(result) = new Walker;
        break;
    }
    default: return DISP_E_MEMBERNOTFOUND;
    }
    if (result == &ignored) VariantClear(&ignored);
    return hr;
}

// ---- type information, made at run time -------------------------------------------------------------

static void AddFunction(ICreateTypeInfo* type, UINT index, DISPID id, INVOKEKIND kind, VARTYPE* params, UINT count,
                        VARTYPE result, const wchar_t** names) {
    ELEMDESC elements[4] = {};
    for (UINT i = 0; i < count; ++i) elements[i].tdesc.vt = params[i], elements[i].paramdesc.wParamFlags = PARAMFLAG_FIN;
    FUNCDESC desc = {};
    desc.memid = id;
    desc.funckind = FUNC_DISPATCH;
    desc.invkind = kind;
    desc.callconv = CC_STDCALL;
    desc.cParams = static_cast<SHORT>(count);
    desc.lprgelemdescParam = count ? elements : nullptr;
    desc.elemdescFunc.tdesc.vt = result;
    type->AddFuncDesc(index, &desc);
    type->SetFuncAndParamNames(index, const_cast<LPOLESTR*>(names), count + 1);
}

static ITypeInfo* Finish(ICreateTypeInfo* type) {
    ITypeInfo* info = nullptr;
    type->LayOut();
    type->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(&info));
    type->Release();
    return info;
}

static void MakeTypeInfo() {
    if (g_classInfo) return;
    ICreateTypeLib2* library = nullptr;
    ITypeLib* standard = nullptr;
    ITypeInfo* dispatch = nullptr;
    if (FAILED(CreateTypeLib2(SYS_WIN32, L"trakx-automation.tlb", &library))) return;
    library->SetGuid(kLibraryId);
    library->SetName(const_cast<LPOLESTR>(L"TrakxAutomationLib"));
    if (SUCCEEDED(LoadRegTypeLib(IID_StdOle, 2, 0, LOCALE_NEUTRAL, &standard)))
        standard->GetTypeInfoOfGuid(IID_IDispatch, &dispatch);
    HREFTYPE reference;

    ICreateTypeInfo* events = nullptr;
    library->CreateTypeInfo(const_cast<LPOLESTR>(L"_TrakxAutomationEvents"), TKIND_DISPATCH, &events);
    events->SetGuid(kEventsId);
    if (dispatch && SUCCEEDED(events->AddRefTypeInfo(dispatch, &reference))) events->AddImplType(0, reference);
    VARTYPE ping[] = {VT_BSTR, VT_I4};
    const wchar_t* pingNames[] = {L"Ping", L"text", L"n"};
    const wchar_t* tickNames[] = {L"Tick"};
    AddFunction(events, 0, 1, INVOKE_FUNC, ping, 2, VT_VOID, pingNames);
    AddFunction(events, 1, 2, INVOKE_FUNC, nullptr, 0, VT_VOID, tickNames);
    g_eventsInfo = Finish(events);

    ICreateTypeInfo* members = nullptr;
    library->CreateTypeInfo(const_cast<LPOLESTR>(L"ITrakxAutomation"), TKIND_DISPATCH, &members);
    members->SetGuid(kInterfaceId);
    members->SetTypeFlags(TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE);
    if (dispatch && SUCCEEDED(members->AddRefTypeInfo(dispatch, &reference))) members->AddImplType(0, reference);
    const wchar_t* countNames[] = {L"Count"};
    VARTYPE typed[] = {VT_BSTR};
    const wchar_t* typedNames[] = {L"Typed", L"kind"};
    const wchar_t* fireNames[] = {L"Fire", L"text", L"n"};
    AddFunction(members, 0, MemberCount, INVOKE_PROPERTYGET, nullptr, 0, VT_I4, countNames);
    AddFunction(members, 1, MemberTyped, INVOKE_FUNC, typed, 1, VT_VARIANT, typedNames);
    AddFunction(members, 2, MemberFire, INVOKE_FUNC, ping, 2, VT_VOID, fireNames);
    g_interfaceInfo = Finish(members);

    ICreateTypeInfo* coclass = nullptr;
    library->CreateTypeInfo(const_cast<LPOLESTR>(L"TrakxAutomation"), TKIND_COCLASS, &coclass);
    coclass->SetGuid(kClassId);
    if (g_interfaceInfo && SUCCEEDED(coclass->AddRefTypeInfo(g_interfaceInfo, &reference))) {
        coclass->AddImplType(0, reference);
        coclass->SetImplTypeFlags(0, IMPLTYPEFLAG_FDEFAULT);
    }
    if (g_eventsInfo && SUCCEEDED(coclass->AddRefTypeInfo(g_eventsInfo, &reference))) {
        coclass->AddImplType(1, reference);
        coclass->SetImplTypeFlags(1, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
    }
    g_classInfo = Finish(coclass);
    if (dispatch) dispatch->Release();
    if (standard) standard->Release();
    library->Release();
}

// ---- the class factory and the exports ---------------------------------------------------------------

class Factory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *out = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        MakeTypeInfo();
        Automation* object = new (std::nothrow) Automation;
        if (!object) return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};
static Factory g_factory;

static HRESULT SetKey(HKEY root, const char* path, const char* name, const char* value) {
    HKEY key;
    LONG error = RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
    error = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), lstrlenA(value) + 1);
    RegCloseKey(key);
    return HRESULT_FROM_WIN32(error);
}

extern "C" {

HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    *out = nullptr;
    if (!IsEqualCLSID(clsid, kClassId) && !IsEqualCLSID(clsid, kRemoteClassId)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, out);
}

HRESULT __stdcall DllCanUnloadNow() { return S_FALSE; }  // the tests keep it loaded anyway

static HRESULT RegisterUnder(HKEY root, const char* prefix, const char* path) {
    const char* clsid = "{7D2C9A51-3E64-4F0B-A1C2-5B8E0D4F6A17}";
    char key[300];
    wsprintfA(key, "%s%s", prefix, kProgId);
    HRESULT hr = SetKey(root, key, nullptr, "TRAKX test automation object");
    wsprintfA(key, "%s%s\\CLSID", prefix, kProgId);
    if (SUCCEEDED(hr)) hr = SetKey(root, key, nullptr, clsid);
    wsprintfA(key, "%sCLSID\\%s\\InprocServer32", prefix, clsid);
    if (SUCCEEDED(hr)) hr = SetKey(root, key, nullptr, path);
    if (SUCCEEDED(hr)) hr = SetKey(root, key, "ThreadingModel", "Apartment");
    wsprintfA(key, "%sCLSID\\%s\\ProgID", prefix, clsid);
    if (SUCCEEDED(hr)) hr = SetKey(root, key, nullptr, kProgId);
    wsprintfA(key, "%s.trakxauto", prefix);  // files a moniker binds to this class
    if (SUCCEEDED(hr)) hr = SetKey(root, key, nullptr, kProgId);
    return hr;
}

// Registers the class under "Trakx.Automation" for this DLL's path (apartment-
// threaded): for the user, and where the system does not see that, for the machine.
HRESULT __stdcall AutomationRegister() {
    char path[MAX_PATH];
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<const char*>(&AutomationRegister), &self);
    if (!GetModuleFileNameA(self, path, MAX_PATH)) return E_FAIL;
    HRESULT hr = RegisterUnder(HKEY_CURRENT_USER, "Software\\Classes\\", path);
    CLSID clsid;
    if (SUCCEEDED(hr) && SUCCEEDED(CLSIDFromProgID(L"Trakx.Automation", &clsid))) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{7D2C9A51-3E64-4F0B-A1C2-5B8E0D4F6A17}\\InprocServer32", 0,
                          KEY_READ, &key) == ERROR_SUCCESS) {
            char seen[MAX_PATH] = "";
            DWORD size = sizeof seen;
            RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(seen), &size);
            RegCloseKey(key);
            char progid[64] = "";
            LONG progidSize = sizeof progid;
            RegQueryValueA(HKEY_CLASSES_ROOT, ".trakxauto", progid, &progidSize);
            if (lstrcmpiA(seen, path) == 0 && lstrcmpA(progid, kProgId) == 0) return S_OK;
        }
    }
    return RegisterUnder(HKEY_CLASSES_ROOT, "", path);
}

// Registers the class of kRemoteClassId for this DLL's path in a surrogate process
// (AppID with an empty DllSurrogate): CLSCTX_LOCAL_SERVER makes its objects there.
HRESULT __stdcall AutomationRegisterRemote() {
    char path[MAX_PATH];
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<const char*>(&AutomationRegisterRemote), &self);
    if (!GetModuleFileNameA(self, path, MAX_PATH)) return E_FAIL;
    const char* clsid = "{7D2C9A55-3E64-4F0B-A1C2-5B8E0D4F6A17}";
    char key[300];
    wsprintfA(key, "CLSID\\%s", clsid);
    HRESULT hr = SetKey(HKEY_CLASSES_ROOT, key, "AppID", clsid);
    wsprintfA(key, "CLSID\\%s\\InprocServer32", clsid);
    if (SUCCEEDED(hr)) hr = SetKey(HKEY_CLASSES_ROOT, key, nullptr, path);
    if (SUCCEEDED(hr)) hr = SetKey(HKEY_CLASSES_ROOT, key, "ThreadingModel", "Apartment");
    wsprintfA(key, "AppID\\%s", clsid);
    if (SUCCEEDED(hr)) hr = SetKey(HKEY_CLASSES_ROOT, key, "DllSurrogate", "");
    return hr;
}

// The Count property of any automation object, read through its IDispatch: a
// foreign function that takes an interface pointer (OBJ:k in DLLCALL). -1 when it has none.
LONG __stdcall DispatchCount(IDispatch* object) {
    LPOLESTR names[1] = {const_cast<LPOLESTR>(L"Count")};
    DISPID id;
    if (!object || FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return -1;
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    if (FAILED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                              nullptr)) ||
        FAILED(VariantChangeType(&result, &result, 0, VT_I4)))
        return -1;
    return V_I4(&result);
}

// Publishes a new object as the running instance of the class (COM must be started
// on the calling thread), and takes it back.
static DWORD g_published;
HRESULT __stdcall AutomationPublish() {
    MakeTypeInfo();
    Automation* object = new Automation;
    HRESULT hr = RegisterActiveObject(static_cast<ITrakxAutomation*>(object), kClassId, ACTIVEOBJECT_STRONG,
                                      &g_published);
    object->Release();
    return hr;
}
HRESULT __stdcall AutomationRevoke() { return RevokeActiveObject(g_published, nullptr); }

// References held on the objects of this file, objects alive and sinks connected.
LONG __stdcall AutomationReferences() { return g_references; }
LONG __stdcall AutomationObjects() { return g_objects; }
LONG __stdcall AutomationSinks() { return g_sinks; }

}  // extern "C"
