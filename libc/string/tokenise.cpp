// The tokeniser: splits a string in place, one token per call.
#include <string.h>

namespace {

inline bool is_delimiter(char c, const char* delim) {
    for (const char* d = delim; *d; ++d) {
        if (*d == c) return true;
    }
    return false;
}

}  // namespace

extern "C" char* strtok(char* s, const char* delim) {
    // Where the next search begins; null when no tokenisation is under way.
    // Zero-initialised data, so it starts null.
    static char* s_next;
    if (s != nullptr) s_next = s;
    if (s_next == nullptr) return nullptr;
    char* p = s_next;
    if (*p == 0) {
        s_next = nullptr;
        return nullptr;
    }
    // A null and an empty delimiter set both mean: no delimiters at all.
    const bool has_delimiters = delim != nullptr && *delim != 0;
    if (!has_delimiters) {
        s_next = nullptr;
        return p;
    }
    while (*p && is_delimiter(*p, delim)) ++p;
    if (*p == 0) {
        s_next = nullptr;
        return nullptr;
    }
    char* token = p;
    for (; *p; ++p) {
        if (is_delimiter(*p, delim)) {
            *p = 0;
            s_next = p + 1;
            return token;
        }
    }
    s_next = nullptr;
    return token;
}
