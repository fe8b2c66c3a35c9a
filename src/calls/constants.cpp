// The table of the system's integer constants and its look-ups. The names are kept
// sorted and front-coded in blocks (each block's first name whole, the others as the
// length shared with the name before and the rest, in byte-pair codes), each followed
// by its value; a name is found by a binary search over the blocks' first names and a
// walk of at most one block.
#include "constants.h"

#include <stdlib.h>
#include <string.h>

#include "constants_table.inc"

int ConstantCount() { return kConstantCount; }

// Compares a terminated name with `length` characters of another, as strcmp would.
static int CompareName(const char* known, const char* name, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char a = static_cast<unsigned char>(known[i]), b = static_cast<unsigned char>(name[i]);
        if (a != b) return a < b ? -1 : 1;  // the known name's terminator sorts first
    }
    return known[length] ? 1 : 0;
}

// One entry's name: a pair code stands for two bytes, each a character or a code.
static char* Expand(unsigned char c, char* o) {
    if (!kConstantPairs[c][0]) return *o++ = static_cast<char>(c), o;
    o = Expand(kConstantPairs[c][0], o);
    return Expand(kConstantPairs[c][1], o);
}

// The value at `at`; answers the next entry's place.
static unsigned DecodeValue(unsigned at, ConstantValue* value) {
    // The value: kind in the first byte's low 2 bits, then 5 bits, then 7 per byte.
    unsigned char first = kConstantData[at++];
    unsigned kind = first & 3;
    unsigned long long bits = (first >> 2) & 31;
    for (int shift = 5; first & 0x80; shift += 7) {
        first = kConstantData[at++];
        bits |= static_cast<unsigned long long>(first & 127) << shift;
    }
    if (kind == 1) bits = (bits >> 1) ^ (0 - (bits & 1));  // zigzag back
    *value = {bits, kind == 1, kind == 2};
    return at;
}

// Decodes the entry at `at` (after the name before it, already in name) into name and
// value; answers the next entry's place.
static unsigned DecodeNext(unsigned at, char* name, ConstantValue* value) {
    unsigned shared = kConstantData[at++];
    char* o = name + shared;
    while (unsigned char c = kConstantData[at++]) o = Expand(c, o);
    *o = '\0';
    return DecodeValue(at, value);
}

// Compares a block's first name with `length` characters of name, as strcmp would,
// expanding its codes only as far as the two agree.
static int CompareFirstName(int block, const char* name, size_t length) {
    unsigned at = kConstantBlockStart[block] + 1;  // past the shared length, 0
    unsigned char pending[kConstantPairDepth];    // second halves still to expand
    int depth = 0;
    for (size_t i = 0;; ++i) {
        unsigned char c = depth ? pending[--depth] : kConstantData[at++];
        if (!c) return i == length ? 0 : -1;  // the known name ends first
        while (kConstantPairs[c][0]) {
            pending[depth++] = kConstantPairs[c][1];
            c = kConstantPairs[c][0];
        }
        if (i == length) return 1;
        unsigned char b = static_cast<unsigned char>(name[i]);
        if (c != b) return c < b ? -1 : 1;
    }
}

bool FindConstant(const char* name, size_t length, ConstantValue* value) {
    if (!length || length >= ConstantNameBytes) return false;
    // The last block whose first name is not after the name.
    int low = 0, high = (kConstantCount + kConstantBlock - 1) / kConstantBlock - 1;
    while (low < high) {
        int middle = (low + high + 1) / 2;
        if (CompareFirstName(middle, name, length) <= 0) low = middle;
        else high = middle - 1;
    }
    char current[ConstantNameBytes];
    unsigned at = kConstantBlockStart[low];
    for (int k = low * kConstantBlock; k < kConstantCount && k < (low + 1) * kConstantBlock; ++k) {
        ConstantValue found;
        at = DecodeNext(at, current, &found);
        int order = CompareName(current, name, length);
        if (order == 0) return *value = found, true;
        if (order > 0) break;
    }
    return false;
}

// Entry k (0 .. count-1, in the order of the names): its block walked up to it.
static void EntryAt(int k, char* name, ConstantValue* value) {
    unsigned at = kConstantBlockStart[k / kConstantBlock];
    for (int i = k - k % kConstantBlock; i <= k; ++i) at = DecodeNext(at, name, value);
}

void ConstantNameAt(int k, char* out) {
    ConstantValue unused;
    EntryAt(k, out, &unused);
}

ConstantValue ConstantValueAt(int k) {
    char name[ConstantNameBytes];
    ConstantValue value;
    EntryAt(k, name, &value);
    return value;
}

void FormatConstant(const ConstantValue& value, char* out) {
    if (ConstantNegative(value)) _i64toa(static_cast<long long>(value.bits), out, 10);
    else _ui64toa(value.bits, out, 10);
}

static bool SameValue(const ConstantValue& a, const ConstantValue& b) {
    return ConstantNegative(a) == ConstantNegative(b) && a.bits == b.bits;
}

// A walk of the whole table (a fraction of a millisecond): answering names by value is
// rare, and an index by value would cost more bytes than the values themselves.
int ConstantNamesOf(const ConstantValue& value, const char* prefix, char* out, size_t capacity) {
    // The value itself and, for one of 32 bits, the same bits read with the other sign.
    ConstantValue other = value;
    bool negative = ConstantNegative(value);
    bool twin = negative ? static_cast<long long>(value.bits) >= -0x80000000ll
                         : value.bits >= 0x80000000ull && value.bits <= 0xFFFFFFFFull;
    if (twin) other = {value.bits ^ 0xFFFFFFFF00000000ull, !negative, false};
    size_t used = 0, prefixLength = strlen(prefix);
    int found = 0;
    out[0] = '\0';
    char name[ConstantNameBytes];
    unsigned at = 0;
    for (int k = 0; k < kConstantCount; ++k) {
        // Only the values are read on the way; a name only when its value matches.
        ConstantValue entry;
        ++at;
        while (kConstantData[at++]) {}
        at = DecodeValue(at, &entry);
        if (!SameValue(entry, value) && !(twin && SameValue(entry, other))) continue;
        ConstantNameAt(k, name);
        if (strncmp(name, prefix, prefixLength) != 0) continue;
        ++found;
        size_t length = strlen(name);
        if (used + (used ? 1 : 0) + length + 1 > capacity) continue;  // counted, not shown
        if (used) out[used++] = ' ';
        memcpy(out + used, name, length + 1);
        used += length;
    }
    return found;
}

bool ConstantNameFor(unsigned long code, const char* const* prefixes, int prefixCount, char* out) {
    char names[1024];
    ConstantValue value = {code, false, false};
    if (!ConstantNamesOf(value, "", names, sizeof names)) return false;
    for (int p = 0; p < prefixCount; ++p) {
        const char* prefix = prefixes[p];
        bool anywhere = prefix[0] == '*';
        if (anywhere) ++prefix;
        size_t prefixLength = strlen(prefix);
        for (char* name = names; *name;) {
            char* end = strchr(name, ' ');
            size_t length = end ? static_cast<size_t>(end - name) : strlen(name);
            bool match = false;
            if (!anywhere) match = length >= prefixLength && strncmp(name, prefix, prefixLength) == 0;
            else
                for (size_t i = 0; i + prefixLength <= length && !match; ++i) match = strncmp(name + i, prefix, prefixLength) == 0;
            if (match) {
                memcpy(out, name, length);
                out[length] = '\0';
                return true;
            }
            name += length + (end ? 1 : 0);
        }
    }
    return false;
}

static char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

// Edits (insert, delete, change; case ignored) from a to b, or limit + 1 when more.
static int Distance(const char* a, int lengthA, const char* b, int lengthB, int limit) {
    int rows[2][ConstantNameBytes + 1];
    for (int j = 0; j <= lengthB; ++j) rows[0][j] = j;
    for (int i = 1; i <= lengthA; ++i) {
        int* previous = rows[(i - 1) & 1];
        int* row = rows[i & 1];
        row[0] = i;
        int best = row[0];
        for (int j = 1; j <= lengthB; ++j) {
            int change = previous[j - 1] + (Fold(a[i - 1]) != Fold(b[j - 1]));
            int remove = previous[j] + 1, insert = row[j - 1] + 1;
            row[j] = change < remove ? (change < insert ? change : insert) : (remove < insert ? remove : insert);
            if (row[j] < best) best = row[j];
        }
        if (best > limit) return limit + 1;
    }
    return rows[lengthA & 1][lengthB];
}

bool ConstantSuggest(const char* name, size_t length, char* out, size_t capacity) {
    out[0] = '\0';
    if (!length || length >= ConstantNameBytes) return false;
    int n = static_cast<int>(length);
    int limit = n <= 4 ? 1 : n <= 10 ? 2 : 3;
    const int Most = 3;
    int best[Most], count = 0, bestDistance = limit + 1;
    char current[ConstantNameBytes];
    unsigned at = 0;
    for (int k = 0; k < kConstantCount; ++k) {
        ConstantValue unused;
        at = DecodeNext(at, current, &unused);
        int m = static_cast<int>(strlen(current));
        if (m - n > limit || n - m > limit) continue;
        int distance = Distance(name, n, current, m, bestDistance < limit ? bestDistance : limit);
        if (distance > limit || distance > bestDistance) continue;
        if (distance < bestDistance) bestDistance = distance, count = 0;
        if (count < Most) best[count++] = k;
    }
    if (!count) return false;
    size_t used = 0;
    for (int i = 0; i < count; ++i) {
        ConstantNameAt(best[i], current);
        const char* joint = i == 0 ? "" : i == count - 1 ? " or " : ", ";
        size_t need = strlen(joint) + strlen(current);
        if (used + need + 1 > capacity) break;
        strcpy(out + used, joint);
        strcpy(out + used + strlen(joint), current);
        used += need;
    }
    return true;
}
