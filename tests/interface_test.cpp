// COM interfaces pasted as the headers print them (DLLINTERFACE), their methods called
// by name (COMCALL), other interfaces asked for (COMQUERY, COMCREATE with an
// interface), pointers adopted (COMADOPT) and the COM parameter kinds of DLLCALL and
// COMCALL. The test library's counter object (testlib/counter.h) counts its
// references, so every test can end by proving that all of them were given back.
#include <stddef.h>

#include <string>

#include "fixture.h"
#include "testlib/counter.h"

namespace {

// ICounter in the three forms the headers print.
const char kCounterC[] =
    "DEFINE_GUID(IID_ICounter, 0x6A1C2D40, 0x5B7E, 0x4C1A, 0x9E, 0x3D, 0x1F, 0x2A, 0x3B, 0x4C, 0x5D, 0x01);\n"
    "typedef struct ICounterVtbl {\n"
    "    BEGIN_INTERFACE\n"
    "    HRESULT ( STDMETHODCALLTYPE *QueryInterface )(\n"
    "        ICounter * This,\n"
    "        /* [in] */ REFIID riid,\n"
    "        /* [annotation][iid_is][out] */\n"
    "        _COM_Outptr_  void **ppvObject);\n"
    "    ULONG ( STDMETHODCALLTYPE *AddRef )( ICounter * This);\n"
    "    ULONG ( STDMETHODCALLTYPE *Release )( ICounter * This);\n"
    "    DECLSPEC_XFGVIRT(ICounter, Add)\n"
    "    HRESULT ( STDMETHODCALLTYPE *Add )( ICounter * This, int a, int b, /* [out] */ int *sum);\n"
    "    HRESULT ( STDMETHODCALLTYPE *SetName )( ICounter * This, /* [in] */ BSTR name);\n"
    "    HRESULT ( STDMETHODCALLTYPE *GetName )( ICounter * This, /* [out] */ BSTR *name);\n"
    "    HRESULT ( STDMETHODCALLTYPE *Child )( ICounter * This, int value, REFIID riid, void **ppv);\n"
    "    HRESULT ( STDMETHODCALLTYPE *Combine )( ICounter * This, ICounter *other, int *sum);\n"
    "    HRESULT ( STDMETHODCALLTYPE *Fail )( ICounter * This, HRESULT hr);\n"
    "    HRESULT ( STDMETHODCALLTYPE *Crash )( ICounter * This);\n"
    "    HRESULT ( STDMETHODCALLTYPE *Echo )( ICounter * This, VARIANT in, VARIANT *out);\n"
    "    HRESULT ( STDMETHODCALLTYPE *Identity )( ICounter * This, /* [out] */ GUID *iid);\n"
    "    END_INTERFACE\n"
    "} ICounterVtbl;";

const char kCounterDeclare[] =
    "uuid(6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D01)\n"
    "DECLARE_INTERFACE_(ICounter, IUnknown)\n"
    "{\n"
    "    /*** IUnknown methods ***/\n"
    "    STDMETHOD(QueryInterface)(THIS_ REFIID riid, void **ppvObject) PURE;\n"
    "    STDMETHOD_(ULONG, AddRef)(THIS) PURE;\n"
    "    STDMETHOD_(ULONG, Release)(THIS) PURE;\n"
    "    /*** ICounter methods ***/\n"
    "    STDMETHOD(Add)(THIS_ int a, int b, int *sum) PURE;\n"
    "    STDMETHOD(SetName)(THIS_ BSTR name) PURE;\n"
    "    STDMETHOD(GetName)(THIS_ BSTR *name) PURE;\n"
    "    STDMETHOD(Child)(THIS_ int value, REFIID riid, void **ppv) PURE;\n"
    "    STDMETHOD(Combine)(THIS_ ICounter *other, int *sum) PURE;\n"
    "    STDMETHOD(Fail)(THIS_ HRESULT hr) PURE;\n"
    "    STDMETHOD(Crash)(THIS) PURE;\n"
    "    STDMETHOD(Echo)(THIS_ VARIANT in, VARIANT *out) PURE;\n"
    "    STDMETHOD(Identity)(THIS_ GUID *iid) PURE;\n"
    "};";

const char kCounterCpp[] =
    "MIDL_INTERFACE(\"6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D01\")\n"
    "ICounter : public IUnknown\n"
    "{\n"
    "public:\n"
    "    virtual HRESULT STDMETHODCALLTYPE Add(\n"
    "        /* [in] */ int a,\n"
    "        /* [in] */ int b,\n"
    "        /* [annotation][out] */\n"
    "        _Out_  int *sum) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE SetName( /* [in] */ BSTR name) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE GetName( /* [out] */ BSTR *name) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE Child( int value, REFIID riid, void **ppv) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE Combine( ICounter *other, int *sum) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE Fail( HRESULT hr) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE Crash( void) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE Echo( VARIANT in, VARIANT *out) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE Identity( GUID *iid) = 0;\n"
    "};";

// ICounter as DirectX headers write a C++ class: STDMETHOD without THIS, CONST.
const char kCounterDx[] =
    "interface DX_DECLARE_INTERFACE(\"6a1c2d40-5b7e-4c1a-9e3d-1f2a3b4c5d01\") ICounter : public IUnknown\n"
    "{\n"
    "    STDMETHOD(Add)(int a, int b, _Out_ int *sum) PURE;\n"
    "    STDMETHOD(SetName)(BSTR name) PURE;\n"
    "    STDMETHOD(GetName)(BSTR *name) CONST PURE;\n"
    "    STDMETHOD(Child)(int value, REFIID riid, _COM_Outptr_ void **ppv) PURE;\n"
    "    STDMETHOD(Combine)(_In_ ICounter *other, _Out_ int *sum) CONST PURE;\n"
    "    STDMETHOD(Fail)(HRESULT hr) PURE;\n"
    "    STDMETHOD(Crash)() PURE;\n"
    "    STDMETHOD(Echo)(VARIANT in, VARIANT *out) PURE;\n"
    "    STDMETHOD(Identity)(GUID *iid) PURE;\n"
    "}; // interface ICounter";

// ICounter2 : ICounter in the C++ form: its slots come after ICounter's.
const char kCounter2Cpp[] =
    "MIDL_INTERFACE(\"6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D02\")\n"
    "ICounter2 : public ICounter\n"
    "{\n"
    "public:\n"
    "    virtual HRESULT STDMETHODCALLTYPE SlotOne( int *slot) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE SlotTwo( int *slot) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE Pair( int a, int b) = 0;\n"
    "};";

// The same object's interface pasted wrongly: Pair takes two ints, not one.
const char kCounterWrong[] =
    "MIDL_INTERFACE(\"6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D02\")\n"
    "ICounterWrong : public ICounter\n"
    "{\n"
    "public:\n"
    "    virtual HRESULT STDMETHODCALLTYPE SlotOne( int *slot) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE SlotTwo( int *slot) = 0;\n"
    "    virtual HRESULT STDMETHODCALLTYPE Pair( int a) = 0;\n"
    "};";

const char kOtherIid[] = "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5DFF}";

bool SameText(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

// Committed private memory of the process.
size_t PrivateBytes() {
    size_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (BYTE* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;
         p = static_cast<BYTE*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += info.RegionSize;
        if (reinterpret_cast<UINT_PTR>(p) + info.RegionSize < reinterpret_cast<UINT_PTR>(p)) break;
    }
    return total;
}

class InterfaceTest : public TrakxTest {
protected:
    void SetUp() override {
        TrakxTest::SetUp();
        // Kept loaded by the test as well, so that its count lives through the test.
        testlib = LoadLibraryA(TestLibraryPath().c_str());
        ASSERT_NE(testlib, nullptr);
        references = reinterpret_cast<LONG(__stdcall*)()>(GetProcAddress(testlib, "CounterReferences"));
        ASSERT_NE(references, nullptr);
        alive = references();
        ASSERT_EQ(Command({"DLLLOAD", "1", TestLibraryPath()}), 0);
    }
    void TearDown() override {
        // Every object the test made is given back once the slots are released.
        Command({"DLLUNLOAD"});
        EXPECT_EQ(references(), alive) << "references left over";
        TrakxTest::TearDown();
        FreeLibrary(testlib);
    }

    std::string Error() { return Function({"DLLERROR"}); }
    void Declare(const std::string& text) {
        ASSERT_EQ(Command({"DLLINTERFACE", text}), 0) << text.substr(0, 80) << ": " << Error();
    }
    // A new counter holding `value` in slot j, asked for the interface through the
    // test library's CounterCreate (a REFIID and a void** beside it).
    void NewCounter(int j, int value, const std::string& interfaceName) {
        ASSERT_EQ(Command({"DLLDECLARE", "1", "1", "HRESULT CounterCreate(int value, REFIID riid, void **ppv)"}), 0)
            << Error();
        ASSERT_EQ(Function({"DLLCALL", "CounterCreate", std::to_string(value), interfaceName,
                            "OBJ:" + std::to_string(j)}),
                  "0x00000000")
            << Error();
        ASSERT_EQ(Function({"DLLOUT", "ppv"}), "OBJ:" + std::to_string(j));
    }
    std::string Call(std::vector<std::string> words) {
        words.insert(words.begin(), "COMCALL");
        return Function(words);
    }
    std::string Out(const std::string& parameter) { return Function({"DLLOUT", parameter}); }

    HMODULE testlib = nullptr;
    LONG(__stdcall* references)() = nullptr;
    LONG alive = 0;
};

// ---- the three forms and the slots -------------------------------------------------------

TEST_F(InterfaceTest, EachFormOfTheHeadersCallsTheSameMethods) {
    for (const char* form : {kCounterC, kCounterDeclare, kCounterCpp, kCounterDx}) {
        SCOPED_TRACE(std::string(form).substr(0, 40));
        Declare(form);  // replaces the one before
        NewCounter(1, 10, "ICounter");
        EXPECT_EQ(Call({"1", "Add", "2", "3", "OUT"}), "0x00000000") << Error();
        EXPECT_EQ(Out("sum"), "15");
        EXPECT_EQ(Out("2"), "2");  // positions count This as parameter 1
        EXPECT_EQ(Call({"1", "SetName", "hello there"}), "0x00000000") << Error();
        EXPECT_EQ(Call({"1", "GetName", "OUT"}), "0x00000000") << Error();
        EXPECT_EQ(Out("name"), "hello there");
        EXPECT_EQ(Call({"1", "Identity", "OUT"}), "0x00000000") << Error();
        EXPECT_EQ(Out("iid"), "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D02}");
        // A base's method by its interface's name; IUnknown's methods are there.
        EXPECT_EQ(Call({"1", "ICounter.Add", "1", "1", "OUT"}), "0x00000000") << Error();
        EXPECT_EQ(Out("sum"), "12");
        EXPECT_EQ(Call({"1", "QueryInterface", "ICounter", "OBJ:5"}), "0x00000000") << Error();
        EXPECT_EQ(Out("ppvObject"), "OBJ:5");
        // The references are the slots' own: COMRELEASE gives them back.
        EXPECT_EQ(Call({"1", "IUnknown.Release"}), "");
        EXPECT_EQ(Status(), 1006);
        EXPECT_EQ(Command({"COMRELEASE", "5"}), 0);
        EXPECT_EQ(Command({"COMRELEASE", "1"}), 0);
        EXPECT_EQ(references(), alive);
    }
}

TEST_F(InterfaceTest, DerivedSlotsFollowTheCompilersLayout) {
    Declare(kCounterC);
    Declare(kCounter2Cpp);
    NewCounter(1, 0, "ICounter2");
    const struct {
        const char* method;
        size_t slot;
    } methods[] = {
        {"SlotOne", offsetof(ICounter2Vtbl, SlotOne) / sizeof(void*)},
        {"SlotTwo", offsetof(ICounter2Vtbl, SlotTwo) / sizeof(void*)},
    };
    for (const auto& m : methods) {
        EXPECT_EQ(Call({"1", m.method, "OUT"}), "0x00000000") << m.method << ": " << Error();
        EXPECT_EQ(Out("slot"), std::to_string(m.slot)) << m.method;
    }
    EXPECT_EQ(Call({"1", "ICounter2.Pair", "20", "22"}), "0x00000000") << Error();
    EXPECT_EQ(Call({"1", "Add", "0", "0", "OUT"}), "0x00000000");  // a base's method through the derived
    EXPECT_EQ(Out("sum"), "42");
    // The base declared again in the C form with every slot of the derived one: its
    // slots are its own, and the derived interface does not become its base.
    std::string all = kCounterC;
    all.insert(all.find("END_INTERFACE"),
               "HRESULT (STDMETHODCALLTYPE *SlotOne)(ICounter *This, int *slot); "
               "HRESULT (STDMETHODCALLTYPE *SlotTwo)(ICounter *This, int *slot); "
               "HRESULT (STDMETHODCALLTYPE *Pair)(ICounter *This, int a, int b); ");
    Declare(all);
    EXPECT_EQ(Call({"1", "ICounter.SlotTwo", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("slot"), std::to_string(offsetof(ICounter2Vtbl, SlotTwo) / sizeof(void*)));
    EXPECT_EQ(Call({"1", "IUnknown.QueryInterface", "ICounter", "OBJ:2"}), "0x00000000") << Error();
}

TEST_F(InterfaceTest, DeclarationsAreRefusedWithTheReasonAndChangeNothing) {
    Declare(kCounterC);
    const struct {
        std::string text;
        const char* reason;
    } cases[] = {
        {"MIDL_INTERFACE(\"6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D03\") IThing : public INotDeclared "
         "{ public: virtual HRESULT STDMETHODCALLTYPE Go(void) = 0; };",
         "base interface INotDeclared of IThing is not declared"},
        {"DECLARE_INTERFACE_(IThing, IUnknown) { STDMETHOD(Go)(THIS_ KF_REDIRECT_FLAGS f) PURE; };",
         "method 1: unknown type KF_REDIRECT_FLAGS in parameter 2 (an enumeration or flags type"},
        {"DECLARE_INTERFACE_(IThing, IUnknown) { STDMETHOD(Go)(THIS_ int a) PURE };", "method 1: expected ; at '}'"},
        {"MIDL_INTERFACE(\"x\") IThing : public IUnknown { public: virtual HRESULT Go(void) = 0; };",
         "is not a uuid"},
        {"IThing : public IUnknown { public: HRESULT Go(void); };", "expected virtual or STDMETHOD"},
        {"typedef struct IThingVtbl { HRESULT (STDMETHODCALLTYPE *Go)(void); } IThingVtbl;",
         "the first parameter must be This"},
        {"typedef struct IThingVtbl { HRESULT (STDMETHODCALLTYPE *Go)(IThing *This ; } IThingVtbl;",
         "method 1: unclosed ("},
        {"DECLARE_INTERFACE_(IThing, ICounter) { STDMETHOD(QueryInterface)(THIS_ REFIID riid, void **ppv) PURE; };",
         "repeats only part of ICounter's methods"},
        {"DECLARE_INTERFACE_(IDispatch, IUnknown) { STDMETHOD(Go)(THIS) PURE; };", "known from the start"},
        {"MIDL_INTERFACE(\"6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D03\") IThing : public IUnknown { public: };",
         "has no methods"},
        {"struct S { int a; };", "expected the vtable structure"},
        {"", "no declaration given"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Command({"DLLINTERFACE", c.text}), -1) << c.text;
        EXPECT_NE(Error().find(c.reason), std::string::npos) << c.text << ": " << Error();
    }
    // ICounter is as it was, and no IThing came into being.
    NewCounter(1, 1, "ICounter");
    EXPECT_EQ(Call({"1", "Add", "1", "1", "OUT"}), "0x00000000");
    EXPECT_EQ(Command({"COMQUERY", "2", "1", "IThing"}), 1005);
}

TEST_F(InterfaceTest, ThePoolOfMethodsHasALimitAndAReplacedInterfaceGivesItsOwnBack) {
    // 40 methods per interface: the pool holds a dozen, and each one declared again
    // in another form takes no more room.
    std::string methods;
    for (int i = 0; i < 40; ++i) methods += "STDMETHOD(M" + std::to_string(i) + ")(THIS_ int a) PURE; ";
    int accepted = 0;
    for (int n = 0; n < 64; ++n) {
        std::string text = "DECLARE_INTERFACE_(IMany" + std::to_string(n) + ", IUnknown) { " + methods + "};";
        if (Command({"DLLINTERFACE", text}) != 0) break;
        ++accepted;
    }
    EXPECT_GT(accepted, 5);
    EXPECT_LT(accepted, 64);
    EXPECT_NE(Error().find("methods in all interfaces"), std::string::npos) << Error();
    std::string shorter = "DECLARE_INTERFACE_(IMany0, IUnknown) { STDMETHOD(M0)(THIS_ int a) PURE; };";
    EXPECT_EQ(Command({"DLLINTERFACE", shorter}), 0) << Error();
    EXPECT_EQ(Command({"DLLINTERFACE", kCounterC}), 0) << Error();  // fits where IMany0's methods were
}

// ---- calls refused before any call -----------------------------------------------------

TEST_F(InterfaceTest, WrongNamesAndOtherInterfacesAreRefusedBeforeAnyCall) {
    Declare(kCounterC);
    Declare(kCounter2Cpp);
    NewCounter(1, 5, "ICounter");  // holds ICounter, not ICounter2
    const struct {
        std::vector<std::string> words;
        int status;
        const char* reason;
    } cases[] = {
        {{"1", "Nope"}, 1006, "ICounter has no method Nope"},
        {{"1", "SlotOne", "OUT"}, 1006, "ICounter has no method SlotOne"},
        {{"1", "ICounter2.SlotOne", "OUT"}, 1006, "holds ICounter, which is not ICounter2"},
        {{"1", "IPersistFile.Save", "x", "0"}, 1006, "no interface IPersistFile"},
        {{"1", "Add", "1", "OUT"}, 1005, "Add takes 3 parameters, 2 arguments given"},
        {{"1", "Add", "1", "x", "OUT"}, 1005, "parameter 3 (b, int)"},
        {{"2", "Add", "1", "1", "OUT"}, 1005, "object 2 holds nothing"},
        {{"1001", "Add", "1", "1", "OUT"}, 1005, "not 1 to 1000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Call(c.words), "") << c.words[1];
        EXPECT_EQ(Status(), c.status) << c.words[1];
        EXPECT_NE(Error().find(c.reason), std::string::npos) << c.words[1] << ": " << Error();
    }
    EXPECT_EQ(references(), alive + 1);  // nothing was made or lost
}

TEST_F(InterfaceTest, AWrongPrototypeIsReportedAsAStackMismatch) {
    Declare(kCounterC);
    Declare(kCounterWrong);
    NewCounter(1, 0, "ICounter");
    ASSERT_EQ(Command({"COMQUERY", "2", "1", "ICounterWrong"}), 0) << Error();
    EXPECT_EQ(Call({"2", "Pair", "1"}), "0x00000000");
    EXPECT_EQ(Status(), 1004);
    EXPECT_NE(Error().find("Pair removed 12 bytes from the stack, its __stdcall prototype declares 8"),
              std::string::npos)
        << Error();
    // The object and the library go on working.
    EXPECT_EQ(Call({"2", "SlotOne", "OUT"}), "0x00000000");
    EXPECT_EQ(Status(), 0);
}

TEST_F(InterfaceTest, FailingResultsAndFaultsAnswerTheirStatus) {
    Declare(kCounterC);
    NewCounter(1, 0, "ICounter");
    EXPECT_EQ(Call({"1", "Fail", "0x80004005"}), "0x80004005");
    EXPECT_EQ(Status(), 1006);
    EXPECT_NE(Error().find("ICounter.Fail: 0x80004005"), std::string::npos) << Error();
    EXPECT_EQ(Call({"1", "Fail", "1"}), "0x00000001");  // S_FALSE succeeds
    EXPECT_EQ(Status(), 0);
    EXPECT_EQ(Call({"1", "Crash"}), "");
    EXPECT_EQ(Status(), 1003);
    EXPECT_NE(Error().find("Crash raised exception 0xC0000005"), std::string::npos) << Error();
}

// ---- objects in and out -----------------------------------------------------------------

TEST_F(InterfaceTest, QueryInterfaceRecordsTheInterfaceOrAnswersNoInterface) {
    Declare(kCounterC);
    Declare(kCounter2Cpp);
    NewCounter(1, 3, "ICounter");
    EXPECT_EQ(Command({"COMQUERY", "2", "1", "ICounter2"}), 0) << Error();
    EXPECT_EQ(Call({"2", "SlotTwo", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Command({"COMQUERY", "3", "OBJ:2", "{00000000-0000-0000-C000-000000000046}"}), 0) << Error();
    EXPECT_EQ(Call({"3", "Add", "1", "1", "OUT"}), "");  // it holds IUnknown now
    EXPECT_EQ(Status(), 1006);
    EXPECT_EQ(Function({"COMCOUNT"}), "3");
    // E_NOINTERFACE: status 1006, the slot as it was.
    EXPECT_EQ(Command({"COMQUERY", "3", "1", kOtherIid}), 1006);
    EXPECT_NE(Error().find("0x80004002"), std::string::npos) << Error();
    EXPECT_EQ(Command({"COMQUERY", "4", "1", kOtherIid}), 1006);
    EXPECT_EQ(Function({"COMCOUNT"}), "3");
    // Neither a declared name with a uuid nor an IID; an empty slot.
    EXPECT_EQ(Command({"COMQUERY", "4", "1", "INope"}), 1005);
    EXPECT_EQ(Command({"COMQUERY", "4", "9", "ICounter"}), 1005);
    // An out-pointer with a REFIID the object does not have fills nothing.
    EXPECT_EQ(Call({"1", "Child", "1", kOtherIid, "OBJ:5"}), "0x80004002");
    EXPECT_EQ(Out("ppv"), "");
    EXPECT_EQ(Function({"COMCOUNT"}), "3");
}

TEST_F(InterfaceTest, ObjectsPassAsInterfacePointersAndComeBackIntoSlots) {
    Declare(kCounterC);
    Declare(kCounter2Cpp);
    NewCounter(1, 30, "ICounter");
    EXPECT_EQ(Call({"1", "Child", "12", "ICounter2", "OBJ:2"}), "0x00000000") << Error();
    EXPECT_EQ(Out("ppv"), "OBJ:2");
    EXPECT_EQ(Call({"2", "SlotOne", "OUT"}), "0x00000000") << Error();  // recorded as ICounter2
    EXPECT_EQ(Call({"1", "Combine", "OBJ:2", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("sum"), "42");
    // A new child into a slot that holds one: the old one is released.
    EXPECT_EQ(Call({"1", "Child", "1", "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D01}", "OBJ:2"}), "0x00000000");
    EXPECT_EQ(references(), alive + 2);
    EXPECT_EQ(Call({"1", "Combine", "NULL", "OUT"}), "0x80004003");  // E_POINTER
    EXPECT_EQ(Call({"1", "Combine", "OBJ:7", "OUT"}), "");
    EXPECT_EQ(Status(), 1005);
}

TEST_F(InterfaceTest, TextsAndVariantsCrossAsTheirKindsAndAreFreed) {
    Declare(kCounterC);
    NewCounter(1, 0, "ICounter");
    const struct {
        const char* in;
        const char* out;
    } values[] = {{"42", "42"}, {"-7", "-7"}, {"1.5", "1.5"}, {"5000000000", "5000000000"}, {"text", "text"},
                  {"STR:12", "12"}, {"NULL", ""}, {"BOOL:TRUE", "-1"}, {"DBL:2", "2"}};
    for (const auto& v : values) {
        EXPECT_EQ(Call({"1", "Echo", v.in, "OUT"}), "0x00000000") << v.in << ": " << Error();
        EXPECT_EQ(Out("out"), v.out) << v.in;
    }
    EXPECT_EQ(Call({"1", "SetName", std::string(4000, 'x')}), "0x00000000");
    EXPECT_EQ(Call({"1", "GetName", "OUT"}), "0x00000000");
    EXPECT_EQ(Out("name"), std::string(4000, 'x'));
    EXPECT_EQ(Call({"1", "SetName", "NULL"}), "0x00000000");
    EXPECT_EQ(Call({"1", "GetName", "OUT"}), "0x00000000");
    EXPECT_EQ(Out("name"), "");
    // An object through a VARIANT comes back in a slot of its own.
    EXPECT_EQ(Call({"1", "Echo", "OBJ:1", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("out"), "OBJ:2");
    // An array likewise, as a copy of its own.
    EXPECT_EQ(Call({"1", "Echo", "ARR:a|b|c", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("out"), "OBJ:3");
    EXPECT_EQ(Function({"COMCOUNT"}), "3");
}

TEST_F(InterfaceTest, TextsAndVariantsMadeForCallsAreFreedAfterThem) {
    Declare(kCounterC);
    NewCounter(1, 0, "ICounter");
    const std::string text(4000, 'v');  // 8 KB as a BSTR: 640 of them kept would be 5 MB
    auto round = [&] {
        Call({"1", "SetName", text});
        Call({"1", "GetName", "OUT"});
        Call({"1", "Echo", text, "OUT"});
        Call({"1", "Echo", "OBJ:1", "OUT"});
        Command({"COMRELEASE", "2"});
    };
    for (int i = 0; i < 100; ++i) round();
    size_t before = PrivateBytes();
    for (int i = 0; i < 640; ++i) round();
    size_t after = PrivateBytes();
    EXPECT_LT(after, before + 2 * 1024 * 1024) << before / 1024 << " KB -> " << after / 1024 << " KB";
    EXPECT_EQ(Out("out"), "OBJ:2");
    EXPECT_EQ(references(), alive + 1);
}

TEST_F(InterfaceTest, GuidsAreGivenAsTextsNamesOrProgIdsAndAnsweredAsTexts) {
    Declare(kCounterC);
    Declare(kCounter2Cpp);
    ASSERT_EQ(Command({"DLLLOAD", "2", "ole32.dll"}), 0);
    ASSERT_EQ(Command({"DLLDECLARE", "3", "2", "int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax)"}), 0);
    ASSERT_EQ(Command({"DLLDECLARE", "4", "2", "int StringFromGUID2(REFCLSID rclsid, LPOLESTR lpsz, int cchMax)"}),
              0);
    const struct {
        const char* function;
        const char* given;
        const char* answer;
    } cases[] = {
        {"3", "ICounter", "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D01}"},
        {"3", "{6a1c2d40-5b7e-4c1a-9e3d-1f2a3b4c5d02}", "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D02}"},
        {"3", "6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D03", "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D03}"},
        {"4", "Scripting.Dictionary", "{EE09B103-97E0-11CF-978F-00A02463E06F}"},  // a ProgID for a CLSID
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Function({"DLLCALL", c.function, c.given, "OUT", "40"}), "39") << c.given << ": " << Error();
        EXPECT_EQ(Out("2"), c.answer) << c.given;
    }
    for (const char* refused : {"INope", "Scripting.Dictionary", "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D0}"}) {
        EXPECT_EQ(Function({"DLLCALL", "3", refused, "OUT", "40"}), "") << refused;
        EXPECT_EQ(Status(), 1005) << refused;
    }
    // A GUID field of a structure, written and read as text.
    ASSERT_EQ(Command({"DLLSTRUCT", "typedef struct { DWORD n; GUID id; } TAGGED;"}), 0) << Error();
    ASSERT_EQ(Command({"BUFNEW", "1", "TAGGED"}), 0) << Error();
    EXPECT_EQ(Function({"BUFSIZE", "1"}), "20");
    EXPECT_EQ(Command({"BUFSET", "1", "id", "ICounter2"}), 0) << Error();
    EXPECT_EQ(Function({"BUFGET", "1", "id"}), "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D02}");
    EXPECT_EQ(Function({"BUFGET", "1", "4", "GUID"}), "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D02}");
}

TEST_F(InterfaceTest, AnAdoptedPointerIsReleasedLikeAnyOther) {
    Declare(kCounterCpp);
    ASSERT_EQ(Command({"DLLDECLARE", "2", "1", "UINT_PTR CounterNew(int value)"}), 0) << Error();
    std::string address = Function({"DLLCALL", "CounterNew", "8"});
    ASSERT_NE(address, "0");
    EXPECT_EQ(references(), alive + 1);
    EXPECT_EQ(Command({"COMADOPT", "3", address, "ICounter"}), 0) << Error();
    EXPECT_EQ(Call({"3", "Add", "1", "1", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("sum"), "10");
    EXPECT_EQ(references(), alive + 1);  // taken over, not added to
    EXPECT_EQ(Command({"COMRELEASE", "3"}), 0);
    EXPECT_EQ(references(), alive);
    // Where no object can be read; a number that is no address.
    EXPECT_EQ(Command({"COMADOPT", "3", "4", "ICounter"}), 1005);
    EXPECT_EQ(Command({"COMADOPT", "3", "0", "ICounter"}), 1005);
    EXPECT_EQ(Command({"COMADOPT", "3", "x", "ICounter"}), 1005);
    EXPECT_EQ(Function({"COMCOUNT"}), "0");
}

TEST_F(InterfaceTest, AnAutomationObjectHoldsIDispatchWithItsMethods) {
    ASSERT_EQ(Command({"COMCREATE", "1", "Scripting.Dictionary"}), 0) << Error();
    EXPECT_EQ(Call({"1", "GetTypeInfoCount", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("pctinfo"), "1");
    EXPECT_EQ(Call({"1", "IUnknown.QueryInterface", "IDispatch", "OBJ:2"}), "0x00000000") << Error();
    EXPECT_EQ(Function({"COMPROP", "2", "Count"}), "0");  // the automation keywords use it as theirs
    EXPECT_EQ(Call({"1", "Add", "a", "b"}), "");  // a member of its type information, not of IDispatch
    EXPECT_EQ(Status(), 1006);
    EXPECT_NE(Error().find("IDispatch has no method Add"), std::string::npos) << Error();
}

// ---- a real interface of the platform -------------------------------------------------------

// IShellLinkA as the SDK's C++ header prints it, IPersistFile as its C header does.
const char kShellLinkA[] = R"(
    MIDL_INTERFACE("000214EE-0000-0000-C000-000000000046")
    IShellLinkA : public IUnknown
    {
    public:
        virtual HRESULT STDMETHODCALLTYPE GetPath(
            /* [annotation][size_is][out] */
            _Out_writes_(cch)  LPSTR pszFile,
            /* [in] */ int cch,
            /* [unique][out][in] */ WIN32_FIND_DATAA *pfd,
            /* [in] */ DWORD fFlags) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetIDList(
            /* [annotation][out] */
            _Outptr_  PIDLIST_ABSOLUTE *ppidl) = 0;
        virtual HRESULT STDMETHODCALLTYPE SetIDList(
            /* [annotation][unique][in] */
            _In_opt_  PCIDLIST_ABSOLUTE pidl) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetDescription(
            /* [annotation][size_is][out] */
            _Out_writes_(cch)  LPSTR pszName,
            /* [in] */ int cch) = 0;
        virtual HRESULT STDMETHODCALLTYPE SetDescription(
            /* [annotation][string][in] */
            _In_  LPCSTR pszName) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetWorkingDirectory(
            /* [annotation][size_is][out] */
            _Out_writes_(cch)  LPSTR pszDir,
            /* [in] */ int cch) = 0;
        virtual HRESULT STDMETHODCALLTYPE SetWorkingDirectory(
            /* [annotation][string][in] */
            _In_  LPCSTR pszDir) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetArguments(
            /* [annotation][size_is][out] */
            _Out_writes_(cch)  LPSTR pszArgs,
            /* [in] */ int cch) = 0;
        virtual HRESULT STDMETHODCALLTYPE SetArguments(
            /* [annotation][string][in] */
            _In_  LPCSTR pszArgs) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetHotkey(
            /* [annotation][out] */
            _Out_  WORD *pwHotkey) = 0;
        virtual HRESULT STDMETHODCALLTYPE SetHotkey(
            /* [in] */ WORD wHotkey) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetShowCmd(
            /* [annotation][out] */
            _Out_  int *piShowCmd) = 0;
        virtual HRESULT STDMETHODCALLTYPE SetShowCmd(
            /* [in] */ int iShowCmd) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetIconLocation(
            /* [annotation][size_is][out] */
            _Out_writes_(cch)  LPSTR pszIconPath,
            /* [in] */ int cch,
            /* [annotation][out] */
            _Out_  int *piIcon) = 0;
        virtual HRESULT STDMETHODCALLTYPE SetIconLocation(
            /* [annotation][string][in] */
            _In_  LPCSTR pszIconPath,
            /* [in] */ int iIcon) = 0;
        virtual HRESULT STDMETHODCALLTYPE SetRelativePath(
            /* [annotation][string][in] */
            _In_  LPCSTR pszPathRel,
            /* [in] */ DWORD dwReserved) = 0;
        virtual HRESULT STDMETHODCALLTYPE Resolve(
            /* [annotation][unique][in] */
            _In_opt_  HWND hwnd,
            /* [in] */ DWORD fFlags) = 0;
        virtual HRESULT STDMETHODCALLTYPE SetPath(
            /* [annotation][string][in] */
            _In_  LPCSTR pszFile) = 0;
    };
)";

const char kPersistFile[] = R"(
    DEFINE_GUID(IID_IPersistFile, 0x0000010b, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
    typedef struct IPersistFileVtbl
    {
        BEGIN_INTERFACE
        HRESULT ( STDMETHODCALLTYPE *QueryInterface )(
            IPersistFile * This,
            /* [in] */ REFIID riid,
            /* [annotation][iid_is][out] */
            _COM_Outptr_  void **ppvObject);
        ULONG ( STDMETHODCALLTYPE *AddRef )(
            IPersistFile * This);
        ULONG ( STDMETHODCALLTYPE *Release )(
            IPersistFile * This);
        HRESULT ( STDMETHODCALLTYPE *GetClassID )(
            IPersistFile * This,
            /* [out] */ CLSID *pClassID);
        HRESULT ( STDMETHODCALLTYPE *IsDirty )(
            IPersistFile * This);
        HRESULT ( STDMETHODCALLTYPE *Load )(
            IPersistFile * This,
            /* [in] */ LPCOLESTR pszFileName,
            /* [in] */ DWORD dwMode);
        HRESULT ( STDMETHODCALLTYPE *Save )(
            IPersistFile * This,
            /* [unique][in] */ LPCOLESTR pszFileName,
            /* [in] */ BOOL fRemember);
        HRESULT ( STDMETHODCALLTYPE *SaveCompleted )(
            IPersistFile * This,
            /* [unique][in] */ LPCOLESTR pszFileName);
        HRESULT ( STDMETHODCALLTYPE *GetCurFile )(
            IPersistFile * This,
            /* [annotation][out] */
            _Outptr_  LPOLESTR *ppszFileName);
        END_INTERFACE
    } IPersistFileVtbl;
)";

// IShellItem as the SDK's C++ header prints it, with its RPC annotations.
const char kShellItem[] = R"(
    MIDL_INTERFACE("43826d1e-e718-42ee-bc55-a1e261c37bfe")
    IShellItem : public IUnknown
    {
    public:
        virtual HRESULT STDMETHODCALLTYPE BindToHandler(
            /* [unique][in] */ __RPC__in_opt IBindCtx *pbc,
            /* [in] */ __RPC__in REFGUID bhid,
            /* [in] */ __RPC__in REFIID riid,
            /* [iid_is][out] */ __RPC__deref_out_opt void **ppv) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetParent(
            /* [out] */ __RPC__deref_out_opt IShellItem **ppsi) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetDisplayName(
            /* [in] */ SIGDN sigdnName,
            /* [annotation][string][out] */
            _Outptr_result_nullonfailure_  LPWSTR *ppszName) = 0;
        virtual HRESULT STDMETHODCALLTYPE GetAttributes(
            /* [in] */ SFGAOF sfgaoMask,
            /* [out] */ __RPC__out SFGAOF *psfgaoAttribs) = 0;
        virtual HRESULT STDMETHODCALLTYPE Compare(
            /* [in] */ __RPC__in_opt IShellItem *psi,
            /* [in] */ SICHINTF hint,
            /* [out] */ __RPC__out int *piOrder) = 0;
    };
)";

const char kShellLinkClass[] = "{00021401-0000-0000-C000-000000000046}";

// A foreign function's interface out-pointer (DLLCALL), an undeclared interface
// pointer parameter (IBindCtx *), and objects passed back into methods.
TEST_F(InterfaceTest, ShellItemsComeFromAFunctionAndPassBetweenMethods) {
    Declare(kShellItem);
    ASSERT_EQ(Command({"DLLLOAD", "2", "shell32.dll"}), 0);
    ASSERT_EQ(Command({"DLLDECLARE", "3", "2",
                       "HRESULT SHCreateItemFromParsingName(PCWSTR pszPath, IBindCtx *pbc, REFIID riid, void **ppv)"}),
              0)
        << Error();
    ASSERT_EQ(Function({"DLLCALL", "3", "C:\\windows\\system32", "NULL", "IShellItem", "OBJ:1"}), "0x00000000")
        << Error();
    EXPECT_EQ(Call({"1", "GetParent", "OBJ:2"}), "0x00000000") << Error();  // recorded by the parameter's type
    const DWORD folder = 0x20000000;                                         // SFGAO_FOLDER
    EXPECT_EQ(Call({"2", "GetAttributes", std::to_string(folder), "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("psfgaoAttribs"), std::to_string(folder));
    // A text the method allocates (LPWSTR *) comes back as text.
    EXPECT_EQ(Call({"1", "GetDisplayName", "0x80058000", "OUT"}), "0x00000000") << Error();  // SIGDN_FILESYSPATH
    EXPECT_TRUE(SameText(Out("ppszName"), "C:\\windows\\system32")) << Out("ppszName");
    EXPECT_EQ(Call({"1", "Compare", "OBJ:1", "0", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("piOrder"), "0");
    EXPECT_EQ(Call({"1", "Compare", "OBJ:2", "0", "OUT"}), "0x00000001") << Error();  // S_FALSE: they differ
    EXPECT_EQ(Function({"COMCOUNT"}), "2");
}

TEST_F(InterfaceTest, AShellLinkIsBuiltSavedLoadedAndReadBack) {
    Declare(kShellLinkA);
    Declare(kPersistFile);
    std::string link = Scratch() + "\\notepad.lnk";
    ASSERT_EQ(Command({"COMCREATE", "1", kShellLinkClass, "IShellLinkA"}), 0) << Error();
    EXPECT_EQ(Call({"1", "SetPath", "C:\\windows\\notepad.exe"}), "0x00000000") << Error();
    EXPECT_EQ(Call({"1", "SetDescription", "A note pad"}), "0x00000000") << Error();
    EXPECT_EQ(Call({"1", "SetArguments", "/p readme.txt"}), "0x00000000") << Error();
    EXPECT_EQ(Command({"COMQUERY", "2", "1", "IPersistFile"}), 0) << Error();
    EXPECT_EQ(Call({"2", "Save", link, "TRUE"}), "0x00000000") << Error();
    EXPECT_EQ(Call({"2", "GetClassID", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("pClassID"), kShellLinkClass);
    EXPECT_EQ(Command({"COMRELEASE", "1"}), 0);
    EXPECT_EQ(Command({"COMRELEASE", "2"}), 0);
    ASSERT_NE(GetFileAttributesA(link.c_str()), INVALID_FILE_ATTRIBUTES);

    // A new link object, loaded from the file through IPersistFile, read back
    // through IShellLinkA.
    ASSERT_EQ(Command({"COMCREATE", "3", kShellLinkClass, "IPersistFile"}), 0) << Error();
    EXPECT_EQ(Call({"3", "Load", link, "0"}), "0x00000000") << Error();
    EXPECT_EQ(Command({"COMQUERY", "4", "3", "IShellLinkA"}), 0) << Error();
    EXPECT_EQ(Call({"4", "GetPath", "OUT", "260", "NULL", "0"}), "0x00000000") << Error();
    EXPECT_TRUE(SameText(Out("pszFile"), "C:\\windows\\notepad.exe")) << Out("pszFile");
    EXPECT_EQ(Call({"4", "GetDescription", "OUT", "260"}), "0x00000000") << Error();
    EXPECT_EQ(Out("pszName"), "A note pad");
    EXPECT_EQ(Call({"4", "GetArguments", "OUT", "260"}), "0x00000000") << Error();
    EXPECT_EQ(Out("pszArgs"), "/p readme.txt");
    EXPECT_EQ(Call({"3", "GetCurFile", "OUT"}), "0x00000000") << Error();
    EXPECT_TRUE(SameText(Out("ppszFileName"), link)) << Out("ppszFileName");
    EXPECT_EQ(Call({"4", "GetShowCmd", "OUT"}), "0x00000000") << Error();
    EXPECT_EQ(Out("piShowCmd"), std::to_string(SW_SHOWNORMAL));
    // Methods of another interface than the slot holds are refused.
    EXPECT_EQ(Call({"4", "Save", link, "TRUE"}), "");
    EXPECT_EQ(Status(), 1006);
    EXPECT_EQ(Call({"3", "SetPath", "x"}), "");
    EXPECT_EQ(Status(), 1006);
    EXPECT_EQ(Function({"COMCOUNT"}), "2");
    // Created asking for an interface the class does not have, or one not declared.
    Declare(kCounterC);
    EXPECT_EQ(Command({"COMCREATE", "5", kShellLinkClass, "ICounter"}), 1006);
    EXPECT_NE(Error().find("0x80004002"), std::string::npos) << Error();
    EXPECT_EQ(Command({"COMCREATE", "5", kShellLinkClass, "IShellLinkW"}), 1005);
    EXPECT_EQ(Function({"COMCOUNT"}), "2");
}

}  // namespace

// DLLOUT answers only the call just made: after a call refused before it reached the
// callee (an empty or bad slot, no such method, no such function) it has nothing to
// read, never a value an earlier call on another object left.
TEST_F(InterfaceTest, ARefusedCallLeavesDllOutNothingOfAnEarlierOne) {
    Declare(kCounterCpp);
    NewCounter(1, 0, "ICounter");
    ASSERT_EQ(Call({"1", "SetName", "first"}), "0x00000000") << Error();
    const std::vector<std::string> refused[] = {
        {"COMCALL", "2", "GetName", "OUT"},       // an empty slot
        {"COMCALL", "1001", "GetName", "OUT"},    // outside the table
        {"COMCALL", "1", "GetNope", "OUT"},       // no such method
        {"DLLCALL", "NoSuchFunction", "OUT"},     // no such function
    };
    for (const std::vector<std::string>& words : refused) {
        ASSERT_EQ(Call({"1", "GetName", "OUT"}), "0x00000000") << Error();
        ASSERT_EQ(Out("name"), "first");
        EXPECT_EQ(Function(words), words[0] == "DLLCALL" ? "Invalid Function" : "") << words[1];
        EXPECT_EQ(Out("name"), "") << words[1] << ": DLLOUT read an earlier call";
        EXPECT_NE(Status(), 0) << words[1];
    }
}

// DLLUNLOAD of a library releases the objects whose methods are in it while its code is
// still there: none stays in a slot, callable into freed memory. Other objects stay.
TEST_F(InterfaceTest, ObjectsOfAnUnloadedLibraryGoWithIt) {
    Declare(kCounterCpp);
    NewCounter(1, 4, "ICounter");
    NewCounter(2, 5, "ICounter");
    ASSERT_EQ(Command({"COMCREATE", "3", "Scripting.Dictionary"}), 0) << Error();
    EXPECT_EQ(references(), alive + 2);
    EXPECT_EQ(Command({"DLLUNLOAD", "1"}), 0);
    EXPECT_EQ(references(), alive) << "the library's objects were not released";
    EXPECT_EQ(Function({"COMCOUNT"}), "1");
    EXPECT_EQ(Call({"1", "Add", "1", "1", "OUT"}), "");
    EXPECT_EQ(Status(), 1005);
    EXPECT_EQ(Function({"COMPROP", "3", "Count"}), "0");
}
