// pipeline PROGRAM [ARG...]: starts PROGRAM with its output into a pipe,
// reads everything it writes, then waits for it and reports both.
#include <unistd.h>

#include "text.h"

extern "C" int main(int argc, char** argv) {
    if (argc < 2) {
        say(1, "usage: pipeline PROGRAM [ARG...]\n");
        return 2;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        say(1, "pipeline: no pipe\n");
        return 1;
    }
    fd_set_stdio(-1, fds[1], -1);
    int pid = spawn(argv[1], argv + 1, argc - 1);
    fd_set_stdio(-1, -1, -1);
    close(fds[1]);  // the child holds the only writing end now
    if (pid < 0) {
        say(1, "pipeline: cannot start ");
        say(1, argv[1]);
        say(1, ": ");
        say_number(1, pid);
        say(1, "\n");
        return 1;
    }
    say(1, "child said: ");
    char buf[256];
    int n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) write(1, buf, static_cast<size_t>(n));
    int status = -1;
    int r = waitpid(pid, &status, 0);
    say(1, "child ");
    say_number(1, r == pid ? pid : r);
    say(1, " ended with ");
    say_number(1, status);
    say(1, "\n");
    return 0;
}
