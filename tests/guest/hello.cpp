// hello [TEXT [STATUS]]: writes TEXT (or "hello") and a newline, ends with STATUS.
// hello -cat: copies standard input to standard output.
// hello -open [PATH...]: opens each PATH, then each line of standard input as a
// path, and writes "open PATH = result" for each.
// hello -drain: reads standard input to its end and writes how many bytes came.
// hello -spin: never ends.
// hello -rand: writes three numbers from the self-seeding generator.
// hello -hog N PATH: starts N copies of PATH (hello) as "hello -touch", one at a time,
// all kept alive until the last has reported, and writes how many got their
// memory, how many did not and how many could not start (with the error).
// hello -touch: maps 64 MiB, writes to every page of it, writes "y" (or "n"
// without the memory) and waits for the end of its input.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <nuvos/kernel.h>
#include <unistd.h>

#include "text.h"

extern "C" int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "hello";
    if (strcmp(mode, "-cat") == 0 || strcmp(mode, "-drain") == 0) {
        char buf[512];
        int total = 0;
        for (;;) {
            int n = read(0, buf, sizeof buf);
            if (n <= 0) break;
            total += n;
            if (mode[1] == 'c') write(1, buf, static_cast<size_t>(n));
        }
        if (mode[1] == 'd') {
            say_number(1, total);
            say(1, "\n");
        }
        return 0;
    }
    if (strcmp(mode, "-open") == 0) {
        auto try_open = [](const char* path) {
            say(1, "open ");
            say(1, path);
            int fd = show("", open(path, O_RDONLY));
            if (fd >= 0) close(fd);
        };
        for (int i = 2; i < argc; ++i) try_open(argv[i]);
        char line[512];
        int n = 0;
        char c = 0;
        while (read(0, &c, 1) == 1) {
            if (c != '\n' && n + 1 < static_cast<int>(sizeof line)) {
                line[n++] = c;
                continue;
            }
            line[n] = 0;
            if (n > 0) try_open(line);
            n = 0;
        }
        return 0;
    }
    if (strcmp(mode, "-rand") == 0) {
        for (int i = 0; i < 3; ++i) {
            say_number(1, rand());
            say(1, i < 2 ? " " : "\n");
        }
        return 0;
    }
    if (strcmp(mode, "-spin") == 0) {
        for (;;) asm volatile("");
    }
    if (strcmp(mode, "-touch") == 0) {
        const size_t size = 64u << 20;
        char* p = static_cast<char*>(
            mmap(nullptr, size, NUV_PROT_READ | NUV_PROT_WRITE, NUV_MAP_ANONYMOUS, -1, 0));
        bool ok = p != reinterpret_cast<char*>(-1);
        if (ok) {
            for (size_t i = 0; i < size; i += 4096) p[i] = 1;
        }
        write(1, ok ? "y" : "n", 1);
        char c;
        while (read(0, &c, 1) > 0) {
        }
        return ok ? 0 : 1;
    }
    if (strcmp(mode, "-hog") == 0 && argc > 3) {
        int in[2], ready[2];
        if (pipe(in) != 0 || pipe(ready) != 0) return 1;
        char touch[] = "-touch";
        char* child[] = {argv[3], touch, nullptr};
        int pids[64], started = 0, touched = 0, refused = 0, error = 0;
        for (int i = 0; i < to_number(argv[2]) && i < 64; ++i) {
            fd_set_stdio(in[0], ready[1], -1);
            int pid = spawn(argv[3], child, 2);
            fd_set_stdio(-1, -1, -1);
            if (pid < 0) {
                ++refused;
                error = pid;
                continue;
            }
            pids[started++] = pid;
            char c = 0;
            if (read(ready[0], &c, 1) == 1 && c == 'y') ++touched;
        }
        close(in[1]);
        for (int i = 0; i < started; ++i) waitpid(pids[i], nullptr, 0);
        say_number(1, touched);
        say(1, " touched, ");
        say_number(1, started - touched);
        say(1, " without memory, ");
        say_number(1, refused);
        say(1, " not started (");
        say_number(1, error);
        say(1, ")\n");
        return 0;
    }
    say(1, mode);
    say(1, "\n");
    return argc > 2 ? to_number(argv[2]) : 0;
}
