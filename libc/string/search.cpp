// Searching strings. Bytes compare as unsigned values; a byte given as int is
// used through its low 8 bits.
#include <stdint.h>
#include <string.h>

#include "string/words.h"

namespace {

using namespace nuv;

// Flags, in the high bit of each byte, the bytes of v that are NUL or equal
// the byte spread over `spread`; exact up to the lowest flagged byte.
inline uint32_t nul_or_byte(uint32_t v, uint32_t spread) {
    uint32_t x = v ^ spread;
    return ((v - words::kOnes) & ~v) | ((x - words::kOnes) & ~x);
}

// Whether the eight aligned bytes at s hold a NUL or the byte spread over
// `spread`. Out of line: the caller's loop then keeps all it needs in
// registers.
__attribute__((noinline)) bool block_has_nul_or_byte(const char* s, uint32_t spread) {
    return ((nul_or_byte(words::aligned_at(s), spread) |
             nul_or_byte(words::aligned_at(s + 4), spread)) &
            words::kHighs) != 0;
}

// The first byte from s on that equals want or is NUL. Aligned words only.
inline const char* find_byte_or_end(const char* s, unsigned char want) {
    for (; (reinterpret_cast<uintptr_t>(s) & 7u) != 0; ++s) {
        if (static_cast<unsigned char>(*s) == want || *s == 0) return s;
    }
    const uint32_t spread = want * words::kOnes;
    // Eight aligned bytes a step, tested at once: they lie in one page, which
    // the string reaches since it reaches their first byte.
    // A first test that plain text (bytes below 0x80) passes whenever it
    // holds neither: it flags every byte the exact test flags, and also
    // bytes of 0x80 and above.
    for (;; s += 8) {
        uint32_t v = words::aligned_at(s), u = words::aligned_at(s + 4);
        uint32_t x = v ^ spread, y = u ^ spread;
        if ((((v - words::kOnes) | (x - words::kOnes) | (u - words::kOnes) | (y - words::kOnes)) &
             words::kHighs) == 0) {
            continue;
        }
        if (block_has_nul_or_byte(s, spread)) break;
    }
    while (static_cast<unsigned char>(*s) != want && *s != 0) ++s;
    return s;
}

}  // namespace

extern "C" char* strchr(const char* s, int c) {
    if (s == nullptr) return nullptr;
    const unsigned char want = static_cast<unsigned char>(c);
    const char* p = find_byte_or_end(s, want);
    return static_cast<unsigned char>(*p) == want ? const_cast<char*>(p) : nullptr;
}

extern "C" char* strrchr(const char* s, int c) {
    if (s == nullptr) return nullptr;
    const unsigned char want = static_cast<unsigned char>(c);
    if (want == 0) return const_cast<char*>(find_byte_or_end(s, 0));
    const char* last = nullptr;
    for (; !words::is_aligned(s); ++s) {
        if (static_cast<unsigned char>(*s) == want) last = s;
        if (*s == 0) return const_cast<char*>(last);
    }
    // Whole words before the one holding the NUL; remember the last word
    // holding the byte and look inside it only at the end.
    const uint32_t spread = want * words::kOnes;
    const char* last_word = nullptr;
    uint32_t v;
    for (; words::zero_bytes(v = words::aligned_at(s)) == 0; s += 4) {
        if (words::zero_bytes(v ^ spread)) last_word = s;
    }
    if (last_word != nullptr) {
        for (int k = 3; k >= 0; --k) {
            if (static_cast<unsigned char>(last_word[k]) == want) {
                last = last_word + k;
                break;
            }
        }
    }
    for (; *s != 0; ++s) {
        if (static_cast<unsigned char>(*s) == want) last = s;
    }
    return const_cast<char*>(last);
}

namespace {

using Byte = unsigned char;

// The maximal suffix of x[0, m) under the byte order, or under the reversed
// order when `reversed`: returns the index of the last byte before it (-1
// when the suffix is all of x) and stores the suffix's period in *period.
long maximal_suffix(const Byte* x, long m, bool reversed, long* period) {
    long before = -1;  // the candidate suffix starts at before + 1
    long j = 0;        // the suffix being compared with it starts at j + 1
    long k = 1, p = 1;
    while (j + k < m) {
        Byte a = x[j + k], b = x[before + k];
        if (a == b) {
            // Still matching: one more byte, or one more whole period.
            if (k == p) {
                j += p;
                k = 1;
            } else {
                ++k;
            }
        } else if ((a < b) != reversed) {
            // The compared suffix loses: everything up to here is one period.
            j += k;
            k = 1;
            p = j - before;
        } else {
            // The compared suffix wins and becomes the candidate.
            before = j;
            j = before + 1;
            k = p = 1;
        }
    }
    *period = p;
    return before;
}

// How far the text runs: text[0, known) holds no NUL, and `ended` says that
// text[known] is its NUL. Extends known to at least `want` bytes, reading a
// little further ahead by aligned words; false when the text ends before.
bool reach(const Byte* text, long& known, bool& ended, long want) {
    if (ended) return false;
    const Byte* p = text + known;
    const Byte* ahead = text + want + 252;
    for (; !words::is_aligned(p); ++p) {
        if (*p == 0) {
            ended = true;
            ahead = p;  // skips the word loop
            break;
        }
    }
    // Four words at a time from a 16-byte boundary (all four in one page):
    // a block whose bytes all lie between 1 and 0x80 passes with one test
    // of the words less one in each byte, as plain text does.
    for (; p < ahead && (reinterpret_cast<uintptr_t>(p) & 15u) != 0; p += 4) {
        uint32_t zeros = words::zero_bytes(words::aligned_at(p));
        if (zeros != 0) {
            p += __builtin_ctz(zeros) >> 3;
            ended = true;
            ahead = p;
            break;
        }
    }
    for (; p < ahead; p += 16) {
        uint32_t less =
            (words::aligned_at(p) - words::kOnes) | (words::aligned_at(p + 4) - words::kOnes) |
            (words::aligned_at(p + 8) - words::kOnes) | (words::aligned_at(p + 12) - words::kOnes);
        if ((less & words::kHighs) != 0) break;
    }
    for (; p < ahead; p += 4) {
        uint32_t zeros = words::zero_bytes(words::aligned_at(p));
        if (zeros != 0) {
            p += __builtin_ctz(zeros) >> 3;
            ended = true;
            break;
        }
    }
    known = p - text;
    return known >= want;
}

// Needles at least this long skip windows by the pair of bytes that ends
// them; shorter ones skip to the next place that holds their first byte.
constexpr long kPairSkipMin = 4;
// The pairs of the needle's last kPairsMax + 1 bytes at most are recorded:
// windows then move on by up to kPairsMax bytes.
constexpr long kPairsMax = 64;

// A pair of bytes as one of 1024 bits; pairs of lower-case letters never
// share a bit.
inline unsigned pair_bit(const Byte* p) {
    return ((static_cast<unsigned>(p[0]) << 5) ^ p[1]) & 1023u;
}
// The two-way search: the needle is cut at a critical point into a left part
// x[0, cut] and a right part; each window is matched right part first, left to
// right, then left part, right to left. A mismatch in the right part shifts by
// the bytes matched; a mismatch in the left part shifts by the period. Every
// text byte is compared a bounded number of times, so the cost is linear in
// the text, and nothing is allocated.
//
// Before a window is compared (unless a periodic needle's shift left part of
// it known), cheap tests may skip it and the windows after it that cannot
// match: needles of kPairSkipMin bytes or more look up the window's last two
// bytes among the pairs of the needle, and move on by up to kPairsMax bytes
// while the needle lacks them; shorter ones look for their first byte a word
// at a time. Then, when the first byte of the right part differs, the text
// is searched a word at a time for the next place that holds it. The text's
// length is not measured in advance, only as far as the windows reach.
char* two_way(const Byte* text, const Byte* x) {
    // Measure the needle and the text side by side: a text shorter than the
    // needle holds no match, and finding that out costs no more than the
    // shorter of the two.
    long m = 0;
    for (; x[m] != 0; ++m) {
        if (text[m] == 0) return nullptr;
    }
    long known = m;
    bool ended = false;
    long p1 = 0, p2 = 0;
    long cut1 = maximal_suffix(x, m, false, &p1);
    long cut2 = maximal_suffix(x, m, true, &p2);
    long cut = cut1 > cut2 ? cut1 : cut2;
    long period = cut1 > cut2 ? p1 : p2;
    // Whether the left part recurs one period further on: then the needle is
    // periodic, and after a full match the bytes of one shift are known.
    bool periodic = true;
    for (long i = 0; i <= cut; ++i) {
        if (x[i] != x[i + period]) {
            periodic = false;
            break;
        }
    }
    if (!periodic) {
        long left = cut + 1, right = m - cut - 1;
        period = (left > right ? left : right) + 1;
    }
    // The pairs of adjacent bytes that end the needle's last `pair_shift`
    // windows of two: a window whose last two bytes are none of them cannot
    // match, and neither can the pair_shift - 1 windows after it.
    const bool pair_skip = m >= kPairSkipMin;
    const long pair_shift = m - 1 < kPairsMax ? m - 1 : kPairsMax;
    uint32_t pairs[32] = {};
    if (pair_skip) {
        for (long i = m - 1 - pair_shift; i < m - 1; ++i) {
            unsigned bit = pair_bit(x + i);
            pairs[bit >> 5] |= 1u << (bit & 31);
        }
    }
    long memory = -1;  // periodic needles: x[0, memory] is known to match
    for (long j = 0;;) {
        if (memory < 0 && pair_skip) {
            // Windows whose last pair the needle lacks, a pair_shift at a
            // time, as far as the text is known to run.
            for (;;) {
                const long limit = known - m;
                while (j <= limit) {
                    unsigned bit = pair_bit(text + j + m - 2);
                    if ((pairs[bit >> 5] >> (bit & 31)) & 1u) break;
                    j += pair_shift;
                }
                if (j <= limit) break;
                if (!reach(text, known, ended, j + m)) return nullptr;
            }
        }
        if (memory < 0 && !pair_skip && text[j] != x[0]) {
            // text[j] lies at or before the NUL: every shift is at most m.
            const Byte* at = reinterpret_cast<const Byte*>(
                find_byte_or_end(reinterpret_cast<const char*>(text + j), x[0]));
            if (*at == 0) return nullptr;
            j = at - text;
        }
        if (known < j + m && !reach(text, known, ended, j + m)) return nullptr;
        const Byte* y = text + j;
        if (memory < 0 && y[cut + 1] != x[cut + 1]) {
            // The first byte of the right part differs: the windows that
            // follow fail the same way until the text holds that byte there,
            // so look for it a word at a time (a NUL on the way ends every
            // window to come). y[cut + 2] is at or before the NUL.
            const Byte* at = reinterpret_cast<const Byte*>(
                find_byte_or_end(reinterpret_cast<const char*>(y + cut + 2), x[cut + 1]));
            if (*at == 0) return nullptr;
            if (at - text >= known) known = at - text + 1;
            j = at - text - cut - 1;
            continue;
        }
        long i = (cut > memory ? cut : memory) + 1;
        while (i < m && x[i] == y[i]) ++i;
        if (i < m) {
            j += i - cut;
            memory = -1;
            continue;
        }
        i = cut;
        while (i > memory && x[i] == y[i]) --i;
        if (i <= memory) return reinterpret_cast<char*>(const_cast<Byte*>(y));
        j += period;
        if (periodic) memory = m - period - 1;
    }
}

}  // namespace

extern "C" char* strstr(const char* s, const char* needle) {
    if (s == nullptr || needle == nullptr) return nullptr;
    if (*needle == 0) return const_cast<char*>(s);
    // Straight to the first place that holds the needle's first byte.
    s = find_byte_or_end(s, static_cast<unsigned char>(needle[0]));
    if (*s == 0) return nullptr;
    if (needle[1] == 0) return const_cast<char*>(s);
    return two_way(reinterpret_cast<const Byte*>(s), reinterpret_cast<const Byte*>(needle));
}
