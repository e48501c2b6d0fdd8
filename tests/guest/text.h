// Small output helpers for the test commands: whole strings and numbers
// straight to a descriptor.
#ifndef NUV_TEST_GUEST_TEXT_H
#define NUV_TEST_GUEST_TEXT_H

#include <string.h>
#include <unistd.h>

inline void say(int fd, const char* s) {
    write(fd, s, strlen(s));
}

inline void say_number(int fd, int v) {
    char digits[12];
    int n = 0;
    unsigned u = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0) say(fd, "-");
    char out[12];
    for (int i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    write(fd, out, static_cast<size_t>(n));
}

inline int to_number(const char* s) {
    int sign = 1, v = 0;
    if (*s == '-') {
        sign = -1;
        ++s;
    }
    while (*s >= '0' && *s <= '9') v = v * 10 + (*s++ - '0');
    return sign * v;
}

// "what = result" on a line of standard output; gives the result back.
inline int show(const char* what, int result) {
    say(1, what);
    say(1, " = ");
    say_number(1, result);
    say(1, "\n");
    return result;
}

#endif
