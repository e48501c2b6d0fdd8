// Text to integer conversion and absolute values. Each function has its own
// set of skipped white space and its own sign and prefix rules; overflow wraps
// in unsigned 32-bit arithmetic, and errno is never touched.
#include <stdlib.h>

#include "src/digits.h"

namespace {

using nuv::is_decimal;

}  // namespace

extern "C" int atoi(const char* s) {
    if (s == nullptr) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    while (*p == '\t' || *p == '\n' || *p == ' ') ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        // A sign counts only when a digit follows it at once.
        if (!is_decimal(p[1])) return 0;
        negative = *p == '-';
        ++p;
    }
    unsigned value = 0;
    while (is_decimal(*p)) value = value * 10u + static_cast<unsigned>(*p++ - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

extern "C" long atol(const char* s) {
    return atoi(s);
}

extern "C" unsigned long strtoul(const char* s, char** end, int base) {
    if (s == nullptr) {
        if (end != nullptr) *end = nullptr;
        return 0;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    while (*p == '\t' || *p == '\n' || *p == '\r' || *p == ' ') ++p;
    const bool hex_prefix = p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    if (base == 0) {
        if (hex_prefix) {
            p += 2;
            base = 16;
        } else if (p[0] == '0') {
            // The leading 0 of an octal number is consumed as its prefix.
            p += 1;
            base = 8;
        } else {
            base = 10;
        }
    } else if (base == 16 && hex_prefix) {
        p += 2;
    }
    unsigned value = 0;
    for (;;) {
        int d = nuv::hex_digit_value(*p);
        if (d < 0 || d >= base) break;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        ++p;
    }
    if (end != nullptr) *end = const_cast<char*>(reinterpret_cast<const char*>(p));
    return value;
}

extern "C" long strtol(const char* s, char** end, int base) {
    return static_cast<long>(strtoul(s, end, base));
}

extern "C" int abs(int x) {
    return x < 0 ? static_cast<int>(0u - static_cast<unsigned>(x)) : x;
}

extern "C" long labs(long x) {
    return abs(x);
}
