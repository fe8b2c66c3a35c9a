// Searching an open file for a text or a byte pattern, chunk by chunk, with or
// without regard to letter case.
//
// Each chunk is compared as if every NUL byte of the data were 0xFF and, unless the
// search is exact, as if data and pattern were upper-cased by the system. Both are
// done through one 256-entry table applied on the fly, so the data is never
// rewritten (except under a double-byte code page, where a byte's upper case
// depends on the bytes before it and each chunk is upper-cased in place first,
// character by character, carrying across the chunk's start whether its first byte
// is the second half of a character).
// A vector scan over two guard bytes of the pattern finds candidates;
// when verifying them costs too much (periodic data and pattern), the rest of the
// chunk goes through a Knuth-Morris-Pratt pass, so no input makes a search
// quadratic.
#include <emmintrin.h>
#include <stdlib.h>
#include <string.h>

#include "files.h"

#include "../host/handlers.h"
#include "../host/text.h"

static const char kSearchFailed[] = "ERROR";
static const size_t kNoMatch = static_cast<size_t>(-1);
constexpr int GuardSetLimit = 4;          // data bytes one guard compares against
constexpr size_t VerifyAllowance = 65536; // verifying work allowed beyond the bytes scanned

struct Matcher {
    const unsigned char* pattern;  // already mapped (upper-cased unless exact)
    size_t length;
    unsigned char map[256];        // data byte -> the byte it is compared as
    // Every data byte that maps to the first and to the last pattern byte.
    unsigned char firstSet[GuardSetLimit], lastSet[GuardSetLimit];
    int firstCount, lastCount;
    size_t (*scan)(Matcher&, const unsigned char*, size_t);  // null: the linear pass only
    bool foldChunks;  // double-byte code page: chunks are upper-cased in place, not mapped
    int* failure;  // Knuth-Morris-Pratt table, made when first needed
};

// Fills `set` with the data bytes that map to `target`; answers their number, or
// GuardSetLimit + 1 when there are more than the scan compares against.
static int Preimages(const unsigned char* map, unsigned char target, unsigned char* set) {
    int count = 0;
    for (int b = 0; b < 256; ++b) {
        if (map[b] != target) continue;
        if (count == GuardSetLimit) return GuardSetLimit + 1;
        set[count++] = static_cast<unsigned char>(b);
    }
    return count;
}

// The comparison table: NUL as 0xFF, then the system's upper case unless exact.
static void BuildMap(unsigned char* map, bool exact) {
    const unsigned char* fold = FoldTable();
    for (int b = 0; b < 256; ++b) {
        unsigned char byte = b ? static_cast<unsigned char>(b) : 0xFF;
        map[b] = exact ? byte : fold[byte];
    }
}

static bool MatchesAt(const Matcher& m, const unsigned char* data) {
    for (size_t j = 0; j < m.length; ++j)
        if (m.map[data[j]] != m.pattern[j]) return false;
    return true;
}

// Linear pass over data[from, n): the first match starting there, or kNoMatch.
static size_t FindLinear(Matcher& m, const unsigned char* data, size_t n, size_t from) {
    const unsigned char* p = m.pattern;
    size_t length = m.length;
    if (!m.failure) {
        m.failure = static_cast<int*>(malloc(length * sizeof(int)));
        if (!m.failure) {  // no table: plain comparisons, still correct
            for (size_t s = from; s + length <= n; ++s)
                if (MatchesAt(m, data + s)) return s;
            return kNoMatch;
        }
        m.failure[0] = 0;
        for (size_t i = 1, k = 0; i < length; ++i) {
            while (k > 0 && p[i] != p[k]) k = m.failure[k - 1];
            if (p[i] == p[k]) ++k;
            m.failure[i] = static_cast<int>(k);
        }
    }
    size_t k = 0;
    for (size_t i = from; i < n; ++i) {
        unsigned char c = m.map[data[i]];
        while (k > 0 && p[k] != c) k = m.failure[k - 1];
        if (p[k] == c && ++k == length) return i + 1 - length;
    }
    return kNoMatch;
}

// Whether each of the sixteen bytes at `at` is one of the K bytes of `set`.
template <int K>
__attribute__((target("sse2"))) static inline __m128i InSet(const unsigned char* at, const __m128i* set) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    __m128i hit = _mm_cmpeq_epi8(bytes, set[0]);
    for (int i = 1; i < K; ++i) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, set[i]));
    return hit;
}

// Candidate starts among the sixteen at `at`: first and last byte both can match.
template <int F, int L>
__attribute__((target("sse2"))) static inline unsigned Candidates(const unsigned char* at, size_t lastOffset,
                                                                   const __m128i* first, const __m128i* last) {
    __m128i both = _mm_and_si128(InSet<F>(at, first), InSet<L>(at + lastOffset, last));
    return static_cast<unsigned>(_mm_movemask_epi8(both));
}

// The vector scan of FindInChunk for guard sets of F and L bytes (smaller sets are
// padded by repeating a byte). The data is read up to 31 bytes past its end.
template <int F, int L>
__attribute__((target("sse2"))) static size_t ScanVector(Matcher& m, const unsigned char* data, size_t n) {
    __m128i first[F], last[L];
    for (int i = 0; i < F; ++i) first[i] = _mm_set1_epi8(static_cast<char>(m.firstSet[i < m.firstCount ? i : 0]));
    for (int i = 0; i < L; ++i) last[i] = _mm_set1_epi8(static_cast<char>(m.lastSet[i < m.lastCount ? i : 0]));
    const size_t lastOffset = m.length - 1;
    const size_t lastStart = n - m.length;
    size_t verified = 0;
    for (size_t s = 0; s <= lastStart; s += 32) {
        unsigned mask = Candidates<F, L>(data + s, lastOffset, first, last) |
                        Candidates<F, L>(data + s + 16, lastOffset, first, last) << 16;
        if (!mask) continue;
        if (lastStart - s < 31) mask &= (2u << (lastStart - s)) - 1;  // starts past lastStart
        for (; mask; mask &= mask - 1) {
            size_t at = s + __builtin_ctz(mask);
            if (MatchesAt(m, data + at)) return at;
            verified += m.length;
        }
        if (verified > 2 * s + VerifyAllowance) return FindLinear(m, data, n, s + 32);
    }
    return kNoMatch;
}

typedef size_t (*ScanFn)(Matcher&, const unsigned char*, size_t);

// The scan instance for the sizes of the two guard sets (1, 2, 3 or 4 bytes).
static ScanFn VectorScanFor(int firstCount, int lastCount) {
    static const ScanFn scans[3][3] = {
        {ScanVector<1, 1>, ScanVector<1, 2>, ScanVector<1, 4>},
        {ScanVector<2, 1>, ScanVector<2, 2>, ScanVector<2, 4>},
        {ScanVector<4, 1>, ScanVector<4, 2>, ScanVector<4, 4>},
    };
    static const int column[GuardSetLimit + 1] = {0, 0, 1, 2, 2};
    return scans[column[firstCount]][column[lastCount]];
}

// The first match in data[0, n), or kNoMatch. The data must be readable for
// SearchChunkPadding bytes past n.
static size_t FindInChunk(Matcher& m, const unsigned char* data, size_t n) {
    if (m.length == 0) return 0;  // an empty pattern matches at once
    if (m.length > n) return kNoMatch;
    if (!m.scan) return FindLinear(m, data, n, 0);
    return m.scan(m, data, n);
}

// Whether the slot's position is the second byte of a double-byte character: the
// bytes just before it are read back (as far as they could all lead one) and the
// handle is put back where it was. A failed read tells nothing, and the search's
// own read then reports the failure.
static bool StartsInTrail(FileSlot* slot) {
    const DWORD position = slot->position;
    unsigned char back[256];
    DWORD end = position;
    size_t run = 0;
    while (end > 0) {
        DWORD start = end > sizeof back ? end - static_cast<DWORD>(sizeof back) : 0;
        DWORD got = 0;
        MoveSlotTo(slot, start);
        if (slot->position != start || !ReadFile(slot->handle, back, end - start, &got, nullptr) ||
            got != end - start)
            break;
        size_t tail = LeadByteRun(back, got);
        run += tail;
        if (tail < got) break;
        end = start;
    }
    MoveSlotTo(slot, position);
    return run % 2 == 1;
}

// Runs the chunk loop from the slot's offset. Answers the match offset as text, the
// empty text when there is none (the slot then wraps to 0), or "ERROR" when a read
// failed (the position is then unchanged).
static const char* SearchFile(FileSlot* slot, Matcher& m) {
    DWORD size = GetFileSize(slot->handle, nullptr);
    if (slot->position > size && size != INVALID_FILE_SIZE) {
        // Past the end (set by FILESETPOS): nothing to read, nothing found.
        MoveSlotTo(slot, 0);
        return kNoAnswer;
    }
    unsigned char* chunk = static_cast<unsigned char*>(malloc(SearchChunkSize + SearchChunkPadding));
    if (!chunk) return kSearchFailed;
    memset(chunk + SearchChunkSize, 0, SearchChunkPadding);

    const char* answer = kNoAnswer;
    DWORD step = SearchChunkSize;
    bool startsInTrail = m.foldChunks && slot->position > 0 && StartsInTrail(slot);
    for (;;) {
        if (size - slot->position < step) step = size - slot->position;
        if (!ReadFile(slot->handle, chunk, step, &slot->bytesRead, nullptr)) {
            answer = kSearchFailed;
            break;
        }
        DWORD got = slot->bytesRead <= step ? slot->bytesRead : step;
        // The next chunk begins the pattern's length before this one's end.
        size_t overlapStart = m.length < got ? got - m.length : got;
        if (m.foldChunks) startsInTrail = FoldDoubleByteText(chunk, got, startsInTrail, overlapStart);
        size_t at = FindInChunk(m, chunk, got);
        if (at != kNoMatch) {
            DWORD end = SetFilePointer(slot->handle, 0, nullptr, FILE_CURRENT);
            MoveSlotTo(slot, end - got + static_cast<DWORD>(at));
            answer = AnswerUnsigned(slot->position);
            break;
        }
        RecordPosition(slot);
        // The end of the file, or an overlap that would not move on (a pattern as
        // long as a chunk): nothing found, and the slot starts over at 0.
        if (slot->position >= size || m.length >= got) {
            MoveSlotTo(slot, 0);
            break;
        }
        // Step back by the pattern length so that a match across the border of
        // two chunks lies whole in the next one.
        if (size > m.length) MoveSlotTo(slot, slot->position - static_cast<DWORD>(m.length));
    }
    DWORD error = GetLastError();
    free(chunk);
    free(m.failure);
    SetLastError(error);
    return answer;
}

// Prepares the matcher for a pattern of the given bytes (the caller's own copy,
// which is mapped in place) and runs the search on the slot.
static const char* Search(FileSlot* slot, unsigned char* pattern, size_t length) {
    Matcher m = {};
    bool exact = SameWord(Arg(3), "EXACT");
    // A double-byte character's bytes may look like letters; the table cannot tell
    // them from single-byte ones, so there data and pattern are folded as texts.
    m.foldChunks = !exact && DoubleByteCodePage();
    BuildMap(m.map, exact || m.foldChunks);
    if (m.foldChunks) FoldDoubleByteText(pattern, length, false, length);
    // The pattern is upper-cased like the data (and exactly as the system's ANSI
    // call would); it holds no NUL byte, so the 0xFF step does not touch it.
    for (size_t i = 0; i < length; ++i) pattern[i] = m.map[pattern[i]];
    m.pattern = pattern;
    m.length = length;
    if (length) {
        m.firstCount = Preimages(m.map, pattern[0], m.firstSet);
        m.lastCount = Preimages(m.map, pattern[length - 1], m.lastSet);
        if (m.firstCount <= GuardSetLimit && m.lastCount <= GuardSetLimit &&
            IsProcessorFeaturePresent(PF_XMMI64_INSTRUCTIONS_AVAILABLE))
            m.scan = VectorScanFor(m.firstCount, m.lastCount);
    }
    return SearchFile(slot, m);
}

// FILESEARCHTEXT number text [EXACT]: the offset of the first match at or after the
// slot's position, the empty text when there is none or the number is outside
// 1..10, "ERROR" when reading failed. The host's text is searched through a copy.
const char* FileSearchText() {
    FileSlot* slot = SlotFromArgs();
    if (!slot) return kNoAnswer;
    size_t length = strlen(Arg(2));
    unsigned char* pattern = static_cast<unsigned char*>(malloc(length + 1));
    if (!pattern) return kSearchFailed;
    memcpy(pattern, Arg(2), length + 1);
    const char* answer = Search(slot, pattern, length);
    free(pattern);
    return answer;
}

// FILESEARCHHEX number "41 42 00" [EXACT]: as FILESEARCHTEXT for the bytes of the
// pairs. The pair 00 stands for 0xFF, which also matches NUL bytes of the data; a
// pair that reads as 0 ends the pattern.
const char* FileSearchHex() {
    FileSlot* slot = SlotFromArgs();
    if (!slot) return kNoAnswer;
    const char* text = Arg(2);
    size_t textLength = strlen(text);
    unsigned char pattern[HexPatternLimit + 1];
    size_t length = 0;
    for (size_t i = 0; i < textLength && i < HexPatternScanLimit; i += HexPairStride) {
        bool zeroPair = text[i] == '0' && text[i + 1] == '0';
        unsigned char byte = zeroPair ? 0xFF : HexPairByte(text, i, textLength);
        if (!byte) break;
        pattern[length++] = byte;
    }
    return Search(slot, pattern, length);
}
