// Copying and joining strings. Null arguments get the fixed results below;
// destinations must be large enough, as strcpy and strcat do not bound writes.
#include <stdint.h>
#include <string.h>

#include "string/words.h"

namespace {

using namespace nuv;

// Copies src through its NUL to d: whole words while src's aligned words hold
// no NUL, single bytes around them.
inline void copy_through_nul(char* d, const char* s) {
    for (; !words::is_aligned(s); ++s, ++d) {
        if ((*d = *s) == 0) return;
    }
    for (uint32_t v; words::zero_bytes(v = words::aligned_at(s)) == 0; s += 4, d += 4) {
        words::store_unaligned(d, v);
    }
    while ((*d++ = *s++) != 0) {
    }
}

// The NUL that ends s, found by aligned words.
inline char* end_of(char* s) {
    for (; !words::is_aligned(s); ++s) {
        if (*s == 0) return s;
    }
    uint32_t zeros;
    while ((zeros = words::zero_bytes(words::aligned_at(s))) == 0) s += 4;
    return s + (__builtin_ctz(zeros) >> 3);
}

}  // namespace

extern "C" char* strcpy(char* dst, const char* src) {
    if (dst == nullptr) return nullptr;
    if (src == nullptr) {
        dst[0] = 0;
        return dst;
    }
    copy_through_nul(dst, src);
    return dst;
}

extern "C" char* strncpy(char* dst, const char* src, size_t n) {
    if (dst == nullptr || n == 0) return dst;
    size_t i = 0;
    if (src != nullptr) {
        for (; i < n && src[i] != 0; ++i) dst[i] = src[i];
    }
    // The source ended first (or there is none): pad with zero bytes up to n.
    for (; i < n; ++i) dst[i] = 0;
    return dst;
}

extern "C" char* strcat(char* dst, const char* src) {
    if (dst == nullptr) return nullptr;
    if (src == nullptr) return dst;
    copy_through_nul(end_of(dst), src);
    return dst;
}

extern "C" char* strncat(char* dst, const char* src, size_t n) {
    if (dst == nullptr) return nullptr;
    if (src == nullptr || n == 0) return dst;
    char* d = dst;
    while (*d) ++d;
    for (size_t i = 0; i < n && src[i] != 0; ++i) *d++ = src[i];
    *d = 0;
    return dst;
}
