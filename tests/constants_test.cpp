// The system's constants by name: DLLCONST both ways, names and combinations as the
// typed-call keywords' integers, refusals with the nearest names, and codes named in
// DLLERROR. Expected values come from this program's own compiler and headers.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>
#include <shlobj.h>

#include <stdlib.h>
#include <string.h>

#include <type_traits>

#include "fixture.h"

namespace {

// A value in decimal as DLLCONST answers it: by its type's sign; handles unsigned.
template <class T>
std::string Decimal(T value) {
    if constexpr (std::is_pointer<T>::value) {
        return std::to_string(static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(value)));
    } else if constexpr (std::is_enum<T>::value) {
        return Decimal(static_cast<std::underlying_type_t<T>>(value));
    } else if constexpr (std::is_signed<T>::value) {
        return std::to_string(static_cast<long long>(value));
    } else {
        return std::to_string(static_cast<unsigned long long>(value));
    }
}

// The value as a 32-bit argument passes it, in unsigned decimal.
template <class T>
std::string Word(T value) {
    if constexpr (std::is_pointer<T>::value) return std::to_string(reinterpret_cast<ULONG_PTR>(value));
    else return std::to_string(static_cast<DWORD>(value));
}

struct Named {
    const char* name;
    std::string value;
};
#define NAMED(name) Named{#name, Decimal(name)}

typedef DWORD(__stdcall* CallThroughFn)(DWORD address, const DWORD* words, int count);

}  // namespace

class ConstantsTest : public TrakxTest {
protected:
    void SetUp() override {
        TrakxTest::SetUp();
        ASSERT_EQ(Command({"DLLLOAD", "1", TestLibraryPath()}), 0);
        Declare(1, "int Noop(int value)");
        Declare(2, "DWORD Noop(HKEY key)");
        Declare(3, "BYTE ByteOf(BYTE value)");
        Declare(4, "LONGLONG Mix64(int a, LONGLONG b, int c)");
    }

    void Declare(int n, const std::string& prototype) {
        int answer = Command({"DLLDECLARE", std::to_string(n), "1", prototype});
        ASSERT_EQ(answer, 0) << prototype << ": " << Function({"DLLERROR"});
    }

    std::string Call(const std::string& f, std::vector<std::string> args) {
        args.insert(args.begin(), {"DLLCALL", f});
        return Function(args);
    }
};

// ---- DLLCONST ---------------------------------------------------------------------------

TEST_F(ConstantsTest, NamesAnswerTheValuesTheCompilerGives) {
    const Named names[] = {
        // plain, from each header family
        NAMED(MB_OK), NAMED(MB_ICONWARNING), NAMED(WM_SETTEXT), NAMED(SW_SHOWNORMAL), NAMED(VK_RETURN),
        NAMED(ERROR_ACCESS_DENIED), NAMED(WSAEWOULDBLOCK), NAMED(LVS_REPORT), NAMED(SHGFI_ICON),
        NAMED(CSIDL_APPDATA), NAMED(DISPATCH_METHOD), NAMED(SRCCOPY), NAMED(FILE_ATTRIBUTE_HIDDEN),
        // composite
        NAMED(WS_OVERLAPPEDWINDOW), NAMED(KEY_READ), NAMED(FILE_ALL_ACCESS), NAMED(MB_ICONEXCLAMATION),
        // negative, and unsigned ones with the top bit set
        NAMED(CW_USEDEFAULT), NAMED(E_ACCESSDENIED), NAMED(E_FAIL), NAMED(GENERIC_READ), NAMED(INFINITE),
        NAMED(EXCEPTION_ACCESS_VIOLATION), NAMED(SIGDN_FILESYSPATH),
        // 64-bit
        NAMED(MAXLONGLONG), NAMED(MINLONGLONG),
        // enumerators
        NAMED(VT_BSTR), NAMED(CLSCTX_INPROC_SERVER), NAMED(COINIT_APARTMENTTHREADED),
        // handles
        NAMED(HKEY_CURRENT_USER), NAMED(HKEY_LOCAL_MACHINE), NAMED(INVALID_HANDLE_VALUE), NAMED(HWND_TOPMOST),
        NAMED(HWND_BROADCAST),
    };
    for (const Named& c : names) {
        EXPECT_EQ(Function({"DLLCONST", c.name}), c.value) << c.name;
        EXPECT_EQ(Status(), 0) << c.name;
    }
    // Combinations add up as arguments do.
    EXPECT_EQ(Function({"DLLCONST", "MB_OK|MB_ICONWARNING"}), Decimal(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(Function({"DLLCONST", "WS_CHILD+WS_VISIBLE"}), Decimal(WS_CHILD + WS_VISIBLE));
}

TEST_F(ConstantsTest, ValuesAnswerTheirNames) {
    struct Case {
        std::vector<std::string> words;
        const char* names;
    } cases[] = {
        {{"5", "ERROR_"}, "ERROR_ACCESS_DENIED"},
        {{"48", "MB_ICON"}, "MB_ICONEXCLAMATION MB_ICONWARNING"},
        {{"0", "MB_OK"}, "MB_OK"},  // MB_OKCANCEL begins so too, but is 1
        // An HRESULT as DLLCALL answers it, as a signed number, and by its bits.
        {{"0x80070005", "E_"}, "E_ACCESSDENIED"},
        {{"-2147024891", "E_"}, "E_ACCESSDENIED"},
        {{"2147942405", "E_"}, "E_ACCESSDENIED"},
        {{"0xC0000005", "EXCEPTION_"}, "EXCEPTION_ACCESS_VIOLATION"},
        {{"0x80000001", "HKEY_"}, "HKEY_CURRENT_USER"},
        {{"123456789", "ERROR_"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = c.words;
        words.insert(words.begin(), "DLLCONST");
        EXPECT_EQ(Function(words), c.names) << c.words[0] << " " << c.words[1];
        EXPECT_EQ(Status(), 0) << c.words[0];
    }
    // Without a prefix every name of the value is given.
    std::string all = " " + Function({"DLLCONST", "5"}) + " ";
    EXPECT_NE(all.find(" ERROR_ACCESS_DENIED "), std::string::npos) << all;
}

TEST_F(ConstantsTest, UnknownNamesAreRefusedWithTheNearestOnes) {
    struct Case {
        const char* text;
        const char* hint;  // what DLLERROR ends with
    } cases[] = {
        {"MB_ICONWARNNG", "MB_ICONWARNNG is no constant the library knows: did you mean MB_ICONWARNING?"},
        {"mb_ok", "mb_ok is no constant the library knows: did you mean MB_OK?"},  // case counts
        {"WS_VISIBL", "WS_VISIBL is no constant the library knows: did you mean WS_VISIBLE?"},
        {"QQQ_NOTHING_LIKE_IT", "QQQ_NOTHING_LIKE_IT is no constant the library knows"},
        {"MB_OK|MB_ICONWARNNG", "MB_ICONWARNNG is no constant the library knows: did you mean MB_ICONWARNING?"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Function({"DLLCONST", c.text}), "") << c.text;
        EXPECT_EQ(Status(), 1005) << c.text;
        std::string error = Function({"DLLERROR"});
        ASSERT_GE(error.size(), strlen(c.hint)) << error;
        EXPECT_EQ(error.substr(error.size() - strlen(c.hint)), c.hint) << c.text;
    }
}

// ---- names as integer arguments -----------------------------------------------------

TEST_F(ConstantsTest, NamesAndCombinationsPassAsIntegers) {
    struct Case {
        const char* f;
        std::vector<std::string> args;
        std::string answer;
    } cases[] = {
        {"1", {"MB_ICONWARNING"}, Decimal(static_cast<int>(MB_ICONWARNING))},
        {"1", {"MB_OKCANCEL|MB_ICONWARNING"}, Decimal(static_cast<int>(MB_OKCANCEL | MB_ICONWARNING))},
        {"1", {"WS_CHILD|WS_VISIBLE|WS_BORDER"}, Decimal(static_cast<int>(WS_CHILD | WS_VISIBLE | WS_BORDER))},
        {"1", {"WS_CHILD+WS_VISIBLE"}, Decimal(static_cast<int>(WS_CHILD + WS_VISIBLE))},
        {"1", {"MB_OK|0x30"}, Decimal(static_cast<int>(MB_OK | 0x30))},
        {"1", {"1|2|4"}, "7"},
        {"1", {"2+2|1"}, "5"},  // sums first, as in C
        {"1", {"CW_USEDEFAULT"}, Decimal(CW_USEDEFAULT)},
        {"1", {"E_ACCESSDENIED"}, Decimal(static_cast<int>(E_ACCESSDENIED))},
        {"1", {"INFINITE"}, "-1"},  // an int takes 0xFFFFFFFF as -1, as its hex would
        {"1", {"-5"}, "-5"},        // numbers stay numbers
        {"1", {"+5"}, "5"},
        {"2", {"HKEY_CURRENT_USER"}, Word(HKEY_CURRENT_USER)},
        {"2", {"HKEY_LOCAL_MACHINE"}, Word(HKEY_LOCAL_MACHINE)},
        {"3", {"VK_RETURN"}, Decimal(VK_RETURN)},
        {"4", {"SM_CYSCREEN", "MAXLONGLONG", "1"}, Decimal(MAXLONGLONG - SM_CYSCREEN - 1)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Call(c.f, c.args), c.answer) << c.args[0] << ": " << Function({"DLLERROR"});
        EXPECT_EQ(Status(), 0) << c.args[0];
    }
    // A resource name, a number cast to a text pointer, passes through ADDR: (a bare
    // name for a text parameter is the text itself).
    ASSERT_EQ(Command({"DLLLOAD", "2", "user32.dll"}), 0);
    ASSERT_EQ(Command({"DLLDECLARE", "5", "2", "HCURSOR LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName)"}), 0);
    EXPECT_EQ(Call("5", {"NULL", "ADDR:IDC_ARROW"}), Word(LoadCursorA(nullptr, IDC_ARROW)));
    EXPECT_EQ(Call("5", {"NULL", "IDC_ARROW"}), "0");
    // DLLFUNC keeps its own rules: INT: reads no names.
    ASSERT_EQ(Command({"DLLINITFUNC", "1", "1", "Noop"}), 0);
    EXPECT_EQ(Function({"DLLFUNC", "Noop", "INT", "INT:MB_ICONWARNING"}), "0");
}

TEST_F(ConstantsTest, NamesThatDoNotFitAreRefused) {
    struct Case {
        const char* f;
        const char* arg;
        const char* hint;
    } cases[] = {
        {"3", "WS_OVERLAPPEDWINDOW", "; WS_OVERLAPPEDWINDOW is 13565952"},
        {"1", "MAXLONGLONG", "; MAXLONGLONG is 9223372036854775807"},
        {"3", "VK_RETURN|0x100", ""},  // each part fits a BYTE, the whole does not
        {"1", "MB_OK|", ""},
        {"1", "MB_OK||MB_ICONWARNING", ""},
        {"1", "|MB_OK", ""},
        {"1", "Mb_Ok", "; Mb_Ok is no constant the library knows: did you mean MB_OK?"},
        {"1", "MB_ICONWARNNG", "; MB_ICONWARNNG is no constant the library knows: did you mean MB_ICONWARNING?"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Call(c.f, {c.arg}), "") << c.arg;
        EXPECT_EQ(Status(), 1005) << c.arg;
        std::string error = Function({"DLLERROR"});
        std::string start = std::string("parameter 1 (value, ") + (c.f[0] == '3' ? "BYTE" : "int") + "): '" + c.arg + "'";
        EXPECT_EQ(error.substr(0, start.size()), start) << error;
        EXPECT_EQ(error.substr(error.size() - strlen(c.hint)), c.hint) << error;
    }
    // A refusal's hint does not stay for the next one.
    EXPECT_EQ(Call("1", {"seven7"}), "");
    EXPECT_EQ(Call("1", {"7x"}), "");
    EXPECT_EQ(Function({"DLLERROR"}), "parameter 1 (value, int): '7x' does not fit int (decimal or 0x hex within its range)");
}

TEST_F(ConstantsTest, BuffersAndCallbackAnswersTakeNames) {
    ASSERT_EQ(Command({"BUFNEW", "1", "16"}), 0);
    EXPECT_EQ(Command({"BUFSET", "1", "0", "GENERIC_READ|GENERIC_WRITE", "DWORD"}), 0) << Function({"DLLERROR"});
    EXPECT_EQ(Function({"BUFGET", "1", "0", "DWORD"}), Decimal(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE)));
    EXPECT_EQ(Command({"BUFSET", "1", "8", "MINLONGLONG", "LONGLONG"}), 0);
    EXPECT_EQ(Function({"BUFGET", "1", "8", "LONGLONG"}), Decimal(MINLONGLONG));
    EXPECT_EQ(Command({"BUFSET", "1", "0", "WS_OVERLAPPEDWINDOW", "WORD"}), 1005);
    EXPECT_EQ(Command({"BUFSET", "1", "0", "HTCLIENTT", "WORD"}), 1005);
    std::string error = Function({"DLLERROR"});
    EXPECT_NE(error.find("did you mean HTCLIENT?"), std::string::npos) << error;

    ASSERT_EQ(Command({"DLLCALLBACK", "1", "LRESULT CALLBACK Hit(HWND hwnd, UINT message)", "HTCAPTION|HTCLIENT"}), 0)
        << Function({"DLLERROR"});
    auto callThrough = reinterpret_cast<CallThroughFn>(
        GetProcAddress(GetModuleHandleA(TestLibraryPath().c_str()), "CallThrough"));
    ASSERT_NE(callThrough, nullptr);
    DWORD words[2] = {0, WM_NCHITTEST};
    DWORD address = strtoul(Function({"DLLCALLBACKADDR", "1"}).c_str(), nullptr, 10);
    EXPECT_EQ(callThrough(address, words, 2), static_cast<DWORD>(HTCAPTION | HTCLIENT));
    EXPECT_EQ(Command({"DLLCALLBACK", "2", "int CALLBACK F(int a)", "NO_SUCH_ANSWER"}), -1);
}

// ---- codes named in messages ----------------------------------------------------------

TEST_F(ConstantsTest, MessagesNameTheCodes) {
    // A failed HRESULT: its name and the system's text for it, when it has one.
    Declare(5, "HRESULT Noop(int value)");
    EXPECT_EQ(Call("5", {"E_ACCESSDENIED"}), "0x80070005");
    EXPECT_EQ(Status(), 0);
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(E_ACCESSDENIED), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&text), 0, nullptr);
    std::string words = length ? std::string(text, length) : "";
    if (text) LocalFree(text);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ')) words.pop_back();
    EXPECT_EQ(Function({"DLLERROR"}), "Noop answered 0x80070005 E_ACCESSDENIED" + (words.empty() ? "" : ": " + words));
    // Success codes are no problem.
    EXPECT_EQ(Call("5", {"S_FALSE"}), "0x00000001");
    EXPECT_EQ(Function({"DLLERROR"}), "");
    // An NTSTATUS by its STATUS_ name.
    Declare(6, "NTSTATUS Noop(int value)");
    EXPECT_EQ(Call("6", {"STATUS_ACCESS_VIOLATION"}), "0xC0000005");
    EXPECT_EQ(Function({"DLLERROR"}), "Noop answered 0xC0000005 STATUS_ACCESS_VIOLATION");
    // A fault (status 1003) names the exception.
    Declare(7, "int StoreInt(int* target, int value)");
    EXPECT_EQ(Call("7", {"ADDR:0", "5"}), "");
    EXPECT_EQ(Status(), 1003);
    EXPECT_EQ(Function({"DLLERROR"}), "StoreInt raised exception 0xC0000005 EXCEPTION_ACCESS_VIOLATION");
}

// ---- sums beyond 64 bits ----------------------------------------------------------------

// A combination's value is what C would compute in an integer wider than 64 bits: a sum
// beyond -2^63 .. 2^64-1 is refused, not wrapped, and the value is answered by its own
// sign (as a name's is), where it fits the type either way.
TEST_F(ConstantsTest, SumsBeyond64BitsAreRefusedAndSignsFollowTheValue) {
    const Named sums[] = {
        {"MAXULONGLONG|0", "18446744073709551615"},
        {"MAXULONGLONG+0", "18446744073709551615"},
        {"MAXLONGLONG+1", "9223372036854775808"},
        {"0x8000000000000000+0x7FFFFFFFFFFFFFFF", "18446744073709551615"},
        {"MINLONGLONG|0", "-9223372036854775808"},
        {"MINLONGLONG+MAXULONGLONG", "9223372036854775807"},
        {"E_FAIL|0", Decimal(E_FAIL)},
        {"-1|0", "-1"},
        {"MINLONGLONG|MAXLONGLONG", "-1"},
    };
    for (const Named& c : sums) {
        EXPECT_EQ(Function({"DLLCONST", c.name}), c.value) << c.name;
        EXPECT_EQ(Status(), 0) << c.name << ": " << Function({"DLLERROR"});
    }
    for (const char* beyond : {"MAXULONGLONG+1", "0x8000000000000000+0x8000000000000000", "MAXULONGLONG+MAXULONGLONG",
                               "MINLONGLONG+-1", "MINLONGLONG+MINLONGLONG", "1|MAXULONGLONG+1"}) {
        EXPECT_EQ(Function({"DLLCONST", beyond}), "") << beyond;
        EXPECT_EQ(Status(), 1005) << beyond;
        EXPECT_EQ(Call("4", {"0", beyond, "0"}), "") << beyond;
        EXPECT_EQ(Status(), 1005) << beyond;
        std::string error = Function({"DLLERROR"});
        EXPECT_NE(error.find("beyond the 64-bit integers"), std::string::npos) << error;
    }
    // 64 bits take a value either way; fewer take it only where it fits one way.
    EXPECT_EQ(Call("4", {"0", "MAXULONGLONG", "0"}), "-1");
    EXPECT_EQ(Call("4", {"0", "MAXLONGLONG+1", "0"}), Decimal(MINLONGLONG));
    EXPECT_EQ(Call("1", {"INFINITE|0"}), "-1");
    for (const char* wide : {"MAXULONGLONG", "MAXULONGLONG|0", "MINLONGLONG|0", "0x100000000|0"}) {
        EXPECT_EQ(Call("1", {wide}), "") << wide;
        EXPECT_EQ(Status(), 1005) << wide;
    }
}
