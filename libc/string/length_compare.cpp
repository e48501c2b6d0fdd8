// Length and comparison. A pointer below 4096 counts as no string for the
// length functions and the case-sensitive comparisons.
#include <stdint.h>
#include <string.h>

#include "string/words.h"

namespace {

constexpr unsigned kNullPage = 4096;

inline bool no_string(const void* p) {
    return reinterpret_cast<__UINTPTR_TYPE__>(p) < kNullPage;
}

using namespace nuv;

// Compares two strings, at most n (> 0) bytes of them when `bounded`. Four
// bytes at a time while a is at an aligned address and the word of b lies
// inside the page of its first byte (see words.h); single bytes otherwise.
template <bool bounded>
inline int compare(const unsigned char* x, const unsigned char* y, size_t n) {
    const intptr_t to_y = y - x;
    for (;;) {
        if (words::is_aligned(x)) {
            // Every byte before x + to_y is part of b, and so is the byte there.
            size_t words = words::words_in_page(x + to_y);
            if (bounded && words > (n >> 2)) words = n >> 2;
            const unsigned char* start = x;
            for (const unsigned char* stop = x + (words << 2); x != stop; x += 4) {
                uint32_t u = words::aligned_at(x);
                if (u != words::unaligned_at(x + to_y) || words::zero_bytes(u) != 0) break;
            }
            if (bounded) n -= static_cast<size_t>(x - start);
        }
        if (bounded && n == 0) return 0;
        if (*x != x[to_y] || *x == 0) return static_cast<int>(*x) - static_cast<int>(x[to_y]);
        ++x;
        if (bounded) --n;
    }
}

inline unsigned fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32u : c;
}

}  // namespace

extern "C" size_t strlen(const char* s) {
    if (no_string(s)) return 0;
    // Single bytes up to a 4-byte boundary, then whole aligned words: an
    // aligned word never crosses a page boundary, so reading the bytes of the
    // word that holds the NUL is always safe.
    const char* p = s;
    if (__builtin_expect(!words::is_aligned(p), 0)) {
        do {
            if (*p == 0) return static_cast<size_t>(p - s);
        } while (!words::is_aligned(++p));
    }
    // A word whose bytes lie between 1 and 0x80 loses no high bit when one is
    // taken from each byte: such words (all of plain ASCII text) pass with
    // that one test, and only the others are looked at for a zero byte.
    for (;; p += 4) {
        uint32_t v = words::aligned_at(p);
        uint32_t less = v - words::kOnes;
        if (__builtin_expect((less & words::kHighs) == 0, 1)) continue;
        uint32_t zeros = less & ~v & words::kHighs;
        // The lowest flagged byte is the first NUL.
        if (zeros != 0) return static_cast<size_t>(p + (__builtin_ctz(zeros) >> 3) - s);
    }
}

extern "C" size_t strnlen(const char* s, size_t maxlen) {
    if (no_string(s) || maxlen == 0) return 0;
    size_t n = 0;
    while (n < maxlen && s[n]) ++n;
    return n;
}

extern "C" int strcmp(const char* a, const char* b) {
    if (a == b) return 0;
    if (no_string(a)) return -1;
    if (no_string(b)) return 1;
    return compare<false>(reinterpret_cast<const unsigned char*>(a),
                          reinterpret_cast<const unsigned char*>(b), 0);
}

extern "C" int strncmp(const char* a, const char* b, size_t n) {
    if (n == 0 || a == b) return 0;
    if (no_string(a)) return -1;
    if (no_string(b)) return 1;
    return compare<true>(reinterpret_cast<const unsigned char*>(a),
                         reinterpret_cast<const unsigned char*>(b), n);
}

namespace {

// The order of the first differing bytes of two words that differ.
inline int word_order(uint32_t u, uint32_t v) {
    // The lowest differing byte comes first in memory.
    unsigned shift = __builtin_ctz(u ^ v) & ~7u;
    return static_cast<int>((u >> shift) & 0xFF) - static_cast<int>((v >> shift) & 0xFF);
}

}  // namespace

extern "C" int memcmp(const void* a, const void* b, size_t n) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const intptr_t to_b = static_cast<const unsigned char*>(b) - x;
    // n readable bytes on both sides: any word inside them may be read.
    // Sixteen bytes a step while they last, looked at more closely only
    // once some word differs.
    size_t rest = n & 15;  // the bytes left after the steps
    for (const unsigned char* stop = x + (n & ~size_t{15}); x != stop; x += 16) {
        uint32_t d = (words::unaligned_at(x) ^ words::unaligned_at(x + to_b)) |
                     (words::unaligned_at(x + 4) ^ words::unaligned_at(x + 4 + to_b)) |
                     (words::unaligned_at(x + 8) ^ words::unaligned_at(x + 8 + to_b)) |
                     (words::unaligned_at(x + 12) ^ words::unaligned_at(x + 12 + to_b));
        if (d != 0) {
            rest = 16;
            break;
        }
    }
    for (const unsigned char* stop = x + (rest & ~size_t{3}); x != stop; x += 4) {
        uint32_t u = words::unaligned_at(x), v = words::unaligned_at(x + to_b);
        if (u != v) return word_order(u, v);
    }
    for (const unsigned char* end = x + (rest & 3); x != end; ++x) {
        if (*x != x[to_b]) return static_cast<int>(*x) - static_cast<int>(x[to_b]);
    }
    return 0;
}

extern "C" int strcasecmp(const char* a, const char* b) {
    if (a == nullptr && b == nullptr) return 0;
    if (a == nullptr) return -1;
    if (b == nullptr) return 1;
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    for (;; ++x, ++y) {
        unsigned fx = fold(*x), fy = fold(*y);
        if (fx != fy || fx == 0) return static_cast<int>(fx) - static_cast<int>(fy);
    }
}

extern "C" int strncasecmp(const char* a, const char* b, size_t n) {
    if (n == 0 || a == b) return 0;
    if (a == nullptr) return -1;
    if (b == nullptr) return 1;
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    for (size_t k = 0; k < n; ++k) {
        unsigned fx = fold(x[k]), fy = fold(y[k]);
        if (fx != fy || fx == 0) return static_cast<int>(fx) - static_cast<int>(fy);
    }
    return 0;
}
