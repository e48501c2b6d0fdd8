// Copying and joining strings. Null arguments get the fixed results below;
// destinations must be large enough, as strcpy and strcat do not bound writes.
#include <string.h>

extern "C" char* strcpy(char* dst, const char* src) {
    if (dst == nullptr) return nullptr;
    if (src == nullptr) {
        dst[0] = 0;
        return dst;
    }
    char* d = dst;
    while ((*d++ = *src++) != 0) {
    }
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
    char* d = dst;
    while (*d) ++d;
    while ((*d++ = *src++) != 0) {
    }
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
