// The system's integer constants by name (MB_OK, WS_OVERLAPPEDWINDOW, ERROR_ACCESS_DENIED,
// HKEY_CURRENT_USER ...), made at build time from the toolchain's headers and valued by
// its compiler (tools/constants/generate.py). The look-ups touch no state: the reference
// host compiles this file too.
#pragma once

#include <stddef.h>

constexpr int ConstantNameBytes = 128;  // the longest name with its terminator, and room

struct ConstantValue {
    unsigned long long bits;  // the value, 64 bits
    bool isSigned;            // of a signed type: bits is two's complement
    bool handle;              // a constant handle or address (HKEY_CURRENT_USER)
};
// Whether the value is below zero.
inline bool ConstantNegative(const ConstantValue& v) { return v.isSigned && static_cast<long long>(v.bits) < 0; }

int ConstantCount();
// A name exactly as the headers spell it (case counts): binary search.
bool FindConstant(const char* name, size_t length, ConstantValue* value);
// Entry k (0 .. count-1, in the order of the names).
void ConstantNameAt(int k, char* out);
ConstantValue ConstantValueAt(int k);
// Decimal text of a value, signed or unsigned by its type; out holds 24 bytes.
void FormatConstant(const ConstantValue& value, char* out);
// The names whose value is `value` (a value that fits 32 bits also matches its bit
// pattern read the other way: 0x80070005 finds E_ACCESSDENIED) and that begin with
// prefix (exact case; "" for any), joined by blanks, in name order, cut to whole names
// within capacity. Answers how many matched.
int ConstantNamesOf(const ConstantValue& value, const char* prefix, char* out, size_t capacity);
// The first of the names with the code's 32-bit pattern that begins with one of the
// prefixes, tried in their order (a prefix "*X" means: holds X). Answers false when none.
bool ConstantNameFor(unsigned long code, const char* const* prefixes, int prefixCount, char* out);
// The known names nearest to a name that is not one (case ignored, then the fewest
// edits), "A", "A or B", "A, B or C", into out; false when none is near.
bool ConstantSuggest(const char* name, size_t length, char* out, size_t capacity);
