// Length and comparison. A pointer below 4096 counts as no string for the
// length functions and the case-sensitive comparisons.
#include <string.h>

namespace {

constexpr unsigned kNullPage = 4096;

inline bool no_string(const void* p) {
    return reinterpret_cast<__UINTPTR_TYPE__>(p) < kNullPage;
}

inline unsigned fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32u : c; }

}  // namespace

extern "C" size_t strlen(const char* s) {
    if (no_string(s)) return 0;
    const char* p = s;
    while (*p) ++p;
    return static_cast<size_t>(p - s);
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
