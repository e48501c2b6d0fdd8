// perror: one line describing errno, written where standard error writes (the
// stream that stderr points at, descriptor 1 unless a command changed it).
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "stdio/internal.h"

extern "C" void perror(const char* prefix) {
    const char* text = strerror(errno);
    char line[256];
    size_t n = 0;
    // The whole line in one write when it fits, so that it is not split up.
    auto add = [&](const char* s) {
        for (; *s; ++s) {
            if (n == sizeof line) {
                file_write_bytes(stderr, line, n);
                n = 0;
            }
            line[n++] = *s;
        }
    };
    if (prefix != nullptr && *prefix != 0) {
        add(prefix);
        add(": ");
    }
    add(text);
    add("\n");
    file_write_bytes(stderr, line, n);
}
