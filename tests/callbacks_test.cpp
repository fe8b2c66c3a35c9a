// Callbacks a foreign function can call: real enumerations and timers, the row each
// call leaves per type, the stack clean-up of both conventions, the limit of rows,
// calls from another thread and events reported through the window hook. Foreign
// callers are the system's functions and the test library's drivers.
#include <string.h>

#include <map>
#include <string>

#include "fixture.h"

typedef DWORD(__stdcall* CallThroughFn)(DWORD address, const DWORD* words, int count);
typedef DWORD(__stdcall* ThroughReportFn)(int what);

class CallbacksTest : public TrakxTest {
protected:
    void SetUp() override {
        TrakxTest::SetUp();
        ASSERT_EQ(Command({"DLLLOAD", "1", TestLibraryPath()}), 0);
        ASSERT_EQ(Command({"DLLLOAD", "4", "user32.dll"}), 0);
        testlib = GetModuleHandleA(TestLibraryPath().c_str());
        ASSERT_NE(testlib, nullptr);
        callThrough = reinterpret_cast<CallThroughFn>(GetProcAddress(testlib, "CallThrough"));
        report = reinterpret_cast<ThroughReportFn>(GetProcAddress(testlib, "ThroughReport"));
        ASSERT_TRUE(callThrough && report);
    }

    // DLLCALLBACK c prototype answer [event]; fails the test with DLLERROR's text when refused.
    void DeclareCallback(int c, const std::string& prototype, const std::string& answer, const std::string& event = "") {
        std::vector<std::string> words = {"DLLCALLBACK", std::to_string(c), prototype, answer};
        if (!event.empty()) words.push_back(event);
        ASSERT_EQ(Command(words), 0) << prototype << ": " << Function({"DLLERROR"});
    }

    DWORD Address(int c) { return strtoul(Function({"DLLCALLBACKADDR", std::to_string(c)}).c_str(), nullptr, 10); }

    // Calls callback c through the test library with these words; answers EAX.
    DWORD CallCallback(int c, const std::vector<DWORD>& words) {
        return callThrough(Address(c), words.data(), static_cast<int>(words.size()));
    }

    std::string Next(int c) { return Function({"DLLCALLBACKNEXT", std::to_string(c)}); }
    std::string Count(int c) { return Function({"DLLCALLBACKCOUNT", std::to_string(c)}); }

    HMODULE testlib = nullptr;
    CallThroughFn callThrough = nullptr;
    ThroughReportFn report = nullptr;
};

static DWORD Low(ULONGLONG v) { return static_cast<DWORD>(v); }
static DWORD High(ULONGLONG v) { return static_cast<DWORD>(v >> 32); }
static DWORD Bits(float f) { DWORD d; memcpy(&d, &f, 4); return d; }
static ULONGLONG Bits(double f) { ULONGLONG d; memcpy(&d, &f, 8); return d; }

// ---- real enumerations -------------------------------------------------------------------

TEST_F(CallbacksTest, EnumWindowsFindsTheTestWindowAmongTheRows) {
    DeclareCallback(1, "BOOL CALLBACK EnumWindowsProc(HWND hwnd, LPARAM lParam)", "1");
    ASSERT_EQ(Command({"DLLDECLARE", "1", "4", "BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)"}), 0)
        << Function({"DLLERROR"});
    EXPECT_EQ(Function({"DLLCALL", "1", "CALLBACK:1", "77"}), "1") << Function({"DLLERROR"});
    EXPECT_EQ(Status(), 0);  // the stack clean-up matched the prototype
    std::string wanted = std::to_string(reinterpret_cast<DWORD>(window)) + "|77";
    bool found = false;
    int rows = 0;
    for (std::string row = Next(1); !row.empty(); row = Next(1), ++rows) found = found || row == wanted;
    EXPECT_TRUE(found) << "no row " << wanted << " among " << rows;
    EXPECT_EQ(Count(1), "0 0");

    // The address handed to DLLFUNC callers is the same one, and the rows of an
    // enumeration that stops at once (answer 0) are one.
    DeclareCallback(1, "BOOL CALLBACK EnumWindowsProc(HWND hwnd, LPARAM lParam)", "0");
    EXPECT_EQ(Function({"DLLCALL", "1", Function({"DLLCALLBACKADDR", "1"}), "5"}), "0");
    EXPECT_EQ(Count(1), "1 0");
}

TEST_F(CallbacksTest, EnumChildWindowsReportsTheChild) {
    HWND child = CreateWindowA("STATIC", "child", WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, window, nullptr, nullptr, nullptr);
    ASSERT_NE(child, nullptr);
    DeclareCallback(2, "BOOL CALLBACK EnumChildProc(HWND hwnd, LPARAM lParam)", "TRUE");
    ASSERT_EQ(Command({"DLLDECLARE", "2", "4", "BOOL EnumChildWindows(HWND hWndParent, WNDENUMPROC lpEnumFunc, LPARAM lParam)"}), 0)
        << Function({"DLLERROR"});
    Function({"DLLCALL", "2", std::to_string(reinterpret_cast<DWORD>(window)), "CALLBACK:2", "-1"});
    EXPECT_EQ(Next(2), std::to_string(reinterpret_cast<DWORD>(child)) + "|-1");
    EXPECT_EQ(Next(2), "");
    DestroyWindow(child);
}

// ---- rows, answers and the stack ---------------------------------------------------------------

TEST_F(CallbacksTest, EachTypeLeavesItsRowAndTheDeclaredStackCleanUp) {
    static const wchar_t wide[] = L"wide text";
    static const char ansi[] = "ansi text";
    void* unreadable = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    const ULONGLONG big = 18446744073709551615ull;
    const LONGLONG minus2 = -2;
    struct Case {
        const char* prototype;
        std::vector<DWORD> words;
        const char* row;
        DWORD removed;
    } cases[] = {
        {"int F(int a, UINT b, short c, BYTE d)", {static_cast<DWORD>(-5), 4000000000u, 0xFFFF, 300}, "-5|4000000000|-1|44", 16},
        {"int F(LONGLONG a, ULONGLONG b)", {Low(minus2), High(minus2), Low(big), High(big)}, "-2|18446744073709551615", 16},
        {"int F(double x, float y, int z)", {Low(Bits(0.1)), High(Bits(0.1)), Bits(1.5f), 9}, "0.1|1.5|9", 16},
        {"int F(LPCSTR s, LPCWSTR w)", {reinterpret_cast<DWORD>(ansi), reinterpret_cast<DWORD>(wide)}, "ansi text|wide text", 8},
        {"int F(LPCSTR s, LPCWSTR w, LPSTR n)", {reinterpret_cast<DWORD>(unreadable), 16, 0}, "||", 12},
        {"int F(void* p, HWND h)", {0x10000, 0xFFFFFFFF}, "65536|4294967295", 8},
        {"void F(void)", {}, "", 0},
        {"int __cdecl F(int a, double b)", {1, Low(Bits(2.5)), High(Bits(2.5))}, "1|2.5", 0},
    };
    for (const Case& c : cases) {
        DeclareCallback(3, c.prototype, "0");
        CallCallback(3, c.words);
        EXPECT_EQ(report(0), c.removed) << c.prototype;
        EXPECT_EQ(report(2), 1u) << c.prototype << ": EBX, ESI, EDI or EBP not kept";
        EXPECT_EQ(Count(3), "1 0") << c.prototype;
        EXPECT_EQ(Next(3), c.row) << c.prototype;
    }
    VirtualFree(unreadable, 0, MEM_RELEASE);
}

// A caller that passes fewer arguments than declared (or uses the other convention)
// finds its stack pointer moved by the declared count, its memory and registers
// untouched: the test library's driver puts its stack pointer back from EBP.
TEST_F(CallbacksTest, ACallerOfTheWrongConventionOnlyFindsItsStackPointerMoved) {
    struct Case {
        const char* prototype;
        std::vector<DWORD> words;
        DWORD removed;
    } cases[] = {
        {"int WINAPI F(int a, int b)", {}, 8},
        {"int WINAPI F(double a, LONGLONG b, int c)", {1}, 20},
        {"int __cdecl F(int a, int b)", {1, 2}, 0},
    };
    for (const Case& c : cases) {
        DeclareCallback(13, c.prototype, "3");
        EXPECT_EQ(CallCallback(13, c.words), 3u) << c.prototype;
        EXPECT_EQ(report(0), c.removed) << c.prototype;
        EXPECT_EQ(report(2), 1u) << c.prototype;
        EXPECT_EQ(Count(13), "1 0") << c.prototype;
    }
}

TEST_F(CallbacksTest, AnswersTravelInTheirRegisters) {
    struct Case {
        const char* prototype;
        const char* answer;
        DWORD eax;
        DWORD edx;  // checked for 64-bit results only
    } cases[] = {
        {"int F(int)", "-3", 0xFFFFFFFD, 0},
        {"short F(int)", "-1", 0xFFFFFFFF, 0},
        {"BYTE F(int)", "255", 255, 0},
        {"LONGLONG F(int)", "-2", 0xFFFFFFFE, 0xFFFFFFFF},
        {"ULONGLONG __cdecl F(int)", "0x100000002", 2, 1},
        {"HANDLE F(int)", "0xDEADBEEF", 0xDEADBEEF, 0},
        {"BOOL F(int)", "TRUE", 1, 0},
    };
    for (const Case& c : cases) {
        DeclareCallback(4, c.prototype, c.answer);
        EXPECT_EQ(CallCallback(4, {0}), c.eax) << c.prototype;
        if (strstr(c.prototype, "LONGLONG")) EXPECT_EQ(report(1), c.edx) << c.prototype;
    }
    // Reals on the x87 stack, as a C caller expects them.
    typedef double(__stdcall * DoubleThrough)(DWORD, double);
    typedef float(__stdcall * FloatThrough)(DWORD, float);
    auto doubleThrough = reinterpret_cast<DoubleThrough>(GetProcAddress(testlib, "CallDoubleThrough"));
    auto floatThrough = reinterpret_cast<FloatThrough>(GetProcAddress(testlib, "CallFloatThrough"));
    DeclareCallback(5, "double WINAPI F(double x)", "-0.125");
    EXPECT_EQ(doubleThrough(Address(5), 3.0), -0.125);
    EXPECT_EQ(Next(5), "3");
    DeclareCallback(5, "float WINAPI F(float x)", "2.5");
    EXPECT_EQ(floatThrough(Address(5), 1.25f), 2.5f);
    EXPECT_EQ(Next(5), "1.25");
    // A float answer is a float, rounded as DLLCALL rounds a float argument: ST(0)
    // read whole holds 0.1f, not the double 0.1.
    auto wholeSt0 = reinterpret_cast<double(__stdcall*)(float)>(Address(5));
    DeclareCallback(5, "float WINAPI F(float x)", "0.1");
    EXPECT_EQ(wholeSt0(1.25f), static_cast<double>(0.1f));
}

TEST_F(CallbacksTest, CallsPastTheLimitAreCountedAsDropped) {
    DeclareCallback(6, "int F(int n)", "1");
    for (DWORD i = 0; i < 1002; ++i) EXPECT_EQ(CallCallback(6, {i}), 1u);
    EXPECT_EQ(Count(6), "1000 2");
    EXPECT_EQ(Next(6), "0");  // the oldest first
    EXPECT_EQ(Next(6), "1");
    EXPECT_EQ(Count(6), "998 2");
    EXPECT_EQ(Command({"DLLCALLBACKCLEAR", "6"}), 0);
    EXPECT_EQ(Count(6), "0 0");
    EXPECT_EQ(Next(6), "");
    // Rows are kept in order across the ring's end.
    for (DWORD i = 0; i < 1500; ++i) CallCallback(6, {i});
    for (int i = 0; i < 999; ++i) Next(6);
    EXPECT_EQ(Next(6), "999");
    EXPECT_EQ(Count(6), "0 500");
}

TEST_F(CallbacksTest, RedeclaringReplacesAndTheAddressStays) {
    DWORD address = Address(7);
    ASSERT_NE(address, 0u);
    // Never declared: answers 0, removes nothing, is counted.
    EXPECT_EQ(CallCallback(7, {}), 0u);
    EXPECT_EQ(report(0), 0u);
    EXPECT_EQ(Count(7), "0 1");
    DeclareCallback(7, "int F(int a, int b)", "5");
    CallCallback(7, {1, 2});
    DeclareCallback(7, "int __cdecl F(int a)", "6");
    EXPECT_EQ(Count(7), "0 0");  // the rows of the old declaration are gone
    EXPECT_EQ(CallCallback(7, {3}), 6u);
    EXPECT_EQ(report(0), 0u);
    EXPECT_EQ(Next(7), "3");
    EXPECT_EQ(Address(7), address);
    EXPECT_NE(Address(8), address);
}

TEST_F(CallbacksTest, RefusalsSayWhyAndChangeNothing) {
    DeclareCallback(9, "int F(int a)", "4");
    struct Case {
        std::vector<std::string> words;
        const char* error;
    } cases[] = {
        {{"DLLCALLBACK", "0", "int F(int a)", "1"}, "callback number '0' is not 1 to 32"},
        {{"DLLCALLBACK", "33", "int F(int a)", "1"}, "callback number '33' is not 1 to 32"},
        {{"DLLCALLBACK", "9", "int F(int a", "1"}, ""},
        {{"DLLCALLBACK", "9", "int F(FOO a)", "1"}, "unknown type FOO"},
        {{"DLLCALLBACK", "9", "BYTE F(int a)", "300"}, "does not fit BYTE"},
        {{"DLLCALLBACK", "9", "int F(int a)", ""}, "no answer given"},
        {{"DLLCALLBACK", "9", "double F(int a)", "x"}, "does not fit double"},
        {{"DLLCALLBACK", "9", "float F(int a)", "1e300"}, "the answer: 1e300 is out of the range of float"},
        {{"DLLCALLBACK", "9", "int F(int a)", "1", std::string(300, 'e')}, "event name is longer"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Command(c.words), -1) << c.words[2];
        EXPECT_EQ(Status(), 0) << c.words[2];  // a refused command leaves the status at 0
        std::string error = Function({"DLLERROR"});
        EXPECT_NE(error, "") << c.words[2];
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_TRUE(boxes.empty());
    }
    EXPECT_EQ(CallCallback(9, {1}), 4u);  // still the first declaration
    EXPECT_EQ(Next(9), "1");
    for (const char* keyword : {"DLLCALLBACKADDR", "DLLCALLBACKNEXT", "DLLCALLBACKCOUNT"}) {
        EXPECT_EQ(Function({keyword, "40"}), "") << keyword;
        EXPECT_NE(Function({"DLLERROR"}), "") << keyword;
    }
    EXPECT_EQ(Command({"DLLCALLBACKCLEAR", "x"}), -1);
    // A callback word out of range calls nothing.
    ASSERT_EQ(Command({"DLLDECLARE", "1", "4", "BOOL EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)"}), 0);
    EXPECT_EQ(Function({"DLLCALL", "1", "CALLBACK:33", "0"}), "");
    EXPECT_EQ(Status(), 1005);
}

TEST_F(CallbacksTest, APrototypeSplitAtItsCommasIsJoinedAgain) {
    EXPECT_EQ(Command({"DLLCALLBACK", "10", "BOOL CALLBACK P(HWND hwnd", "LPARAM lParam)", "1", "split"}), 0)
        << Function({"DLLERROR"});
    EXPECT_EQ(CallCallback(10, {5, 6}), 1u);
    EXPECT_EQ(report(0), 8u);
    EXPECT_EQ(Next(10), "5|6");
    PumpMessages();
    EXPECT_EQ(events, std::vector<std::string>({"split"}));
}

// ---- other threads and events -------------------------------------------------------------

TEST_F(CallbacksTest, ACallFromAnotherThreadIsCollected) {
    DeclareCallback(11, "int CALLBACK F(int value, DWORD thread)", "42", "from-thread");
    ASSERT_EQ(Command({"DLLDECLARE", "3", "1", "int CallFromThread(void* function, int value)"}), 0)
        << Function({"DLLERROR"});
    EXPECT_EQ(Function({"DLLCALL", "3", "CALLBACK:11", "123"}), "42");
    EXPECT_EQ(Status(), 0);
    std::string row = Next(11);
    ASSERT_EQ(row.substr(0, 4), "123|");
    EXPECT_NE(row.substr(4), std::to_string(GetCurrentThreadId()));
    // The event waits for the host's own loop: nothing was reported from the thread.
    EXPECT_TRUE(events.empty());
    PumpMessages();
    EXPECT_EQ(events, std::vector<std::string>({"from-thread"}));
}

TEST_F(CallbacksTest, CallsFromThreadsAtOnceLeaveWholeRows) {
    typedef int(__stdcall * ManyThreads)(DWORD, int, int);
    auto callFromThreads = reinterpret_cast<ManyThreads>(GetProcAddress(testlib, "CallFromThreads"));
    ASSERT_NE(callFromThreads, nullptr);
    DeclareCallback(14, "int CALLBACK F(int i, DWORD thread)", "1");
    ASSERT_EQ(callFromThreads(Address(14), 4, 300), 4);
    EXPECT_EQ(Count(14), "1000 200");
    // Each row whole, and each thread's calls in its own order.
    std::map<std::string, int> nextOf;
    for (int i = 0; i < 1000; ++i) {
        std::string row = Next(14);
        size_t bar = row.find('|');
        ASSERT_NE(bar, std::string::npos) << row;
        std::string thread = row.substr(bar + 1);
        int value = atoi(row.substr(0, bar).c_str());
        EXPECT_EQ(value, nextOf[thread]) << row;
        nextOf[thread] = value + 1;
    }
    EXPECT_LE(nextOf.size(), 4u);
}

// The events of all callbacks together wait in the host's queue at most 5000 at a
// time, well below the system's quota of messages posted to one thread (10,000 by
// default), so that the host's own posts keep their room. The rows are all kept.
TEST_F(CallbacksTest, EventsOfAllCallbacksWaitUnderOneCap) {
    for (int c = 1; c <= 32; ++c) DeclareCallback(c, "int F(int n)", "0", "event" + std::to_string(c));
    for (int c = 1; c <= 32; ++c)
        for (DWORD i = 0; i < 200; ++i) CallCallback(c, {i});
    PumpMessages();
    EXPECT_EQ(events.size(), 5000u);
    for (int c = 1; c <= 32; ++c) EXPECT_EQ(Count(c), "200 0") << c;
    // Dispatched, they make room again.
    CallCallback(32, {1});
    PumpMessages();
    ASSERT_EQ(events.size(), 5001u);
    EXPECT_EQ(events.back(), "event32");
}

// A caller that runs with every x87 exception unmasked (inexact included)
// gets its control words and flags back, and the library's formatting of a real
// argument raises nothing meanwhile.
// A caller that runs with every x87 exception unmasked (inexact included) and a
// lowered precision gets its control word back with no exception flag set, and the
// library's formatting of a real argument raises nothing meanwhile.
TEST_F(CallbacksTest, TheCallersFloatingPointStateIsKept) {
    typedef int(__stdcall * Unmasked)(DWORD, const DWORD*, int, DWORD*);
    auto callUnmasked = reinterpret_cast<Unmasked>(GetProcAddress(testlib, "CallWithExceptionsUnmasked"));
    ASSERT_NE(callUnmasked, nullptr);
    DeclareCallback(15, "int CALLBACK F(double x)", "9");
    struct Case {
        double x;
        const char* row;
    } cases[] = {{0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"}};  // digits of double precision
    for (const Case& c : cases) {
        DWORD words[2] = {Low(Bits(c.x)), High(Bits(c.x))};
        DWORD answer = 0;
        EXPECT_EQ(callUnmasked(Address(15), words, 2, &answer), 1) << c.row;
        EXPECT_EQ(answer, 9u);
        EXPECT_EQ(Next(15), c.row);
    }
}

TEST_F(CallbacksTest, ATimerArrivesAsAnEventThroughTheHook) {
    DeclareCallback(12, "VOID CALLBACK TimerProc(HWND hwnd, UINT uMsg, UINT_PTR idEvent, DWORD dwTime)", "0", "tick");
    ASSERT_EQ(Command({"DLLDECLARE", "5", "4", "UINT_PTR SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc)"}), 0)
        << Function({"DLLERROR"});
    ASSERT_EQ(Command({"DLLDECLARE", "6", "4", "BOOL KillTimer(HWND hWnd, UINT_PTR uIDEvent)"}), 0);
    std::string handle = std::to_string(reinterpret_cast<DWORD>(window));
    EXPECT_EQ(Function({"DLLCALL", "5", handle, "31", "10", "CALLBACK:12"}), "31") << Function({"DLLERROR"});
    DWORD start = GetTickCount();
    while (events.empty() && GetTickCount() - start < 10000) {
        PumpMessages();
        Sleep(5);
    }
    Function({"DLLCALL", "6", handle, "31"});
    PumpMessages();
    ASSERT_FALSE(events.empty()) << "rows and dropped: " << Count(12);
    EXPECT_EQ(events[0], "tick");
    std::string row = Next(12);
    EXPECT_EQ(row.substr(0, handle.size() + 8), handle + "|275|31|");  // WM_TIMER
    // Every event the calls posted was reported, one per row, none more.
    int rows = 1;
    while (!Next(12).empty()) ++rows;
    EXPECT_EQ(static_cast<int>(events.size()), rows);
}
