#include "util.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* The kernel returns its errors as negative results; these are the ones an
 * input file can meet. */
static const char* reason(int error) {
    switch (error) {
        case -2:
            return "no such file";
        case -13:
            return "permission denied";
        case -20:
            return "not a directory";
        case -21:
            return "is a directory";
        case -36:
            return "name too long";
        default:
            return "cannot open";
    }
}

void complain(const char* command, const char* what, int error) {
    /* Standard error writes to descriptor 1, like standard output. */
    fprintf(stderr, "%s: %s: %s\n", command, what, reason(error));
}

int open_input(const char* command, const char* path) {
    if (strcmp(path, "-") == 0) return 0;
    int fd = open(path, O_RDONLY);
    if (fd < 0) complain(command, path, fd);
    return fd;
}
