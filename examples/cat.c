/* cat [FILE...]: copies each file, or standard input, to standard output. */
#include <stdio.h>
#include <unistd.h>

#include "util.h"

static int copy(int fd, const char* name) {
    char buf[4096];
    int n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        if (fwrite(buf, 1, (size_t)n, stdout) != (size_t)n) return 1;
    }
    if (n < 0) {
        complain("cat", name, n);
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    int status = 0;
    if (argc < 2) return copy(0, "-");
    for (int i = 1; i < argc; ++i) {
        int fd = open_input("cat", argv[i]);
        if (fd < 0) {
            status = 1;
            continue;
        }
        status |= copy(fd, argv[i]);
        if (fd > 0) close(fd);
    }
    return status;
}
