// Length and comparison. A pointer below 4096 counts as no string for the
// length functions and the case-sensitive comparisons.
#include <string.h>

namespace {

constexpr unsigned kNullPage = 4096;

inline bool no_string(const void* p) {
    return reinterpret_cast<__UINTPTR_TYPE__>(p) < kNullPage;
}

typedef unsigned Word __attribute__((may_alias));

inline unsigned fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32u : c;
}

}  // namespace

extern "C" size_t strlen(const char* s) {
    if (no_string(s)) return 0;
    // Whole aligned words: an aligned word never crosses a page boundary, so
    // reading the bytes of its word before s or past the NUL is always safe.
    // The bytes of the first word that lie before s are forced non-zero.
    unsigned offset = reinterpret_cast<__UINTPTR_TYPE__>(s) & 3;
    const Word* w = reinterpret_cast<const Word*>(s - offset);
    unsigned v = *w | ((1u << (offset * 8)) - 1);
    unsigned zeros;
    while ((zeros = (v - 0x01010101u) & ~v & 0x80808080u) == 0) v = *++w;
    // The lowest flagged byte is the first NUL (borrows only flag bytes above it).
    const char* nul = reinterpret_cast<const char*>(w) + (__builtin_ctz(zeros) >> 3);
    return static_cast<size_t>(nul - s);
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
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    while (*x && *x == *y) ++x, ++y;
    return static_cast<int>(*x) - static_cast<int>(*y);
}

extern "C" int strncmp(const char* a, const char* b, size_t n) {
    if (n == 0 || a == b) return 0;
    if (no_string(a)) return -1;
    if (no_string(b)) return 1;
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    for (size_t k = 0; k < n; ++k) {
        if (x[k] != y[k] || x[k] == 0) return static_cast<int>(x[k]) - static_cast<int>(y[k]);
    }
    return 0;
}

extern "C" int memcmp(const void* a, const void* b, size_t n) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (size_t k = 0; k < n; ++k) {
        if (x[k] != y[k]) return static_cast<int>(x[k]) - static_cast<int>(y[k]);
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
