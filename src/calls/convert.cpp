// Texts into values of C types and back: integers strictly within their range,
// reals independent of the locale, and the converters that fill a call's words.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>

#include "../com/interfaces.h"
#include "../com/objects.h"
#include "../host/handlers.h"
#include "../host/state.h"
#include "../host/text.h"
#include "../vars/vars.h"
#include "calls.h"

const char kNullWord[] = "NULL";
const char kTextPrefix[] = "TEXT:";
const char kOutWord[] = "OUT";
static const char kAddressPrefix[] = "ADDR:";

bool HasPrefix(const char* text, const char* prefix) { return _strnicmp(text, prefix, strlen(prefix)) == 0; }

long ReadDigits(const char* text) {
    long value = 0;
    int digits = 0;
    for (const char* p = text; *p; ++p, ++digits) {
        if (*p < '0' || *p > '9' || digits == 9) return -1;
        value = value * 10 + (*p - '0');
    }
    return digits ? value : -1;
}

// ---- integers -----------------------------------------------------------------------

struct Range {
    LONGLONG low;     // lowest decimal value
    ULONGLONG high;   // highest decimal value (as unsigned)
    ULONGLONG bits;   // highest hexadecimal value: the type's bit pattern
};

static Range RangeOf(const TypeRef& type) {
    Base base = type.pointers ? Base::Handle : type.base;
    switch (base) {
    case Base::Char: case Base::I8: return {-128, 127, 0xFF};
    case Base::Byte: return {0, 255, 0xFF};
    case Base::I16: return {-32768, 32767, 0xFFFF};
    case Base::U16: case Base::WChar: return {0, 65535, 0xFFFF};
    case Base::I32: return {-2147483647LL - 1, 2147483647, 0xFFFFFFFF};
    case Base::U32: return {0, 0xFFFFFFFF, 0xFFFFFFFF};
    case Base::I64: return {LLONG_MIN, LLONG_MAX, ULLONG_MAX};
    case Base::U64: return {0, ULLONG_MAX, ULLONG_MAX};
    // Handles and addresses: also the negative numbers DLLFUNC's INT answers give.
    default: return {-2147483647LL - 1, 0xFFFFFFFF, 0xFFFFFFFF};
    }
}

static bool ReadPlainInteger(const char* text, const TypeRef& type, ULONGLONG* value) {
    // Words only where no digit starts the text.
    bool word = (*text >= 'A' && *text <= 'Z') || (*text >= 'a' && *text <= 'z');
    if (word && (type.flags & TypeBool)) {
        if (SameWord(text, "TRUE")) return *value = 1, true;
        if (SameWord(text, "FALSE")) return *value = 0, true;
    }
    if (word && (type.base == Base::Handle || type.pointers) && SameWord(text, kNullWord)) return *value = 0, true;
    Range range = RangeOf(type);
    const char* p = text;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    bool hex = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    if (hex) p += 2;
    if (!*p) return false;
    ULONGLONG magnitude = 0;
    const ULONGLONG radix = hex ? 16 : 10;
    for (; *p; ++p) {
        int digit = hex ? HexDigitValue(*p) : (*p >= '0' && *p <= '9' ? *p - '0' : -1);
        if (digit < 0) return false;
        if (magnitude > (ULLONG_MAX - digit) / radix) return false;
        magnitude = magnitude * radix + digit;
    }
    if (hex) {
        if (negative || magnitude > range.bits) return false;
        *value = magnitude;
        return true;
    }
    if (negative) {
        if (magnitude == 0) return *value = 0, true;
        if (range.low == 0 || magnitude - 1 > static_cast<ULONGLONG>(-(range.low + 1))) return false;
        *value = static_cast<ULONGLONG>(-static_cast<LONGLONG>(magnitude - 1) - 1);
        return true;
    }
    if (magnitude > range.high) return false;
    *value = magnitude;
    return true;
}

// Numbers first: they pay nothing for the names.
bool ReadInteger(const char* text, const TypeRef& type, ULONGLONG* value) {
    return ReadPlainInteger(text, type, value) || ReadNamedInteger(text, type, value);
}

// ---- reals ----------------------------------------------------------------------------

WORD QuietFpuBegin() {
    WORD saved, quiet = 0x027F;
    asm volatile("fnstcw %0" : "=m"(saved));
    asm volatile("fldcw %0" : : "m"(quiet) : "memory");
    return saved;
}

void QuietFpuEnd(WORD saved) {
    // The flags our own rounding set would become exceptions under an unmasked word.
    asm volatile("fnclex\n\tfldcw %0" : : "m"(saved) : "memory");
}

// Reals are read and written by the standard library's conversions, not the C
// runtime's: those are correctly rounded and shortest by construction (every text
// written reads back to the same value, in any reader), and use '.' whatever the
// locale. The texts accepted are those of a script: an optional sign, digits with an
// optional point and exponent, or inf, infinity, nan; no blanks, no hex. A float is
// rounded once, from the text, not from a double rounded first.
enum class RealText { Read, NotReal, TooLarge };

static RealText ReadRealQuietly(const char* text, bool single, double* value) {
    const char* p = text;
    bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (SameWord(p, "inf") || SameWord(p, "infinity") || SameWord(p, "nan")) {
        double special = (p[0] == 'n' || p[0] == 'N') ? NAN : INFINITY;
        *value = negative ? -special : special;
        return RealText::Read;
    }
    const char* number = p;
    size_t digits = 0;
    int leadingPlace = 0;  // where the first non-zero digit stands: 1 for units, 0 for tenths
    bool nonZero = false;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
        if (*p != '0' && !nonZero) nonZero = true;
        if (nonZero) ++leadingPlace;
    }
    if (*p == '.') {
        for (++p; *p >= '0' && *p <= '9'; ++p, ++digits) {
            if (*p != '0' && !nonZero) nonZero = true;
            if (!nonZero) --leadingPlace;
        }
    }
    if (!digits) return RealText::NotReal;
    long exponent = 0;
    if (*p == 'e' || *p == 'E') {
        ++p;
        bool below = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        if (!(*p >= '0' && *p <= '9')) return RealText::NotReal;
        for (; *p >= '0' && *p <= '9'; ++p)
            if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
        if (below) exponent = -exponent;
    }
    if (*p) return RealText::NotReal;
    // The sign is read here: the standard conversion takes a minus but no plus.
    double magnitude = 0;
    std::from_chars_result read;
    if (single) {
        float narrow = 0;
        read = std::from_chars(number, p, narrow);
        magnitude = narrow;
    } else {
        read = std::from_chars(number, p, magnitude);
    }
    if (read.ptr != p) return RealText::NotReal;
    if (read.ec == std::errc::result_out_of_range) {
        // Beyond the largest value of the type is refused; below the least it is
        // zero, as the nearest value is.
        if (nonZero && leadingPlace + exponent > 0) return RealText::TooLarge;
        magnitude = 0;
    } else if (read.ec != std::errc()) {
        return RealText::NotReal;
    }
    *value = negative ? -magnitude : magnitude;
    return RealText::Read;
}

static void FormatRealQuietly(double value, bool single, char* out) {
    if (isnan(value)) return (void)strcpy(out, "nan");
    if (isinf(value)) return (void)strcpy(out, value < 0 ? "-inf" : "inf");
    if (value == 0) return (void)strcpy(out, signbit(value) ? "-0" : "0");
    // The fewest significant digits that read back to the same value, as
    // "-d.ddde-XX"; a float's own shortest digits for a float.
    char scientific[40];
    std::to_chars_result written =
        single ? std::to_chars(scientific, scientific + sizeof scientific - 1, static_cast<float>(value),
                               std::chars_format::scientific)
               : std::to_chars(scientific, scientific + sizeof scientific - 1, value, std::chars_format::scientific);
    *written.ptr = '\0';
    char digits[24];
    int count = 0, exponent = 0;
    bool negative = scientific[0] == '-';
    const char* p = scientific;
    for (; *p && *p != 'e'; ++p)
        if (*p >= '0' && *p <= '9' && count < 23) digits[count++] = *p;
    if (*p) exponent = atoi(p + 1);
    while (count > 1 && digits[count - 1] == '0') --count;
    char* o = out;
    if (negative) *o++ = '-';
    if (exponent >= -5 && exponent < 17) {
        if (exponent < 0) {
            *o++ = '0';
            *o++ = '.';
            for (int i = -1; i > exponent; --i) *o++ = '0';
            for (int i = 0; i < count; ++i) *o++ = digits[i];
        } else {
            for (int i = 0; i <= exponent; ++i) *o++ = i < count ? digits[i] : '0';
            if (count > exponent + 1) {
                *o++ = '.';
                for (int i = exponent + 1; i < count; ++i) *o++ = digits[i];
            }
        }
        *o = '\0';
    } else {
        *o++ = digits[0];
        if (count > 1) {
            *o++ = '.';
            for (int i = 1; i < count; ++i) *o++ = digits[i];
        }
        sprintf(o, "e%+d", exponent);
    }
}

// Under the library's own control word whoever calls them: the automation's
// conversions run after a callee that may have unmasked the x87 exceptions, and the
// runtime's conversions of inexact reals would raise them in the host.
bool ReadReal(const char* text, double* value) {
    WORD fpu = QuietFpuBegin();
    bool read = ReadRealQuietly(text, false, value) == RealText::Read;
    QuietFpuEnd(fpu);
    return read;
}

void FormatReal(double value, bool single, char* out) {
    WORD fpu = QuietFpuBegin();
    FormatRealQuietly(value, single, out);
    QuietFpuEnd(fpu);
}

// ---- scalars at an address --------------------------------------------------------------

// The type a pointer points at: one level less; an address when more are left.
static TypeRef Pointee(const TypeRef& type) {
    TypeRef pointee = type;
    pointee.pointers = static_cast<unsigned char>(type.pointers ? type.pointers - 1 : 0);
    return pointee;
}

// Decimal digits through the runtime's integer converters: far cheaper per call than
// a formatted print, which the typed call's answer would otherwise pay every time.
void FormatScalar(const TypeRef& type, const void* at, char* out) {
    const unsigned char* b = static_cast<const unsigned char*>(at);
    Base base = type.pointers ? Base::U32 : type.base;
    if ((type.flags & TypeHex) && !type.pointers) base = Base::Handle;
    if (base == Base::Guid) {
        GUID guid;
        memcpy(&guid, b, sizeof guid);
        return FormatGuid(guid, out);
    }
    // Only the value's own bytes are read: it may end its buffer.
    DWORD size = TypeSize(type);
    long value32 = 0;
    memcpy(&value32, b, size < 4 ? size : 4);
    switch (base) {
    case Base::Char: case Base::I8: WriteLong(out, static_cast<signed char>(b[0])); break;
    case Base::Byte: WriteUnsigned(out, b[0]); break;
    case Base::I16: WriteLong(out, static_cast<short>(value32 & 0xFFFF)); break;
    case Base::U16: case Base::WChar: WriteUnsigned(out, value32 & 0xFFFF); break;
    case Base::I32: WriteLong(out, value32); break;
    case Base::I64: { LONGLONG v; memcpy(&v, b, 8); _i64toa(v, out, 10); break; }
    case Base::U64: { ULONGLONG v; memcpy(&v, b, 8); _ui64toa(v, out, 10); break; }
    case Base::F32: case Base::F64: {
        WORD fpu = QuietFpuBegin();
        float single;
        double real;
        if (base == Base::F32) memcpy(&single, b, 4), real = single;
        else memcpy(&real, b, 8);
        FormatReal(real, base == Base::F32, out);
        QuietFpuEnd(fpu);
        break;
    }
    case Base::Handle:
        if (type.flags & TypeHex) { sprintf(out, "0x%08lX", static_cast<unsigned long>(value32)); break; }
        /* fall through */
    default: WriteUnsigned(out, static_cast<unsigned long>(value32)); break;
    }
}

bool StoreScalar(const TypeRef& type, const char* text, void* at, const char* where) {
    Base base = type.pointers ? Base::Handle : type.base;
    if (base == Base::F32 || base == Base::F64) {
        WORD fpu = QuietFpuBegin();
        double real = 0;
        RealText read = ReadRealQuietly(text, base == Base::F32, &real);
        if (read == RealText::Read && base == Base::F64) memcpy(at, &real, 8);
        if (read == RealText::Read && base == Base::F32) {
            float single = static_cast<float>(real);  // exact: it was read as a float
            memcpy(at, &single, 4);
        }
        QuietFpuEnd(fpu);
        if (read == RealText::TooLarge && base == Base::F32)
            return CallFailValue("%s: %.40s is out of the range of %s", where, text, type.name);
        if (read != RealText::Read)
            return CallFailValue("%s: '%.40s' does not fit %s (decimal, optional exponent)", where, text, type.name);
        return true;
    }
    if (base == Base::Guid) {
        GUID guid;
        if (!ReadGuidArgument(text, type, &guid)) return false;
        return memcpy(at, &guid, sizeof guid), true;
    }
    if (base == Base::Void || base == Base::Struct || base == Base::Variant || base == Base::Interface)
        return CallFailValue("%s: no value of type %s", where, type.name);
    ULONGLONG value;
    if (!ReadInteger(text, type, &value))
        return CallFailValue("%s: '%.40s' does not fit %s (decimal or 0x hex within its range)", where, text, type.name);
    memcpy(at, &value, TypeSize(type));
    return true;
}

// ---- wide texts ------------------------------------------------------------------------

size_t CopyReadableWide(char* dest, size_t capacity, const void* address) {
    return CopyReadableWideWith(dest, capacity, address, g_state.calls.wideText);
}

size_t CopyReadableWideWith(char* dest, size_t capacity, const void* address, WCHAR* wide) {
    size_t count = 0;
    const BYTE* cursor = static_cast<const BYTE*>(address);
    while (cursor && count < MaxString - 1) {
        // Up to the end of the page, in whole characters.
        size_t toPageEnd = 4096 - (reinterpret_cast<UINT_PTR>(cursor) & 4095);
        size_t chars = toPageEnd / 2 ? toPageEnd / 2 : 1;
        if (chars > MaxString - 1 - count) chars = MaxString - 1 - count;
        SIZE_T read = 0;
        if (!ReadProcessMemory(GetCurrentProcess(), cursor, wide + count, chars * 2, &read) || read != chars * 2)
            break;
        size_t i = 0;
        while (i < chars && wide[count + i]) ++i;
        count += i;
        if (i < chars) break;
        cursor += chars * 2;
    }
    return WideToAnsi(wide, static_cast<int>(count), dest, capacity);
}

size_t WideToAnsi(const WCHAR* wide, int length, char* dest, size_t capacity) {
    const int room = static_cast<int>(capacity) - 1;
    // No ANSI character comes from more than two UTF-16 units (a surrogate pair): the
    // units beyond twice the room cannot fit, and the system need not measure them.
    const int given = length;
    if (length > 2 * room) length = 2 * room;
    // Fewer characters until the ANSI text fits (in 64 bits: a long text's length
    // times the room does not fit an int).
    int needed = length ? WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr) : 0;
    while (length && needed > room) {
        length = static_cast<int>(static_cast<LONGLONG>(length) * room / needed);
        needed = length ? WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr) : 0;
    }
    // A cut between the two halves of a pair would leave half a character.
    if (length && length < given && IS_HIGH_SURROGATE(wide[length - 1])) {
        --length;
        needed = length ? WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr) : 0;
    }
    if (length) WideCharToMultiByte(CP_ACP, 0, wide, length, dest, needed, nullptr, nullptr);
    dest[length ? needed : 0] = '\0';
    return length ? needed : 0;
}

// ---- the converters --------------------------------------------------------------------

static const TypedParam& ParamAt(int index) { return g_state.calls.current->params[index]; }
static DWORD* WordsOf(int index) { return g_state.calls.words + ParamAt(index).wordOffset; }

// "parameter 2 (lpString, LPSTR)" for messages.
static const char* Where(int index) {
    char* where = g_state.calls.where;
    const TypedParam& param = ParamAt(index);
    snprintf(where, sizeof g_state.calls.where, "parameter %d (%s%s%s)", index + 1, param.name, param.name[0] ? ", " : "",
             param.type.name);
    return where;
}

const char* ParamWhere(int index) { return Where(index); }
DWORD* ParamWords(int index) { return WordsOf(index); }

static bool ConvertInt32(int index, const char* text) {
    g_state.calls.argKind[index] = ArgValue;
    // A function-pointer type (WNDENUMPROC, TIMERPROC ...) takes a callback's address.
    const TypeRef& type = ParamAt(index).type;
    if (type.base == Base::Handle || type.pointers) {
        if (int callback = ReadCallbackWord(text, WordsOf(index))) return callback > 0;
        if (int object = ComObjectAddress(text, WordsOf(index))) return object > 0;
    }
    ULONGLONG value;
    if (!ReadInteger(text, ParamAt(index).type, &value))
        return CallFailValue("%s: '%.40s' does not fit %s (decimal or 0x hex within its range)", Where(index), text,
                             ParamAt(index).type.name);
    WordsOf(index)[0] = static_cast<DWORD>(value);
    return true;
}

static bool ConvertInt64(int index, const char* text) {
    g_state.calls.argKind[index] = ArgValue;
    return StoreScalar(ParamAt(index).type, text, WordsOf(index), Where(index));
}

static bool ConvertFloat(int index, const char* text) {
    g_state.calls.argKind[index] = ArgValue;
    return StoreScalar(ParamAt(index).type, text, WordsOf(index), Where(index));
}

// A word from decimal or 0x hex text, within the range of the base type: an
// address or handle (Base::Handle, also negative as DLLFUNC's INT answers give
// them) or an unsigned count (Base::U32).
static bool ReadWord(const char* text, Base base, DWORD* word) {
    TypeRef type = {};
    type.base = base;
    ULONGLONG value;
    if (!ReadInteger(text, type, &value)) return false;
    *word = static_cast<DWORD>(value);
    return true;
}

// A pointer argument that names no value: NULL, ADDR:n, a reference to one of the
// library's own places. Answers 1 when it was one (the word is set), 0 when not, -1
// on a failure. A reference must hold at least `need` bytes.
int ConvertPlace(int index, const char* text, DWORD need) {
    CallsState& calls = g_state.calls;
    calls.argKind[index] = ArgNone;
    if (SameWord(text, kNullWord)) return WordsOf(index)[0] = 0, 1;
    if (int callback = ReadCallbackWord(text, WordsOf(index))) return callback;
    if (int object = ComObjectAddress(text, WordsOf(index))) {
        // An object goes to an untyped address (void *), never to a place the callee
        // writes a value, a text or a structure into: that would be written over it.
        if (object > 0 && (ParamAt(index).pass != Pass::Address || ParamAt(index).type.base != Base::Void))
            return CallFailValue("%s: OBJ:k passes an object to an interface pointer or a void *, not to a %s",
                                 Where(index), ParamAt(index).type.name), -1;
        return object;
    }
    if (HasPrefix(text, kAddressPrefix)) {
        if (!ReadWord(text + strlen(kAddressPrefix), Base::Handle, WordsOf(index)))
            return CallFailValue("%s: '%.40s' is not an address", Where(index), text), -1;
        return 1;
    }
    DWORD address = 0, bytes = 0;
    int found = ReadReference(text, &address, &bytes);
    if (found < 0) return g_state.host.statusCode = StatusBadValue, -1;
    if (found == 0) return 0;
    if (bytes < need)
        return CallFailValue("%s: %.40s holds %lu bytes, the parameter needs %lu", Where(index), text, bytes, need), -1;
    WordsOf(index)[0] = address;
    calls.argKind[index] = ArgReference;
    return 1;
}

// OUT or OUT:n: the buffer is made once every argument is read (its size may come
// from a later parameter). Answers false for any other text.
static bool IsOutRequest(int index, const char* text) {
    if (!SameWord(text, kOutWord) && !HasPrefix(text, "OUT:")) return false;
    g_state.calls.argKind[index] = ArgOutPending;
    g_state.calls.outBytes[index] = 0;
    if (text[3] == ':') {
        DWORD bytes;
        if (!ReadWord(text + 4, Base::U32, &bytes)) bytes = 0xFFFFFFFF;  // refused when the buffer is made
        g_state.calls.outBytes[index] = bytes ? bytes : 0xFFFFFFFF;
    }
    return true;
}

static bool ConvertText(int index, const char* text) {
    CallsState& calls = g_state.calls;
    const TypedParam& param = ParamAt(index);
    bool wide = param.pass == Pass::WideText;
    int place = ConvertPlace(index, text, 0);
    if (place) return place > 0;
    bool writable = !(param.type.flags & TypeConst);
    if (writable && IsOutRequest(index, text)) return true;
    if ((param.flags & ParamOut) && !(param.flags & ParamIn))
        return CallFailValue("%s is an out-buffer: pass OUT, OUT:n, NULL or BUF:b, not '%.40s'", Where(index), text);
    if (HasPrefix(text, kTextPrefix)) text += strlen(kTextPrefix);
    size_t length = strlen(text);
    if (length >= MaxString)
        return CallFailValue("%s: a text of %u characters, at most %d fit", Where(index), length, MaxString - 1);
    char* storage = calls.texts[index];
    if (wide) {
        int n = length ? MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), reinterpret_cast<WCHAR*>(storage),
                                             CallTextBytes / 2 - 1)
                       : 0;
        reinterpret_cast<WCHAR*>(storage)[n] = 0;
    } else {
        memcpy(storage, text, length + 1);
    }
    calls.argKind[index] = ArgText;
    WordsOf(index)[0] = reinterpret_cast<DWORD>(storage);
    return true;
}

void CopyReferencedValues(const Prototype& proto) {
    CallsState& calls = g_state.calls;
    for (int i = 0; i < proto.paramCount; ++i) {
        const TypedParam& param = proto.params[i];
        if (param.pass != Pass::ScalarRef || calls.argKind[i] != ArgReference) continue;
        memset(&calls.storage[i], 0, sizeof calls.storage[i]);
        memcpy(&calls.storage[i], reinterpret_cast<const void*>(calls.words[param.wordOffset]), param.elementBytes);
    }
}

static bool ConvertScalarRef(int index, const char* text) {
    CallsState& calls = g_state.calls;
    const TypedParam& param = ParamAt(index);
    TypeRef pointee = Pointee(param.type);
    // void **ppv and the like: OBJ:j receives the object the callee returns.
    if (pointee.pointers == 1 && pointee.base == Base::Void && HasPrefix(text, kObjectPrefix))
        return ComConverterFor(Pass::InterfaceOut)(index, text);
    int place = ConvertPlace(index, text, param.elementBytes);
    if (place) return place > 0;
    // With a count beside it, OUT asks for a buffer of that many values.
    if (param.countParam >= 0 && IsOutRequest(index, text)) return true;
    ScalarStorage& storage = calls.storage[index];
    memset(&storage, 0, sizeof storage);
    if (!SameWord(text, kOutWord) && !StoreScalar(pointee, text, &storage, Where(index))) return false;
    calls.argKind[index] = ArgStorage;
    WordsOf(index)[0] = reinterpret_cast<DWORD>(&storage);
    return true;
}

static bool ConvertAddress(int index, const char* text) {
    CallsState& calls = g_state.calls;
    int place = ConvertPlace(index, text, 0);
    if (place) return place > 0;
    if (!(ParamAt(index).type.flags & TypeConst) && IsOutRequest(index, text)) return true;
    if (HasPrefix(text, kTextPrefix)) {
        text += strlen(kTextPrefix);
        size_t length = strlen(text);
        if (length >= MaxString)
            return CallFailValue("%s: a text of %u characters, at most %d fit", Where(index), length, MaxString - 1);
        memcpy(calls.texts[index], text, length + 1);
        calls.argKind[index] = ArgText;
        WordsOf(index)[0] = reinterpret_cast<DWORD>(calls.texts[index]);
        return true;
    }
    if (!ReadWord(text, Base::Handle, WordsOf(index)))
        return CallFailValue("%s: '%.40s' is not an address, NULL, OUT, TEXT:... or a reference", Where(index), text);
    return true;
}

static bool ConvertStructRef(int index, const char* text) {
    const TypedParam& param = ParamAt(index);
    int place = ConvertPlace(index, text, param.elementBytes);
    if (place) return place > 0;
    if (param.countParam >= 0 && IsOutRequest(index, text)) return true;
    if (!ReadWord(text, Base::Handle, WordsOf(index)))
        return CallFailValue("%s: '%.40s' is not BUF:b, an address or NULL", Where(index), text);
    return true;
}

// A structure by value: the bytes of a buffer (BUF:b, at least the structure's size)
// become the words, the last one filled up with zeros.
static bool ConvertStructValue(int index, const char* text) {
    const TypedParam& param = ParamAt(index);
    DWORD size = param.elementBytes;
    g_state.calls.argKind[index] = ArgNone;
    DWORD address = 0, bytes = 0;
    int found = ReadReference(text, &address, &bytes);
    if (found < 0) return g_state.host.statusCode = StatusBadValue, false;
    if (found == 0) return CallFailValue("%s: pass the structure's bytes as BUF:b, not '%.40s'", Where(index), text);
    if (bytes < size)
        return CallFailValue("%s: %.40s holds %lu bytes, the structure needs %lu", Where(index), text, bytes, size);
    DWORD* words = WordsOf(index);
    words[param.words - 1] = 0;
    memcpy(words, reinterpret_cast<const void*>(address), size);
    return true;
}

ConvertFn ConverterFor(Pass pass) {
    switch (pass) {
    case Pass::Int32: return ConvertInt32;
    case Pass::Int64: return ConvertInt64;
    case Pass::Float: case Pass::Double: return ConvertFloat;
    case Pass::AnsiText: case Pass::WideText: return ConvertText;
    case Pass::ScalarRef: return ConvertScalarRef;
    case Pass::Address: return ConvertAddress;
    case Pass::StructRef: return ConvertStructRef;
    case Pass::StructValue: return ConvertStructValue;
    default: return ComConverterFor(pass);
    }
    return ConvertInt32;
}
