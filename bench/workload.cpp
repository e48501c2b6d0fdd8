// The workloads of the engine comparison, one per run: the same source is
// built as a NUV-OS image and as a static 32-bit host program.
//   workload ver | memcpy | printf | loop | calls | echo | uniq | spawn | child
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#ifndef NUV_BENCH_GUEST
#include <spawn.h>
#include <sys/wait.h>
#endif

namespace {

char g_from[4096], g_to[4096];

int copies() {
    for (int i = 0; i < 20000; ++i) {
        g_from[i & 4095] = static_cast<char>(i);
        memcpy(g_to, g_from, sizeof g_to);
        __asm__ volatile("" : : "r"(g_to) : "memory");
    }
    return g_to[19999 & 4095] == static_cast<char>(19999) ? 0 : 1;
}

int lines() {
    for (int i = 0; i < 10000; ++i) printf("line %d of %s\n", i, "10000");
    return 0;
}

int loop() {
    unsigned x = 0;
    for (unsigned n = 100000000; n != 0; --n) {
        x = x * 3 + 1;
        __asm__ volatile("" : "+r"(x));
    }
    return x == 0 ? 1 : 0;
}

// A call the kernel answers at once: a write of nothing.
int calls() {
    for (int i = 0; i < 100000; ++i) {
        if (write(1, "", 0) != 0) return 1;
    }
    return 0;
}

// Standard input to standard output a byte at a time, each its own read and
// write.
int echo() {
    char c = 0;
    while (read(0, &c, 1) == 1) {
        if (write(1, &c, 1) != 1) return 1;
    }
    return 0;
}

// Standard input's lines, each written unless it repeats the line before, as
// a new user writes it: fgets and fputs on the standard streams.
int uniq() {
    static char line[2][4096];
    int cur = 0;
    line[1][0] = 0;
    while (fgets(line[cur], sizeof line[cur], stdin) != nullptr) {
        if (strcmp(line[cur], line[1 - cur]) != 0) fputs(line[cur], stdout);
        cur = 1 - cur;
    }
    return 0;
}

int child(const char* self) {
    char* argv[] = {const_cast<char*>(self), const_cast<char*>("child"), nullptr};
    int status = -1;
#ifdef NUV_BENCH_GUEST
    int pid = spawn(self, argv, 2);
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return 1;
#else
    pid_t pid = 0;
    if (posix_spawn(&pid, self, nullptr, nullptr, argv, nullptr) != 0 ||
        waitpid(pid, &status, 0) != pid) {
        return 1;
    }
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    return status == 7 ? 0 : 1;
}

}  // namespace

extern "C" int main(int argc, char** argv) {
    const char* what = argc > 1 ? argv[1] : "ver";
    if (strcmp(what, "ver") == 0) return puts("NUV-OS Release 16") < 0;
    if (strcmp(what, "memcpy") == 0) return copies();
    if (strcmp(what, "printf") == 0) return lines();
    if (strcmp(what, "loop") == 0) return loop();
    if (strcmp(what, "calls") == 0) return calls();
    if (strcmp(what, "echo") == 0) return echo();
    if (strcmp(what, "uniq") == 0) return uniq();
    if (strcmp(what, "spawn") == 0) return child(argc > 2 ? argv[2] : argv[0]);
    if (strcmp(what, "child") == 0) return 7;
    return 2;
}
