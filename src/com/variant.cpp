// VARIANTs and texts: an argument's text into the VARIANT it passes (by its form or
// a prefix word), and a VARIANT answered as text. Numbers are converted without the
// heap; an object or array answered goes into the lowest free slot as "OBJ:j".
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../calls/calls.h"
#include "../host/state.h"
#include "../host/text.h"
#include "../vars/vars.h"
#include "com.h"

// The prefix words of an argument (any case).
static const char kStrPrefix[] = "STR:";
static const char kIntPrefix[] = "INT:";
static const char kI8Prefix[] = "I8:";
static const char kDblPrefix[] = "DBL:";
static const char kBoolPrefix[] = "BOOL:";
static const char kDatePrefix[] = "DATE:";
static const char kCyPrefix[] = "CY:";
static const char kArrayPrefix[] = "ARR:";
static const char kRefPrefix[] = "REF:";
static const char kMissingWord[] = "MISSING";

// ---- numbers -----------------------------------------------------------------------------

// "-123": optional minus, decimal digits only, within 64 bits.
static bool ReadWhole(const char* text, LONGLONG* value) {
    TypeRef type = {};
    type.base = Base::I64;
    ULONGLONG bits;
    if (!((*text >= '0' && *text <= '9') || (*text == '-' && text[1] >= '0' && text[1] <= '9'))) return false;
    for (const char* p = text + 1; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    if (!ReadInteger(text, type, &bits)) return false;
    *value = static_cast<LONGLONG>(bits);
    return true;
}

// A decimal with a fraction or an exponent (not inf or nan: those stay texts).
static bool ReadFraction(const char* text, double* value) {
    const char* p = text + (*text == '-' || *text == '+');
    if (!(*p >= '0' && *p <= '9') && *p != '.') return false;
    return strpbrk(text, ".eE") && ReadReal(text, value);
}

bool ComReadIndex(const char* text, LONG* value) {
    LONGLONG whole;
    if (!ReadWhole(text, &whole) || whole < -2147483647LL - 1 || whole > 2147483647LL) return false;
    *value = static_cast<LONG>(whole);
    return true;
}

// "-12.3456" as currency: at most four decimals, exactly.
static bool ReadCurrency(const char* text, CY* value) {
    const char* p = text;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    ULONGLONG whole = 0;
    int digits = 0, decimals = -1;
    for (; *p; ++p) {
        if (*p == '.' && decimals < 0) { decimals = 0; continue; }
        if (*p < '0' || *p > '9') return false;
        if (decimals >= 0 && ++decimals > 4) return false;
        if (whole > (ULLONG_MAX - 9) / 10) return false;
        whole = whole * 10 + (*p - '0');
        ++digits;
    }
    if (!digits) return false;
    for (int d = decimals < 0 ? 0 : decimals; d < 4; ++d) {
        if (whole > ULLONG_MAX / 10) return false;
        whole *= 10;
    }
    if (whole > (negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull)) return false;
    value->int64 = negative ? static_cast<LONGLONG>(0 - whole) : static_cast<LONGLONG>(whole);
    return true;
}

// From `least` to `most` decimal digits at *p, and no more after them; *p is moved past.
static bool ReadDigitRun(const char** p, int least, int most, int* value) {
    int count = 0;
    *value = 0;
    for (; count < most && **p >= '0' && **p <= '9'; ++*p, ++count) *value = *value * 10 + (**p - '0');
    return count >= least && !(**p >= '0' && **p <= '9');
}

// "YYYY-MM-DD", optionally " HH:MM:SS", as the answers write it (month, day and the
// time's parts may have one digit). Only a day of the calendar is taken, within the
// years a DATE holds (100 to 9999): the system would roll the 31st of February into
// March and read the year 50 as 1950.
static bool ReadDate(const char* text, DATE* value) {
    int year, month, day, hour = 0, minute = 0, second = 0;
    const char* p = text;
    if (!ReadDigitRun(&p, 4, 4, &year) || *p++ != '-' || !ReadDigitRun(&p, 1, 2, &month) || *p++ != '-' ||
        !ReadDigitRun(&p, 1, 2, &day))
        return false;
    if (*p && (*p++ != ' ' || !ReadDigitRun(&p, 1, 2, &hour) || *p++ != ':' || !ReadDigitRun(&p, 1, 2, &minute) ||
               *p++ != ':' || !ReadDigitRun(&p, 1, 2, &second) || *p))
        return false;
    static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (year < 100 || month < 1 || month > 12 || day < 1) return false;
    if (day > kMonthDays[month - 1] + (month == 2 && leap ? 1 : 0)) return false;
    if (hour > 23 || minute > 59 || second > 59) return false;
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    WORD fpu = QuietFpuBegin();  // the system's real arithmetic, under the library's word
    bool made = SystemTimeToVariantTime(&time, value) != 0;
    QuietFpuEnd(fpu);
    return made;
}

static bool MakeText(const char* text, VARIANT* v) {
    int length = static_cast<int>(strlen(text));
    int wide = length ? MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0) : 0;
    BSTR bstr = SysAllocStringLen(nullptr, wide);
    if (!bstr) return ComFail(StatusComFailed, "no memory for a text of %d characters", length);
    if (wide) MultiByteToWideChar(CP_ACP, 0, text, length, bstr, wide);
    V_VT(v) = VT_BSTR;
    V_BSTR(v) = bstr;
    return true;
}

bool ComReadPlain(const char* text, VARIANT* v) {
    LONGLONG whole;
    double real;
    if (ReadWhole(text, &whole)) {
        if (whole >= -2147483647LL - 1 && whole <= 2147483647LL) {
            V_VT(v) = VT_I4;
            V_I4(v) = static_cast<LONG>(whole);
        } else {
            V_VT(v) = VT_I8;
            V_I8(v) = whole;
        }
        return true;
    }
    if (ReadFraction(text, &real)) {
        V_VT(v) = VT_R8;
        V_R8(v) = real;
        return true;
    }
    return MakeText(text, v);
}

static bool ReadArrayElement(const char* text, int position, VARIANT* element, bool* borrowed);

// "ARR:a|b|c": a one-dimensional array of variants from 0, each element read as an
// argument is (INT:7, DATE:..., OBJ:k ...; one that does not fit refuses the whole).
static bool MakeArray(const char* text, int position, VARIANT* v) {
    ULONG count = 1;
    for (const char* p = text; *p; ++p) count += *p == '|';
    if (!*text) count = 0;
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, count);
    if (!array) return ComFail(StatusComFailed, "no memory for an array of %lu elements", count);
    char piece[MaxString];
    const char* start = text;
    for (LONG i = 0; i < static_cast<LONG>(count); ++i) {
        const char* end = strchr(start, '|');
        size_t length = end ? static_cast<size_t>(end - start) : strlen(start);
        if (length >= MaxString) length = MaxString - 1;
        memcpy(piece, start, length);
        piece[length] = '\0';
        VARIANT element;
        bool borrowed;
        if (!ReadArrayElement(piece, position, &element, &borrowed)) return SafeArrayDestroy(array), false;
        HRESULT put = SafeArrayPutElement(array, &i, &element);  // a copy: the element stays ours
        if (!borrowed) VariantClear(&element);
        if (FAILED(put)) {
            SafeArrayDestroy(array);
            return ComFail(StatusComFailed, "argument %d: no memory for element %ld", position, static_cast<long>(i));
        }
        start = end ? end + 1 : start + length;
    }
    V_VT(v) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(v) = array;
    return true;
}

// What argument `position` (from 1) means, into *v. A slot's object or array is lent
// (*borrowed): the call must not clear it.
bool ComReadArgument(const char* text, int position, VARIANT* v, bool* borrowed) {
    VariantInit(v);
    *borrowed = false;
    ComObject* slot = nullptr;
    int object = ComReadObjectWord(text, &slot);
    if (object < 0) return false;
    if (object > 0) {
        *borrowed = true;
        if (slot->kind == ComKind::Array || slot->kind == ComKind::ArrayWalk) {
            VARTYPE type = VT_VARIANT;
            SafeArrayGetVartype(slot->array, &type);
            V_VT(v) = VT_ARRAY | type;
            V_ARRAY(v) = slot->array;
        } else if (IsEqualIID(slot->iid, IID_IDispatch)) {
            V_VT(v) = VT_DISPATCH;
            V_DISPATCH(v) = static_cast<IDispatch*>(slot->unknown);
        } else {
            V_VT(v) = VT_UNKNOWN;
            V_UNKNOWN(v) = slot->unknown;
        }
        return true;
    }
    LONGLONG whole;
    double real;
    const char* rest = text;
    auto prefixed = [&](const char* prefix) {
        if (!HasPrefix(text, prefix)) return false;
        rest = text + strlen(prefix);
        return true;
    };
    auto refuse = [&](const char* form) {
        return ComFail(StatusBadValue, "argument %d: '%.40s' is not %s", position, text, form);
    };
    if (SameWord(text, kNullWord)) return V_VT(v) = VT_NULL, true;
    if (SameWord(text, kMissingWord)) {
        V_VT(v) = VT_ERROR;
        V_ERROR(v) = DISP_E_PARAMNOTFOUND;
        return true;
    }
    if (prefixed(kStrPrefix)) return MakeText(rest, v);
    if (prefixed(kIntPrefix)) {
        if (!ReadWhole(rest, &whole) || whole < -2147483647LL - 1 || whole > 2147483647LL)
            return refuse("a 32-bit integer");
        V_VT(v) = VT_I4;
        V_I4(v) = static_cast<LONG>(whole);
        return true;
    }
    if (prefixed(kI8Prefix)) {
        if (!ReadWhole(rest, &whole)) return refuse("a 64-bit integer");
        V_VT(v) = VT_I8;
        V_I8(v) = whole;
        return true;
    }
    if (prefixed(kDblPrefix)) {
        if (!ReadReal(rest, &real)) return refuse("a decimal number");
        V_VT(v) = VT_R8;
        V_R8(v) = real;
        return true;
    }
    if (prefixed(kBoolPrefix)) {
        bool truth = SameWord(rest, "TRUE") || strcmp(rest, "-1") == 0 || strcmp(rest, "1") == 0;
        if (!truth && !SameWord(rest, "FALSE") && strcmp(rest, "0") != 0) return refuse("TRUE, FALSE, -1 or 0");
        V_VT(v) = VT_BOOL;
        V_BOOL(v) = truth ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    if (prefixed(kDatePrefix)) {
        if (!ReadDate(rest, &V_DATE(v))) return refuse("a date YYYY-MM-DD [HH:MM:SS]");
        V_VT(v) = VT_DATE;
        return true;
    }
    if (prefixed(kCyPrefix)) {
        if (!ReadCurrency(rest, &V_CY(v))) return refuse("currency (at most four decimals)");
        V_VT(v) = VT_CY;
        return true;
    }
    if (prefixed(kArrayPrefix)) return MakeArray(rest, position, v);
    return ComReadPlain(text, v);
}

// An element of ARR: is read as any argument, but for another ARR: (its elements would
// need a separator of their own; OBJ:k passes an array in an array) and REF: (an
// element is passed by value).
static bool ReadArrayElement(const char* text, int position, VARIANT* element, bool* borrowed) {
    VariantInit(element);
    *borrowed = false;
    if (HasPrefix(text, kArrayPrefix) || HasPrefix(text, kRefPrefix))
        return ComFail(StatusBadValue, "argument %d: '%.40s' cannot be an array element (an array in it passes as OBJ:k)",
                       position, text);
    return ComReadArgument(text, position, element, borrowed);
}

bool ComReadArguments(int first, int last, ComCallArgs* call) {
    int count = last - first + 1;
    if (count < 0) count = 0;
    if (count > ComArgMax) return call->count = 0, ComFail(StatusBadValue, "at most %d arguments", ComArgMax);
    // Every entry starts empty, so a failure half-way clears exactly what was made.
    for (int at = 0; at < count; ++at) {
        VariantInit(&call->values[at]);
        call->borrowed[at] = true;
        call->refSlot[at] = -1;
        VariantInit(&call->refOriginal[at]);
    }
    call->count = count;
    for (int i = 0; i < count; ++i) {
        int at = count - 1 - i;  // IDispatch takes the last argument first
        const char* text = Arg(first + i);
        if (HasPrefix(text, kRefPrefix)) {
            // REF:n passes string slot n's text by reference; the value the server
            // leaves there is written back into the slot.
            long number = ReadDigits(text + strlen(kRefPrefix));
            char* slotText = StringSlotAt(number);
            if (!slotText) {
                ComFail(StatusBadValue, "argument %d: '%.40s': REF: takes a string slot 0 to 19", i + 1, text);
                return ComClearArguments(call), false;
            }
            VARIANT& target = call->refValues[at];
            VariantInit(&target);
            if (!ComReadPlain(slotText, &target) || FAILED(VariantCopy(&call->refOriginal[at], &target))) {
                VariantClear(&target);
                ComFail(StatusComFailed, "argument %d: no memory for '%.40s'", i + 1, text);
                return ComClearArguments(call), false;
            }
            call->refSlot[at] = static_cast<signed char>(number);
            V_VT(&call->values[at]) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&call->values[at]) = &target;
        } else if (!ComReadArgument(text, i + 1, &call->values[at], &call->borrowed[at])) {
            return ComClearArguments(call), false;
        }
    }
    return true;
}

// Whether a by-reference argument still holds the value it was made with (a number or
// a text, as ComReadPlain makes them).
static bool SameValue(const VARIANT& before, const VARIANT& after) {
    if (V_VT(&before) != V_VT(&after)) return false;
    switch (V_VT(&before)) {
    case VT_I4: return V_I4(&before) == V_I4(&after);
    case VT_I8: return V_I8(&before) == V_I8(&after);
    case VT_R8: return memcmp(&V_R8(&before), &V_R8(&after), sizeof(double)) == 0;
    case VT_BSTR: {
        UINT length = SysStringByteLen(V_BSTR(&before));
        return length == SysStringByteLen(V_BSTR(&after)) &&
               (!length || memcmp(V_BSTR(&before), V_BSTR(&after), length) == 0);
    }
    default: return false;
    }
}

void ComClearArguments(ComCallArgs* call) {
    char* scratch = g_state.host.sliceBuffer;
    for (int at = 0; at < call->count; ++at) {
        if (call->refSlot[at] >= 0) {
            // Only a value the server changed is written back: "007" passes as 7, and a
            // call refused or left alone keeps the script's text as it was.
            char* slotText = StringSlotAt(call->refSlot[at]);
            VARIANT& target = call->refValues[at];
            if (slotText && !SameValue(call->refOriginal[at], target) && ComFormatValue(&target, scratch, MaxString))
                CopyBounded(slotText, MaxString, scratch);
            VariantClear(&target);
            VariantClear(&call->refOriginal[at]);
            VariantInit(&call->values[at]);
        } else if (call->borrowed[at]) {
            VariantInit(&call->values[at]);
        } else {
            VariantClear(&call->values[at]);
        }
    }
    call->count = 0;
}

// ---- answers -------------------------------------------------------------------------------

// The 96-bit integer of a DECIMAL with its scale and sign, exactly.
static void FormatDecimal(const DECIMAL& d, char* out) {
    ULONG words[3] = {d.Hi32, d.Mid32, d.Lo32};
    char digits[40];
    int count = 0;
    do {
        ULONGLONG remainder = 0;
        for (ULONG& word : words) {
            ULONGLONG current = (remainder << 32) | word;
            word = static_cast<ULONG>(current / 10);
            remainder = current % 10;
        }
        digits[count++] = static_cast<char>('0' + remainder);
    } while (words[0] || words[1] || words[2]);
    int scale = d.scale;
    while (count <= scale) digits[count++] = '0';
    // Trailing zeros of the fraction say nothing: dropped, with a bare point.
    int first = 0;
    while (first < scale && digits[first] == '0') ++first;
    char* o = out;
    if (d.sign & DECIMAL_NEG) *o++ = '-';
    for (int i = count - 1; i >= first; --i) {
        if (i == scale - 1) *o++ = '.';
        *o++ = digits[i];
    }
    *o = '\0';
    if (strcmp(out, "-0") == 0) strcpy(out, "0");
}

static void FormatCurrency(CY value, char* out) {
    DECIMAL d = {};
    ULONGLONG magnitude = value.int64 < 0 ? 0 - static_cast<ULONGLONG>(value.int64) : value.int64;
    d.Lo32 = static_cast<ULONG>(magnitude);
    d.Mid32 = static_cast<ULONG>(magnitude >> 32);
    d.scale = 4;
    d.sign = value.int64 < 0 ? DECIMAL_NEG : 0;
    FormatDecimal(d, out);
}

static bool FormatDate(DATE value, char* out) {
    SYSTEMTIME time;
    WORD fpu = QuietFpuBegin();
    bool made = VariantTimeToSystemTime(value, &time) != 0;
    QuietFpuEnd(fpu);
    if (!made) return false;
    sprintf(out, "%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
            time.wSecond);
    return true;
}

bool ComFormatValue(const VARIANT* v, char* out, size_t capacity) {
    char number[64];
    const VARIANT* value = v;
    VARTYPE type = V_VT(v);
    if (type == (VT_BYREF | VT_VARIANT)) {
        value = V_VARIANTREF(v);
        if (!value) return out[0] = '\0', true;
        type = V_VT(value);
    }
    // A by-reference scalar: the value where it points, read through a copy.
    VARIANT direct;
    if ((type & VT_BYREF) && !(type & VT_ARRAY)) {
        if (!V_BYREF(value)) return false;  // a server's by-reference value that points nowhere
        VariantInit(&direct);
        if (FAILED(VariantCopyInd(&direct, const_cast<VARIANT*>(value)))) return false;
        bool done = ComFormatValue(&direct, out, capacity);
        VariantClear(&direct);
        return done;
    }
    switch (type) {
    case VT_EMPTY: case VT_NULL: number[0] = '\0'; break;
    case VT_I1: WriteLong(number, V_I1(value)); break;
    case VT_I2: WriteLong(number, V_I2(value)); break;
    case VT_I4: WriteLong(number, V_I4(value)); break;
    case VT_INT: WriteLong(number, V_INT(value)); break;
    case VT_UI1: WriteUnsigned(number, V_UI1(value)); break;
    case VT_UI2: WriteUnsigned(number, V_UI2(value)); break;
    case VT_UI4: WriteUnsigned(number, V_UI4(value)); break;
    case VT_UINT: WriteUnsigned(number, V_UINT(value)); break;
    case VT_I8: _i64toa(V_I8(value), number, 10); break;
    case VT_UI8: _ui64toa(V_UI8(value), number, 10); break;
    case VT_R4: FormatReal(V_R4(value), true, number); break;
    case VT_R8: FormatReal(V_R8(value), false, number); break;
    case VT_BOOL: WriteLong(number, V_BOOL(value) ? -1 : 0); break;
    case VT_CY: FormatCurrency(V_CY(value), number); break;
    case VT_DECIMAL:
        if (V_DECIMAL(value).scale > 28) return false;  // no decimal has more: a server's garbage
        FormatDecimal(V_DECIMAL(value), number);
        break;
    case VT_ERROR: sprintf(number, "0x%08lX", static_cast<unsigned long>(V_ERROR(value))); break;
    case VT_HRESULT: sprintf(number, "0x%08lX", static_cast<unsigned long>(V_I4(value))); break;
    case VT_DATE:
        if (!FormatDate(V_DATE(value), number)) return false;
        break;
    case VT_BSTR: {
        BSTR text = V_BSTR(value);
        WideToAnsi(text ? text : L"", text ? static_cast<int>(SysStringLen(text)) : 0, out, capacity);
        return true;
    }
    default: return false;  // objects, arrays, records: not a text
    }
    CopyBounded(out, capacity, number);
    return true;
}

const char* ComAnswer(VARIANT* v, const char* className) {
    char* out = g_state.host.resultBuffer;
    out[0] = '\0';
    VARIANT owned;
    VariantInit(&owned);
    // A by-reference result is read where it points.
    if (V_VT(v) & VT_BYREF) {
        if (!V_BYREF(v))
            return V_VT(v) = VT_EMPTY, ComFail(StatusComFailed, "%s: a by-reference value points nowhere", className), out;
        if (FAILED(VariantCopyInd(&owned, v))) return ComFail(StatusComFailed, "a by-reference result could not be read"), out;
        VariantClear(v);
        *v = owned;
    }
    VARTYPE type = V_VT(v);
    if (type == VT_DISPATCH || type == VT_UNKNOWN) {
        IUnknown* pointer = type == VT_DISPATCH ? V_DISPATCH(v) : V_UNKNOWN(v);
        if (!pointer) return out;  // Nothing
        ComObject* slot = ComLowestFree();
        if (!slot) return ComClearValue(v), out;
        ComSlotStore(slot, pointer, type == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, className);
        V_VT(v) = VT_EMPTY;  // the slot has the reference now
        sprintf(out, "%s%d", kObjectPrefix, ComSlotNumber(slot));
        return out;
    }
    if (type & VT_ARRAY) {
        SAFEARRAY* array = V_ARRAY(v);
        if (!array) return out;
        ComObject* slot = ComLowestFree();
        if (!slot) return ComClearValue(v), out;
        ComSlotStoreArray(slot, array, className);
        V_VT(v) = VT_EMPTY;
        sprintf(out, "%s%d", kObjectPrefix, ComSlotNumber(slot));
        return out;
    }
    if (!ComFormatValue(v, out, MaxString))
        ComFail(StatusComFailed, "%s: a value of variant type %u has no text", className, static_cast<unsigned>(type));
    // Numbers need no clearing; only what holds memory is given back.
    if (type == VT_BSTR || type == VT_RECORD || type >= VT_VOID) VariantClear(v);
    return out;
}
