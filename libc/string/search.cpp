// Searching strings. Bytes compare as unsigned values; a byte given as int is
// used through its low 8 bits.
#include <string.h>

extern "C" char* strchr(const char* s, int c) {
    if (s == nullptr) return nullptr;
    const char want = static_cast<char>(c);
    for (;; ++s) {
        if (*s == want) return const_cast<char*>(s);
        if (*s == 0) return nullptr;
    }
}

extern "C" char* strrchr(const char* s, int c) {
    if (s == nullptr) return nullptr;
    const char want = static_cast<char>(c);
    const char* last = nullptr;
    for (;; ++s) {
        if (*s == want) last = s;
        if (*s == 0) return const_cast<char*>(last);
    }
}

extern "C" char* strstr(const char* s, const char* needle) {
    if (s == nullptr || needle == nullptr) return nullptr;
    if (*needle == 0) return const_cast<char*>(s);
    for (; *s; ++s) {
        if (*s != *needle) continue;
        size_t i = 1;
        while (needle[i] != 0 && s[i] == needle[i]) ++i;
        if (needle[i] == 0) return const_cast<char*>(s);
    }
    return nullptr;
}
