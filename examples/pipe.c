/* pipe COMMAND [ARG...] '|' COMMAND [ARG...]: runs two commands with the
 * first one's standard output joined to the second one's standard input, and
 * ends with the second one's exit status. The commands are image paths inside
 * the root. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "util.h"

int main(int argc, char** argv) {
    int bar = 1;
    while (bar < argc && strcmp(argv[bar], "|") != 0) ++bar;
    if (bar == 1 || bar >= argc - 1) {
        fputs("usage: pipe COMMAND [ARG...] '|' COMMAND [ARG...]\n", stderr);
        return 2;
    }
    int fds[2];
    int r = pipe(fds);
    if (r != 0) {
        complain("pipe", "pipe", r);
        return 2;
    }
    /* Descriptors -1: the child keeps ours. */
    int first = spawn_ex(argv[1], argv + 1, bar - 1, -1, fds[1], -1, 0);
    int second = spawn_ex(argv[bar + 1], argv + bar + 1, argc - bar - 1, fds[0], -1, -1, 0);
    /* Only the children may hold the ends now, so that the reader sees the end. */
    close(fds[0]);
    close(fds[1]);
    if (first < 0) complain("pipe", argv[1], first);
    if (second < 0) complain("pipe", argv[bar + 1], second);
    int status = 2, ignored = 0;
    if (first > 0) waitpid(first, &ignored, 0);
    if (second > 0 && waitpid(second, &status, 0) != second) status = 2;
    return first < 0 || second < 0 ? 2 : status;
}
