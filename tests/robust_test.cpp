// Hostile input, injected faults and long runs. The library lives in someone else's
// process: no input a script can send may crash, hang, leak or damage a slot.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <random>

#include "fixture.h"

namespace {

// ---- generated calls ---------------------------------------------------------------

const char* const kKeywords[] = {
    "DRAW", "SETIDFACTOR", "MENU", "SETSTR", "SETINT", "SETSTRUCT", "SAVEFILE", "FILEOPEN", "FILEWRITE",
    "FILEREAD", "FILECLOSE", "DLLLOAD", "DLLINITFUNC", "DLLUNLOAD", "DLLFUNC", "STRUCTLIST", "GETSTRATADDR",
    "GETSTR", "GETINT", "GETSTRUCT", "GETLASTERROR", "FILEREADBUFSIZE", "FILEGETPOS", "FILESETPOS",
    "FILEGETSIZE", "FILESEARCHTEXT", "FILESEARCHHEX", "GETPIXEL", "MOUSEDOWN",
    "DLLDECLARE", "DLLCALL", "DLLOUT", "DLLERROR", "DLLSTRUCT", "BUFNEW", "BUFFREE", "BUFSET", "BUFGET", "BUFSIZE",
    "DLLCONST",
    "COMCREATE", "COMGET", "COMRELEASE", "COMCOUNT", "COMPROP", "COMPROPSET", "COMINVOKE", "COMENUM", "COMNEXT",
    "COMEVENTS", "COMEVENTNEXT",
    "DLLINTERFACE", "COMCALL", "COMQUERY", "COMADOPT",
    // near misses
    "DRAWX", "SETSTRX", "FILEREA", "fileread", "GetStr", "", "MENU ", " DRAW", "DLLFUNCS", "DLLCAL", "BUFGETS",
};

const char* const kNumbers[] = {"-1", "0", "1", "2", "3", "10", "11", "19", "20", "100", "101", "2147483647",
                                "-2147483648", "4294967295", "", "abc", "7x", " 5", "+3", "99999999999"};

const char* const kWords[] = {
    "TEXT", "RAWDATA", "HEX", "EXACT", "!BUFFER!", "INTSTRUCT", "STRSTRUCT", "MENU", "ITEM", "BAR", "CREATE",
    "CHECK", "UNCHECK", "DISABLE", "ENABLE", "REMOVE", "GETSTATE", "OFFSCREEN", "ONSCREEN", "REFRESH",
    "SAVESCREEN", "PEN", "FILL", "FONT", "FLOOD", "LINE", "ARC", "PIE", "ELLIPSE", "RECTANGLE", "ROUNDRECT",
    "STR", "INT", "VOID", "RED", "BLUE", "FFFFFF", "zz", "INT:5", "INT:-1", "STR:abc", "HANDLE:%12", "HANDLE:",
    "INTBUF", "INTADDR", "STRBUF", "STRADDR", "STRSIZE", "STR:INTBUF", "00 FF 41", "0G", "F", "-1", "%",
    "!CLIPBOARD!", "SOLID", "DASH", "BOLD", "ITALIC", "Arial", "4", "0 0", "FF",
    // typed calls and buffers
    "NULL", "null", "OUT", "OUT:0", "OUT:1", "OUT:7", "OUT:4294967295", "OUT:-1", "TEXT:", "TEXT:NULL", "BUF:1",
    "BUF:2", "BUF:0", "BUF:101", "BUF:", "ADDR:0", "ADDR:4", "ADDR:-4", "1e308", "1e309", "-0x1", "0x", "0x80000000",
    "inf", "nan", "-nan", "4.9e-324", "18446744073709551615", "18446744073709551616", "-9223372036854775808",
    "TRUE", "FALSE", "w", "d", "name", "tail[2]", "tail[3]", "tail[", "m.ll", "m.", ".", "STR", "WSTR", "DWORD",
    "double", "float", "BYTE", "LONGLONG", "LPVOID", "MIXED", "SYSTEMTIME", "15", "16", "47", "48", "65535",
    // constants by name
    "MB_OK", "MB_OK|MB_ICONWARNING", "WS_OVERLAPPEDWINDOW", "HKEY_CURRENT_USER", "MAXLONGLONG", "MINLONGLONG",
    "MB_ICONWARNNG", "mb_ok", "MB_OK|", "|", "+", "||", "1+", "1|2+3", "E_", "ERROR_", "5", "0x80070005",
    "QQQ_NOTHING", "-2147024891", "A_B_C_D_E_F_G_H_I_J_K_L_M_N_O_P_Q_R_S_T_U_V_W_X_Y_Z_A_B_C_D_E_F_G_H_I_J_K_L_M_N_O_P",
    // automation objects
    "OBJ:1", "OBJ:2", "OBJ:3", "OBJ:0", "OBJ:1001", "OBJ:", "MISSING", "ARR:a|2|3.5", "ARR:", "STR:", "INT:x",
    "I8:5", "DBL:1e308", "BOOL:TRUE", "BOOL:x", "DATE:2024-02-29", "DATE:2024-02-30 25:00:00", "CY:1.2345",
    "CY:922337203685477.5808", "Count", "Item", "Keys", "Items", "Exists", "Add", "Remove", "Pattern", "Execute",
    "Item.Value", ".", "..", "a..b", "Count.", "COUNT", "REF:20", "REF:x", "REF:-1",
};

// Classes and names the driver creates or binds: objects that touch no files.
const char* const kComClasses[] = {"Scripting.Dictionary", "VBScript.RegExp", "Msxml2.DOMDocument.6.0",
                                   "No.Such.Class", "{00000000-0000-0000-0000-000000000000}", "{", "winmgmts:",
                                   "nosuch:thing"};

// Prototypes the driver declares: of test library functions that write only into
// storage the library supplies or checks (never through a text the script chose),
// and ones that are refused.
const char* const kPrototypes[] = {
    "int Noop(int value)", "UINT_PTR Noop(LPCSTR text)", "UINT_PTR Noop(LPCWSTR text)", "HANDLE Noop(LPVOID p)",
    "double Noop(int value)", "LONGLONG Mix64(int a, LONGLONG b, int c)", "LONGLONG Mix64(int a, int b)",
    "ULONGLONG __cdecl CdeclMixU64(ULONGLONG a, int b)", "double MixDouble(int a, double b, float c, int d)",
    "float HalfFloat(float x)", "short ShortOf(int x)", "BYTE ByteOf(int)", "int WideLength(LPCWSTR text)",
    "LPCWSTR WideGreeting(void)", "LPCSTR GreetingText()", "LPCSTR UnreadableText()", "LPCWSTR TextIntoUnreadable()",
    "int StoreInt(int* target, int value)", "int FillAnsi([out] LPSTR buffer, int count)",
    "int FillWide(int cchCount, _Out_writes_(cchCount) LPWSTR buffer)",
    "int UpdateInPlace(DWORD* a, PULARGE_INTEGER b, double* c)", "int FillMixed(PMIXED m)",
    "LONGLONG ReadMixed(const MIXED* m)", "int Divide(int a, int b)", "int RecurseForever(int)",
    "int DisturbThenFault(void)", "int X87DivideLeftPending(void)", "int TakesTwo(int a)", "int __cdecl TakesTwo(int, int)",
    "int Words20(void)", "DWORD FillDwords([out] DWORD* lpidProcess, [in] DWORD cb)",
    "int FillPoints(_Out_writes_(count) PMIXED points, int count)", "int FillBytesCounted(LPBYTE buffer, LPDWORD lpcbSize)",
    "int UpperWide(_Inout_updates_(n) LPWSTR text, int n)",
    "DWORD FillDwords(_Out_writes_bytes_(cb) VARIANT* v, DWORD cb)",
    "HRESULT CounterCreate(int value, REFIID riid, void **ppv)",
    // refused
    "int Noop(HWNDX h)", "int NoSuchExport(int)", "int Noop(", "Noop(int)", "int Noop(int a,, int b)", "int (int)",
    "int Noop(struct NOSUCH s)", "int Noop(...)", "int Noop(int a) [in]", "/* unclosed", "int Noop(int x[)",
    "int Noop(_Out_writes_(", "int Noop([in, out",
};

const char* const kStructures[] = {
    "typedef struct _MIXED { WORD w; double d; char name[10]; BYTE b; int i; WORD tail[3]; LONGLONG ll; } MIXED, "
    "*PMIXED;",
    "typedef struct _SYSTEMTIME { WORD wYear; WORD wMonth; WORD wDayOfWeek; WORD wDay; WORD wHour; WORD wMinute; "
    "WORD wSecond; WORD wMilliseconds; } SYSTEMTIME, *LPSYSTEMTIME;",
    "#pragma pack(1) struct P { BYTE a; double b; union { DWORD c; WORD d[2]; }; };",
    "struct BIG { char a[16777216]; char b; };", "struct { int a; }", "struct S { int a[0x7FFFFFFF]; };",
    "struct S { S* next; };", "typedef struct T { struct T* next; char text[MAX_PATH * 2 + 1]; } T;",
    "struct S { int a : 1; };", "struct", "#pragma pack(3) struct S { int a; };",
    // declared again larger (never smaller: FillMixed writes a whole MIXED)
    "typedef struct _MIXED { BYTE big[100000]; } MIXED, *PMIXED;",
    "struct S { MIXED m; union { DWORD c; struct { WORD lo; WORD hi; } parts; }; };",
};

// Interfaces the driver pastes: the test library's counter object as it is (the only
// ones whose methods the driver calls, so nothing writes where the script did not
// ask), one whose Pair removes other bytes than declared, and broken ones.
const char* const kInterfaces[] = {
    "uuid(6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D01) DECLARE_INTERFACE_(ICounter, IUnknown) { "
    "STDMETHOD(Add)(THIS_ int a, int b, int *sum) PURE; STDMETHOD(SetName)(THIS_ BSTR name) PURE; "
    "STDMETHOD(GetName)(THIS_ BSTR *name) PURE; STDMETHOD(Child)(THIS_ int value, REFIID riid, void **ppv) PURE; "
    "STDMETHOD(Combine)(THIS_ ICounter *other, int *sum) PURE; STDMETHOD(Fail)(THIS_ HRESULT hr) PURE; "
    "STDMETHOD(Crash)(THIS) PURE; STDMETHOD(Echo)(THIS_ VARIANT in, VARIANT *out) PURE; "
    "STDMETHOD(Identity)(THIS_ GUID *iid) PURE; };",
    "MIDL_INTERFACE(\"6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D02\") ICounter2 : public ICounter { public: "
    "virtual HRESULT STDMETHODCALLTYPE SlotOne(int *slot) = 0; virtual HRESULT STDMETHODCALLTYPE SlotTwo(int *slot) "
    "= 0; virtual HRESULT STDMETHODCALLTYPE Pair(int a, int b) = 0; };",
    "MIDL_INTERFACE(\"6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D02\") ICounter2 : public ICounter { public: "
    "virtual HRESULT STDMETHODCALLTYPE SlotOne(int *slot) = 0; virtual HRESULT STDMETHODCALLTYPE SlotTwo(int *slot) "
    "= 0; virtual HRESULT STDMETHODCALLTYPE Pair(int a) = 0; };",
    // broken
    "typedef struct IBrokenVtbl { HRESULT (STDMETHODCALLTYPE *Go)(IBroken *This", "MIDL_INTERFACE(\"", "uuid(",
    "DEFINE_GUID(IID_X, 1, 2)", "DECLARE_INTERFACE_(IBroken, IBroken) { STDMETHOD(Go)(THIS) PURE; };",
    "DECLARE_INTERFACE_(ICounter, ICounter2) { STDMETHOD(Go)(THIS) PURE; };", "IBroken : public { };",
    "DECLARE_INTERFACE_(IUnknown, IUnknown) { STDMETHOD(Go)(THIS) PURE; };", "typedef struct Vtbl { } Vtbl;",
    "MIDL_INTERFACE(\"6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D0\") IBroken : public IUnknown { };",
    "DECLARE_INTERFACE_(IBroken, IUnknown) { STDMETHOD_(ULONG)(THIS) PURE; STDMETHOD()(THIS) PURE; };",
};

// Methods COMCALL names: the counter's, its bases', and names no interface has.
const char* const kMethods[] = {"Add", "SetName", "GetName", "Child", "Combine", "Fail", "Crash", "Echo",
                                "Identity", "SlotOne", "SlotTwo", "Pair", "Nope", "ICounter.Add",
                                "ICounter2.SlotOne", "IUnknown.QueryInterface", "QueryInterface", "Release",
                                "AddRef", "IDispatch.GetTypeInfoCount", ".", "ICounter.", ".Add"};
const char* const kInterfaceNames[] = {"ICounter", "ICounter2", "IUnknown", "IDispatch", "IBroken",
                                       "{6A1C2D40-5B7E-4C1A-9E3D-1F2A3B4C5D02}", "{00000000-0000-0000-0000-000000000000}",
                                       "{6A1C2D40-5B7E", ""};

const int kTextLengths[] = {0, 1, 63, 64, 255, 256, 4047, 4048, 4049, 100000};

// Functions of the test library that read nothing through their arguments (some of
// them fault, or raise and handle their own exceptions, whatever they are given).
const char* const kHarmlessFunctions[] = {
    "Noop", "Words20", "RecordedWord", "Subtract2", "Answer0", "CdeclSubtract", "GreetingText", "NullText",
    "LongText", "UnreadableText", "TextIntoUnreadable", "FailWith", "DisturbRegisters", "Divide",
    "ExecuteInvalid", "RecurseForever", "RaiseAndHandle", "DisturbThenFault", "UnwoundFrames",
    "X87DivideLeftPending", "X87DivideAndWait", "UnmaskThenFault"};

// Functions that write through their first argument (StoreTwice through the second
// as well). The driver hands them only addresses where a write faults, so a script's
// wrong pointer is exercised without the run damaging memory on purpose.
const char* const kWriterFunctions[] = {"StoreInt", "StoreText", "FillField", "ReadSizeAndChange",
                                        "FillStruct", "StoreTwice", "CdeclStore", "CleanUpThenStore"};

struct Generator {
    std::mt19937 random;
    std::string scratch;
    std::string testlib;

    explicit Generator(unsigned seed) : random(seed) {}
    int Below(int n) { return static_cast<int>(random() % unsigned(n)); }
    template <class T, size_t N>
    const T& Pick(const T (&table)[N]) { return table[Below(int(N))]; }

    std::string Text(int length) {
        std::string s(length, 'a');
        for (char& c : s) c = "abcXYZ019 |%!:"[Below(14)];
        return s;
    }
    std::string Bytes() {
        std::string s(1 + Below(300), '\0');
        for (char& c : s) c = static_cast<char>(1 + Below(255));  // 0x01..0xFF, never NUL
        return s;
    }
    std::string Argument() {
        switch (Below(5)) {
            case 0: return Pick(kNumbers);
            case 1: return Text(Pick(kTextLengths));
            case 2: return Bytes();
            default: return Pick(kWords);
        }
    }
    std::string ScratchPath() {
        static const char* const names[] = {"a.txt", "b.bin", "c.dat", "sub\\none.txt", "d.txt"};
        return scratch + "\\" + Pick(names);
    }
    // An argument that passes an address no write can succeed at: the first 64 KB,
    // the last bytes of the address space, a page closed to all access, read-only
    // data, or a text that passes 0.
    std::vector<std::string> faultingAddresses;
    std::string WrongAddress() {
        static const char* const fixed[] = {"INT:0", "INT:1", "INT:4095", "INT:65532", "INT:-1", "INT:-4",
                                            "HANDLE:%12", "abc", "INTBUF"};
        if (!faultingAddresses.empty() && Below(3) == 0)
            return faultingAddresses[Below(int(faultingAddresses.size()))];
        return Pick(fixed);
    }
    std::string ObjectSlot() {
        static const char* const slots[] = {"1", "2", "3", "OBJ:1", "OBJ:2", "0", "1000", "1001", "OBJ:", "-1"};
        return Pick(slots);
    }
    // A declaration of thousands of methods, of one very long method, or of names
    // at and past their limits.
    std::string HugeInterface() {
        std::string name = "IHuge" + std::to_string(Below(80));
        switch (Below(4)) {
            case 0: {
                std::string text = "DECLARE_INTERFACE_(" + name + ", IUnknown) {";
                for (int i = 0, n = 1 + Below(1200); i < n; ++i) text += " STDMETHOD(M" + std::to_string(i) + ")(THIS) PURE;";
                return text + " };";
            }
            case 1: {
                std::string text = "DECLARE_INTERFACE_(" + name + ", IUnknown) { STDMETHOD(Long)(THIS";
                for (int i = 0, n = Below(40); i < n; ++i) text += ", int p" + std::to_string(i);
                return text + std::string(Below(2) ? 20000 : 10, ' ') + ") PURE; };";
            }
            case 2:
                return "DECLARE_INTERFACE_(" + std::string(40 + Below(20), 'I') + ", IUnknown) { STDMETHOD(" +
                       std::string(200 + Below(100), 'm') + ")(THIS) PURE; };";
            default: {
                std::string text = "DECLARE_INTERFACE_(" + name + ", IUnknown) {";
                for (int depth = 0, n = Below(3000); depth < n; ++depth) text += "(";
                return text + " };";
            }
        }
    }
    std::string OutOfRangeSlot() {
        static const char* const slots[] = {"-1", "20", "21", "100", "2147483647", "-2147483648", "4294967295"};
        return Pick(slots);
    }

    // One call: the words of the block. Calls that could reach outside the scratch
    // folder, load foreign code or change the watched slots are steered.
    std::vector<std::string> Call() {
        std::vector<std::string> words;
        words.push_back(Pick(kKeywords));
        int count = Below(41);
        for (int i = 0; i < count; ++i) words.push_back(Argument());
        const std::string k = words[0];  // a copy: set() may move the vector
        auto set = [&](size_t i, const std::string& value) {
            if (words.size() <= i) words.resize(i + 1, "x");
            words[i] = value;
        };
        if (SameAs(k, "FILEOPEN") || SameAs(k, "SAVEFILE")) set(2, ScratchPath());
        if (SameAs(k, "SETSTR") || SameAs(k, "SETINT") || SameAs(k, "SETSTRUCT")) set(1, OutOfRangeSlot());
        if (SameAs(k, "DLLLOAD")) set(2, Below(2) ? testlib : "missing-trakx-library.dll");
        // Half the loads and binds use numbers that work, so that calls are made.
        if (SameAs(k, "DLLLOAD") && Below(2)) set(1, "1");
        if (SameAs(k, "DLLINITFUNC") && Below(2)) {
            set(1, "1");
            set(2, std::to_string(1 + Below(100)));
        }
        if (SameAs(k, "DLLINITFUNC")) {
            int choice = Below(4);
            set(3, choice == 0 ? "MissingFunction" : choice == 1 ? Pick(kWriterFunctions) : Pick(kHarmlessFunctions));
        }
        if (SameAs(k, "DLLFUNC") && Below(3) == 0) {
            set(1, Pick(kWriterFunctions));
            set(3, WrongAddress());
            set(4, WrongAddress());  // StoreTwice's second pointer
        } else if (SameAs(k, "DLLFUNC")) {
            set(1, Pick(kHarmlessFunctions));
        }
        if (SameAs(k, "DLLFUNC") && Below(2)) set(2, Below(2) ? "INT" : "str");  // a call is made
        // Typed calls: declarations that mostly work, calls of declared numbers and
        // names, buffers at and around their bounds.
        if (SameAs(k, "DLLDECLARE") && Below(4)) {
            set(1, std::to_string(1 + Below(8)));
            set(2, "1");
            set(3, Pick(kPrototypes));
            words.resize(4);
        }
        if (SameAs(k, "DLLSTRUCT") && Below(4)) {
            set(1, Pick(kStructures));
            words.resize(2);
        }
        if (SameAs(k, "DLLCALL") && Below(4)) {
            static const char* const names[] = {"Noop",       "Mix64",      "FillAnsi",         "StoreInt",
                                                "FillMixed",  "Divide",     "FillDwords",       "FillBytesCounted",
                                                "UpperWide",  "CounterCreate"};
            set(1, Below(2) ? std::to_string(1 + Below(8)) : Pick(names));
            words.resize(2 + Below(5), "1");
        }
        // Counter objects into the first slots, asked for an interface.
        if (SameAs(k, "DLLCALL") && Below(3) == 0)
            words = {k, "CounterCreate", Pick(kNumbers), Pick(kInterfaceNames), ObjectSlot()};
        if (SameAs(k, "DLLDECLARE") && Below(3) == 0)
            words = {k, std::to_string(1 + Below(8)), "1", "HRESULT CounterCreate(int value, REFIID riid, void **ppv)"};
        // Pasted interfaces and their methods, called on the counters.
        if (SameAs(k, "DLLINTERFACE") && Below(4)) {
            set(1, Below(4) ? Pick(kInterfaces) : HugeInterface());
            words.resize(2);
        }
        if (SameAs(k, "COMCALL") && Below(4)) {
            set(1, ObjectSlot());
            set(2, Pick(kMethods));
        }
        if (SameAs(k, "COMQUERY") && Below(4)) {
            set(1, ObjectSlot());
            set(2, ObjectSlot());
            set(3, Pick(kInterfaceNames));
        }
        // Only addresses where no object can be read: a wrong one that can be read is
        // a crash the documentation warns of.
        if (SameAs(k, "COMADOPT")) {
            static const char* const addresses[] = {"0", "4", "65532", "-4", "4294967295", "x", ""};
            set(2, Pick(addresses));
        }
        if ((SameAs(k, "BUFNEW") || SameAs(k, "BUFSET") || SameAs(k, "BUFGET") || SameAs(k, "BUFFREE") ||
             SameAs(k, "BUFSIZE")) && Below(4))
            set(1, std::to_string(Below(4)));
        if (SameAs(k, "BUFNEW") && Below(2)) {
            static const char* const sizes[] = {"1", "4", "8", "16", "47", "48", "100", "MIXED", "SYSTEMTIME", "P"};
            set(2, Pick(sizes));
        }
        // Automation: objects of a few harmless classes in the first slots, so that the
        // other keywords find them.
        if ((SameAs(k, "COMCREATE") || SameAs(k, "COMGET")) && Below(4)) set(2, Pick(kComClasses));
        if (k.compare(0, 3, "COM") == 0 && k.size() > 3 && Below(2)) set(1, std::to_string(1 + Below(4)));
        // Any text may stand in for a word, so no argument may name a file elsewhere
        // or a library: the generator's texts never contain a path separator or ".dll".
        return words;
    }
    static bool SameAs(const std::string& a, const char* b) { return lstrcmpiA(a.c_str(), b) == 0; }
};

// ---- what must not change ------------------------------------------------------

struct SlotSnapshot {
    std::vector<std::string> values;
};

// ---- process counters ------------------------------------------------------------
// Wine reports no GDI or handle counts, so each is read from its table: new entries
// reuse freed ones first and then take fresh ones, so the highest index among K new
// objects (K above the number of freed entries) is about K plus the entries in use.
// Private memory is the sum of committed private pages.

struct ProcessCounts {
    long gdiObjects;
    long handles;
    size_t privateBytes;
};

constexpr int kProbeObjects = 3000;

ProcessCounts ReadCounts() {
    ProcessCounts c = {};
    std::vector<HGDIOBJ> pens;
    std::vector<HANDLE> events;
    long highestPen = 0, highestEvent = 0;
    for (int i = 0; i < kProbeObjects; ++i) {
        HPEN pen = CreatePen(PS_SOLID, 1, RGB(i & 255, 0, 0));
        pens.push_back(pen);
        highestPen = std::max<long>(highestPen, LOWORD(reinterpret_cast<UINT_PTR>(pen)));
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        events.push_back(event);
        highestEvent = std::max<long>(highestEvent, static_cast<long>(reinterpret_cast<UINT_PTR>(event) / 4));
    }
    for (HGDIOBJ pen : pens) DeleteObject(pen);
    for (HANDLE event : events) CloseHandle(event);
    c.gdiObjects = highestPen - kProbeObjects;
    c.handles = highestEvent - kProbeObjects;
    MEMORY_BASIC_INFORMATION info;
    for (BYTE* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;
         p = static_cast<BYTE*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) c.privateBytes += info.RegionSize;
        if (reinterpret_cast<UINT_PTR>(p) + info.RegionSize < reinterpret_cast<UINT_PTR>(p)) break;
    }
    return c;
}

// ---- a watchdog for hangs ------------------------------------------------------------

struct Watchdog {
    volatile LONG calls = 0;
    volatile LONG stop = 0;
    std::string lastCall;
    HANDLE thread = nullptr;
    static DWORD WINAPI Watch(void* self) {
        auto* w = static_cast<Watchdog*>(self);
        LONG seen = -1;
        int stuck = 0;
        while (!w->stop) {
            Sleep(500);
            LONG now = w->calls;
            stuck = (now == seen) ? stuck + 1 : 0;
            seen = now;
            if (stuck >= 60) {  // 30 seconds on one call
                fprintf(stderr, "HANG: no progress after call %ld: %s\n", now, w->lastCall.c_str());
                fflush(stderr);
                TerminateProcess(GetCurrentProcess(), 4);
            }
        }
        return 0;
    }
    Watchdog() { thread = CreateThread(nullptr, 0, Watch, this, 0, nullptr); }
    ~Watchdog() {
        stop = 1;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
};

std::string Describe(const std::vector<std::string>& words) {
    std::string s;
    for (const std::string& w : words) {
        s += (s.empty() ? "" : " ");
        s += w.size() > 40 ? "<" + std::to_string(w.size()) + " chars>" : "\"" + w + "\"";
    }
    return s;
}

}  // namespace

class Robustness : public TrakxTest {
protected:
    void FillSlots() {
        for (int i = 0; i < 20; ++i) {
            std::string n = std::to_string(i);
            Command({"SETSTR", n, "string slot " + n + std::string(i * 100, '#')});
            Command({"SETINT", n, std::to_string(1000 * i - 7)});
            Command({"SETSTRUCT", n, "STRSTRUCT", "first " + n, "second", "third", "fourth " + n});
        }
    }
    SlotSnapshot ReadSlots() {
        SlotSnapshot s;
        for (int i = 0; i < 20; ++i) {
            std::string n = std::to_string(i);
            s.values.push_back(Function({"GETSTR", n}));
            s.values.push_back(Function({"GETINT", n}));
            s.values.push_back(Function({"GETSTRUCT", n, "STRSTRUCT"}));
        }
        return s;
    }

    struct RunFigures {
        long calls = 0;
        long damaged = 0;
        long faults = 0;  // foreign calls that faulted and came back (status 1003)
    };

    RunFigures Drive(unsigned seed, long count) {
        Generator gen(seed);
        gen.scratch = Scratch();
        gen.testlib = TestLibraryPath();
        // Addresses from the test library: a page closed to all access, read-only text.
        HMODULE testlib = LoadLibraryA(gen.testlib.c_str());
        for (const char* name : {"UnreadableText", "GreetingText"}) {
            auto function = reinterpret_cast<const char*(__stdcall*)()>(GetProcAddress(testlib, name));
            if (function)
                gen.faultingAddresses.push_back(
                    "INT:" + std::to_string(static_cast<long>(reinterpret_cast<UINT_PTR>(function()))));
        }
        FillSlots();
        const SlotSnapshot expected = ReadSlots();
        Watchdog dog;
        RunFigures figures;
        const char* lastCallLog = getenv("TRAKX_FUZZ_LOG");
        for (long i = 0; i < count; ++i) {
            std::vector<std::string> words = gen.Call();
            dog.lastCall = Describe(words);
            g_crashNote = dog.lastCall;
            if (lastCallLog) {
                // The whole block of the call about to be made, for replaying a crash.
                std::string block = MakeBlock(words);
                HANDLE f = CreateFileA(lastCallLog, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
                DWORD n;
                WriteFile(f, block.data(), DWORD(block.size()), &n, nullptr);
                CloseHandle(f);
            }
            if (gen.Below(8) == 0) PutClipboardText(std::string(gen.Below(2) ? 100000 : 10, 'c'));
            if (gen.Below(2)) Command(words);
            else FunctionRaw(words);
            if (Status() == 1003) ++figures.faults;
            InterlockedIncrement(&dog.calls);
            ++figures.calls;
            if (ReadSlots().values != expected.values) {
                ++figures.damaged;
                ADD_FAILURE() << "slots changed by call " << i << ": " << dog.lastCall;
                FillSlots();
            }
            if (i % 64 == 0) PumpMessages();
        }
        FreeLibrary(testlib);
        return figures;
    }
};

TEST_F(Robustness, HostileCallsLeaveNoDamage) {
    const char* seedText = getenv("TRAKX_FUZZ_SEED");
    const char* countText = getenv("TRAKX_FUZZ_CALLS");
    unsigned seed = seedText ? strtoul(seedText, nullptr, 10) : 20261210u;
    long count = countText ? atol(countText) : 20000;
    RunFigures f = Drive(seed, count);
    printf("hostile run: seed %u, calls %ld, crashes 0, hangs 0, damaged slots %ld, faulting foreign calls %ld\n",
           seed, f.calls, f.damaged, f.faults);
    EXPECT_EQ(f.damaged, 0);
}

// ---- injected faults ---------------------------------------------------------------
// The library's own imports are pointed at versions that fail on demand.

namespace {
bool g_failClose = false;
BOOL WINAPI FailingClose(HANDLE h) {
    if (g_failClose) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(h);
}
}  // namespace

class InjectedFaults : public TrakxTest {
protected:
    void SetUp() override {
        TrakxTest::SetUp();
        g_failClose = false;
        ASSERT_TRUE(PatchHeap());
        ASSERT_TRUE(Patch("kernel32.dll", "CloseHandle", reinterpret_cast<void*>(FailingClose)));
        path = Scratch() + "\\data.bin";
        WriteAll(path, std::string("ab\0cd\0ef", 8));
    }
    void TearDown() override {
        g_failClose = false;
        TrakxTest::TearDown();
    }
    std::string path;
};

TEST_F(InjectedFaults, RawDataCopyWithoutMemoryAnswersEmpty) {
    ASSERT_EQ(Command({"FILEOPEN", "1", path, "READ"}), 0);
    g_heap.allocationsLeft = 0;
    std::string failed = Function({"FILEREAD", "1", "RAWDATA", "8", "~"});
    g_heap.allocationsLeft = -1;
    EXPECT_EQ(failed, "");
    EXPECT_EQ(Status(), 0);
    // The library goes on working once memory is back.
    Function({"FILESETPOS", "1", "0"});
    EXPECT_EQ(Function({"FILEREAD", "1", "RAWDATA", "8", "~"}), "ab~cd~ef");
}

TEST_F(InjectedFaults, ReadBufferSizeWithoutMemoryKeepsTheBuffer) {
    ASSERT_EQ(Command({"FILEOPEN", "1", path, "READ"}), 0);
    g_heap.allocationsLeft = 0;
    std::string answer = Function({"FILEREADBUFSIZE", "100000"});
    std::string zero = Function({"FILEREADBUFSIZE", "0"});
    g_heap.allocationsLeft = -1;
    EXPECT_EQ(answer, "4024") << "the size stays and is answered";
    EXPECT_EQ(zero, "0") << "0 switches reading off even without memory";
    EXPECT_EQ(Function({"FILEREAD", "1", "TEXT", "8"}), "") << "reading is off";
    EXPECT_EQ(Function({"FILEREADBUFSIZE", "6"}), "6");
    EXPECT_EQ(Function({"FILEREAD", "1", "HEX", "8"}), "61 62 00 63 64 00");
}

// A failed close is reported with its reason, and the slot is emptied all the same.
TEST_F(InjectedFaults, FailingCloseIsReported) {
    ASSERT_EQ(Command({"FILEOPEN", "1", path, "READ"}), 0);
    g_failClose = true;
    EXPECT_EQ(Command({"FILECLOSE", "1"}), -1);
    g_failClose = false;
    EXPECT_EQ(Function({"GETLASTERROR"}), SystemText(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Function({"FILEGETSIZE", "1"}), "4294967295") << "the slot holds no file";
    EXPECT_EQ(Command({"FILEREAD", "1", "TEXT"}), -1);
    EXPECT_EQ(Command({"FILECLOSE", "1"}), 0) << "an empty slot has nothing to close";
}

TEST_F(InjectedFaults, SearchWithoutMemoryAnswersAndEnds) {
    ASSERT_EQ(Command({"FILEOPEN", "1", path, "READ"}), 0);
    ASSERT_EQ(Function({"FILESETPOS", "1", "1"}), "1");
    g_heap.allocationsLeft = 0;
    std::string text = Function({"FILESEARCHTEXT", "1", "cd"});
    std::string hex = Function({"FILESEARCHHEX", "1", "63 64"});
    g_heap.allocationsLeft = -1;
    EXPECT_EQ(text, "ERROR") << "no memory: the search reports its failure";
    EXPECT_EQ(hex, "ERROR");
    EXPECT_EQ(Function({"FILEGETPOS", "1"}), "1") << "the position is unchanged";
    EXPECT_EQ(Function({"FILESEARCHTEXT", "1", "cd"}), "3");
}

// ---- long runs -------------------------------------------------------------------

using LongRun = TrakxTest;

TEST_F(LongRun, MixedCallsLeaveNoLeaks) {
    const char* countText = getenv("TRAKX_LONG_CALLS");
    const long total = countText ? atol(countText) : 100000;
    const std::string file = Scratch() + "\\long.bin";
    const std::string testlib = TestLibraryPath();
    ASSERT_EQ(Command({"DLLLOAD", "1", testlib}), 0);
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "1", "Noop"}), 0);
    Command({"MENU", "CREATE", "1", "MENU", "&Long", "0"});
    PutClipboardText("clipboard text");

    static const char* const shapes[] = {"RECTANGLE", "ELLIPSE", "ROUNDRECT", "PIE", "ARC", "LINE"};
    static const char* const colours[] = {"RED", "BLUE", "0x336699", "GREEN", "BLACK"};
    static const char* const styles[] = {"SOLID", "DASH", "DOT", ""};
    std::vector<std::vector<std::string>> cycle;
    long calls = 0;
    ProcessCounts early = {};
    Watchdog dog;
    for (long round = 0; calls < total; ++round) {
        std::string r = std::to_string(round % 200);
        const char* colour = colours[round % 5];
        std::vector<std::vector<std::string>> commands = {
            {"DRAW", round % 50 ? "OFFSCREEN" : "ONSCREEN"},
            {"DRAW", "PEN", colour, styles[round % 4], std::to_string(1 + round % 4)},
            {"DRAW", "FILL", colours[(round + 1) % 5]},
            {"DRAW", "FONT", colour, round % 2 ? "B" : "N", std::to_string(8 + round % 20), "DejaVu", "Sans"},
            {"DRAW", shapes[round % 6], r, "10", "150", "120", "30", "30", "90", "90"},
            {"DRAW", "TEXT", "5", r, "long run !CLIPBOARD!"},
            {"DRAW", "TEXT", "5", r, "!CLIPBOARD!"},
            {"MENU", "CREATE", "2", "ITEM", "Item " + r, "1"},
            {"MENU", "CHECK", "1", "0"},
            {"MENU", "REMOVE", "1", "0"},
            {"FILEOPEN", "1", file, "READ|WRITE"},
            {"FILEWRITE", "1", "HEX", "00 01 02 FF " + r},
            {"FILEREAD", "1", "TEXT", "4"},
            {"FILECLOSE", "1"},
            {"SETSTR", "1", "!CLIPBOARD!"},
        };
        std::vector<std::vector<std::string>> functions = {
            {"DLLFUNC", "Noop", "INT", "INT:" + r},
            {"GETPIXEL", "", r, "5"},
            {"MOUSEDOWN"},
            {"FILEGETSIZE", "1"},
            {"GETSTR", "1"},
            {"MENU", "GETSTATE", "1", "0"},
            {"GETLASTERROR"},
        };
        for (const auto& words : commands) {
            g_crashNote = Describe(words);
            Command(words);
        }
        for (const auto& words : functions) {
            g_crashNote = Describe(words);
            FunctionRaw(words);
        }
        calls += long(commands.size() + functions.size());
        InterlockedExchange(&dog.calls, calls);
        if (round % 16 == 0) PumpMessages();
        if (early.privateBytes == 0 && calls >= 1000) early = ReadCounts();
    }
    PumpMessages();
    ProcessCounts late = ReadCounts();
    printf("long run: %ld calls; GDI objects %ld -> %ld, handles %ld -> %ld, private memory %zu KB -> %zu KB\n",
           calls, early.gdiObjects, late.gdiObjects, early.handles, late.handles, early.privateBytes / 1024,
           late.privateBytes / 1024);
    EXPECT_LE(late.gdiObjects - early.gdiObjects, 20);
    EXPECT_LE(late.handles - early.handles, 20);
    EXPECT_LE(late.privateBytes, early.privateBytes + 4 * 1024 * 1024);
}
