#include "util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* The kernel returns its errors as negative results, the negated <errno.h>
 * codes; these are the ones an input file can meet. */
static const char* reason(int error) {
    switch (error) {
        case -ENOENT:
            return "no such file";
        case -EACCES:
            return "permission denied";
        case -ENOTDIR:
            return "not a directory";
        case -EISDIR:
            return "is a directory";
        case -ENAMETOOLONG:
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
