// Constants by name where the typed-call keywords take integers (MB_OK|MB_ICONWARNING,
// HKEY_CURRENT_USER), DLLCONST, and the names of codes in the library's own messages.
#include <stdio.h>
#include <string.h>

#include "../host/state.h"
#include "../host/text.h"
#include "calls.h"
#include "constants.h"

static bool NameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

// The values of a combination run from -2^63 to 2^64-1, as C holds them in an integer
// wider than both long long and unsigned long long: a negative one is its 64-bit two's
// complement with isSigned set, any other has isSigned clear. Sums beyond that range
// are refused, not wrapped.

// Whether a value fits an integer of `bytes` bytes, read either way (as C converts
// it: -1 and 0xFFFFFFFF both fit a DWORD and an int).
static bool FitsBytes(const ConstantValue& value, DWORD bytes) {
    if (bytes >= 8) return true;
    LONGLONG half = 1LL << (8 * bytes - 1);
    if (ConstantNegative(value)) return static_cast<LONGLONG>(value.bits) >= -half;
    return value.bits < static_cast<ULONGLONG>(2 * half);
}

static bool AddValues(const ConstantValue& a, const ConstantValue& b, ConstantValue* sum) {
    bool negativeA = ConstantNegative(a), negativeB = ConstantNegative(b);
    ULONGLONG bits = a.bits + b.bits;  // the sum's two's complement whenever it is in range
    bool negative;
    if (!negativeA && !negativeB) {
        if (bits < a.bits) return false;  // past 2^64-1
        negative = false;
    } else if (negativeA && negativeB) {
        if (static_cast<LONGLONG>(bits) >= 0) return false;  // below -2^63
        negative = true;
    } else {
        // One of each: the sum lies between them; below zero when the negative one
        // outweighs the other.
        ULONGLONG plus = negativeA ? b.bits : a.bits, minus = 0 - (negativeA ? a.bits : b.bits);
        negative = plus < minus;
    }
    *sum = {bits, negative, false};
    return true;
}

// Bits of two values in range stay in range: a negative one has its top bit set.
static ConstantValue OrValues(const ConstantValue& a, const ConstantValue& b) {
    return {a.bits | b.bits, ConstantNegative(a) || ConstantNegative(b), false};
}

// Sets the hint CallFailValue adds to the next refusal.
static bool Hint(const char* format, const char* name, size_t length, const char* more) {
    snprintf(g_state.calls.constantHint, sizeof g_state.calls.constantHint, format, static_cast<int>(length), name, more);
    return false;
}

// One name or number of a combination, checked against the type. A number of 64 bits
// is read by its sign, as either type of 64 bits holds it, as a name's value is.
static bool ReadPart(const char* part, size_t length, const TypeRef& type, ConstantValue* value) {
    DWORD bytes = type.pointers ? 4 : TypeSize(type);
    if (!NameStart(part[0])) {
        char number[32];
        if (length >= sizeof number) return false;
        memcpy(number, part, length);
        number[length] = '\0';
        bool negative = number[0] == '-';
        TypeRef numberType = type;
        if (bytes >= 8 && !type.pointers) numberType.base = negative ? Base::I64 : Base::U64;
        ULONGLONG bits;
        if (!ReadInteger(number, numberType, &bits)) return false;
        *value = {bits, negative && bits != 0, false};
        return true;
    }
    ConstantValue constant;
    if (!FindConstant(part, length, &constant)) {
        char nearest[3 * ConstantNameBytes];
        if (ConstantSuggest(part, length, nearest, sizeof nearest))
            return Hint("; %.*s is no constant the library knows: did you mean %s?", part, length, nearest);
        // A word in lower case far from every name was hardly meant as one.
        for (size_t i = 0; i < length; ++i)
            if (part[i] >= 'a' && part[i] <= 'z') return false;
        return Hint("; %.*s is no constant the library knows%s", part, length, "");
    }
    if (!FitsBytes(constant, bytes)) {
        char shown[24];
        FormatConstant(constant, shown);
        return Hint("; %.*s is %s", part, length, shown);
    }
    *value = {constant.bits, ConstantNegative(constant), false};
    return true;
}

// A name, or names and numbers joined by | and + (sums first, as in C), into a value
// that fits the type.
static bool ReadCombination(const char* text, const TypeRef& type, ConstantValue* value) {
    // Only a name, or names and numbers joined by | and + (a sign in front is a number's).
    if (!text[0] || (!NameStart(text[0]) && !strpbrk(text + 1, "|+"))) return false;
    g_state.calls.constantHint[0] = '\0';
    ConstantValue total = {0, false, false}, term = {0, false, false};
    const char* part = text;
    for (const char* p = text;; ++p) {
        bool end = *p == '\0';
        if (!end && *p != '|' && !(*p == '+' && p > part)) continue;
        ConstantValue one;
        if (p == part || !ReadPart(part, static_cast<size_t>(p - part), type, &one)) return false;
        if (!AddValues(term, one, &term)) {
            snprintf(g_state.calls.constantHint, sizeof g_state.calls.constantHint,
                     "; the sum is beyond the 64-bit integers (-2^63 to 2^64-1)");
            return false;
        }
        if (end || *p == '|') total = OrValues(total, term), term = {0, false, false};
        if (end) break;
        part = p + 1;
    }
    if (!FitsBytes(total, type.pointers ? 4 : TypeSize(type))) return false;
    *value = total;
    return true;
}

bool ReadNamedInteger(const char* text, const TypeRef& type, ULONGLONG* value) {
    ConstantValue read;
    if (!ReadCombination(text, type, &read)) return false;
    *value = read.bits;
    return true;
}

// ? DLLCONST name: the constant's value in decimal ("" with status 1005 when unknown;
// names joined by | and + are added up as an argument would be).
// ? DLLCONST value [prefix]: the names with that value (and prefix), blank-separated.
const char* ConstantQuery() {
    char* out = g_state.host.resultBuffer;
    out[0] = '\0';
    CallErrorClear();
    const char* what = Arg(1);
    if (!*what) return CallFailValue("DLLCONST: give a constant's name, or a value and a prefix"), out;
    bool byValue = !NameStart(what[0]) && !strpbrk(what + 1, "|+");
    TypeRef wide = {};
    wide.base = what[0] == '-' ? Base::I64 : Base::U64;
    strcpy(wide.name, "a value");
    ULONGLONG bits;
    if (byValue) {
        if (!ReadInteger(what, wide, &bits)) return CallFailValue("DLLCONST: '%.40s' is neither a name nor a number", what), out;
        ConstantValue value = {bits, wide.base == Base::I64, false};
        if (!ConstantNamesOf(value, Arg(2), out, MaxString))
            CallFail("DLLCONST: no constant%s%.40s has the value %.40s", *Arg(2) ? " beginning with " : "", Arg(2), what);
        return out;
    }
    ConstantValue value;
    if (FindConstant(what, strlen(what), &value)) return FormatConstant(value, out), out;
    // A combination: added up as a 64-bit argument is, and answered by its sign as a
    // name's value is.
    wide.base = Base::I64;
    if (!ReadCombination(what, wide, &value)) return CallFailValue("DLLCONST: no value for '%.40s'", what), out;
    FormatConstant(value, out);
    return out;
}

void DescribeCode(DWORD code, CodeKind kind, char* out, size_t capacity) {
    // The names tried, in this order, for each kind of code.
    static const char* const kResultNames[] = {"E_", "S_", "*_E_", "*_S_", "ERROR_", nullptr};
    static const char* const kStatusNames[] = {"STATUS_", "EXCEPTION_", "DBG_", nullptr};
    static const char* const kExceptionNames[] = {"EXCEPTION_", "STATUS_", "DBG_", nullptr};
    const char* const* names = kind == CodeKind::Result ? kResultNames : kind == CodeKind::Status ? kStatusNames : kExceptionNames;
    int count = 0;
    while (names[count]) ++count;
    char name[ConstantNameBytes] = "";
    ConstantNameFor(code, names, count, name);
    int used = snprintf(out, capacity, "0x%08lX%s%s", code, name[0] ? " " : "", name);
    // The system's words for an HRESULT (those of an NTSTATUS hold blanks to fill in).
    if (kind != CodeKind::Result || used < 0 || static_cast<size_t>(used) >= capacity) return;
    char* text = nullptr;
    DWORD lastError = GetLastError();
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text),
                                  0, nullptr);
    while (length && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) --length;
    if (length) snprintf(out + used, capacity - used, ": %.*s", static_cast<int>(length), text);
    if (text) LocalFree(text);
    SetLastError(lastError);
}

void NoteFailedCode(const Prototype& proto, DWORD code) {
    if (!(code & 0x80000000u)) return;
    char described[CallErrorBytes / 2];
    DescribeCode(code, SameWord(proto.result.name, "NTSTATUS") ? CodeKind::Status : CodeKind::Result, described,
                 sizeof described);
    CallFail("%s answered %s", proto.name, described);
}
