// The workloads of the engine comparison, one per run: the same source is
// built as a NUV-OS image and as a static 32-bit host program.
//   workload ver | memcpy | words | bytes | printf | loop | sort | calls | echo |
//            uniq | blocks | spawn | child
// The loops that are timed are plain code: no library routine inside them.
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

// A 4 KiB block copied a 32-bit word at a time by a loop of loads and
// stores. Each word passes through an empty asm so that the compiler cannot
// turn the loop into a call of memcpy.
int words() {
    static unsigned from[1024], to[1024];
    for (int i = 0; i < 20000; ++i) {
        from[i & 1023] = static_cast<unsigned>(i);
        for (int w = 0; w < 1024; ++w) {
            unsigned v = from[w];
            __asm__("" : "+r"(v));
            to[w] = v;
        }
        __asm__ volatile("" : : "r"(to) : "memory");
    }
    return to[19999 & 1023] == 19999 ? 0 : 1;
}

// 80 MB of byte stores: a 1 MB buffer filled byte by byte from a simple
// generator 80 times, each fill's bytes counted into a 256-entry table.
int bytes() {
    static unsigned char buf[1000000];
    static unsigned count[256];
    unsigned x = 1;
    for (int pass = 0; pass < 80; ++pass) {
        for (unsigned i = 0; i < sizeof buf; ++i) {
            x = x * 1103515245u + 12345u;
            buf[i] = static_cast<unsigned char>(x >> 24);
        }
        __asm__ volatile("" : : "r"(buf) : "memory");
        for (unsigned i = 0; i < sizeof buf; ++i) ++count[buf[i]];
    }
    unsigned total = 0;
    for (unsigned n : count) total += n;
    return total == 80u * sizeof buf ? 0 : 1;
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

// Bottom-up merge sort of n numbers from `a`, using `b` as much room again;
// returns the one of the two that holds the sorted numbers.
int* merge_sort(int* a, int* b, int n) {
    for (int width = 1; width < n; width *= 2) {
        for (int lo = 0; lo < n; lo += 2 * width) {
            int mid = lo + width < n ? lo + width : n;
            int hi = lo + 2 * width < n ? lo + 2 * width : n;
            int i = lo, j = mid;
            for (int k = lo; k < hi; ++k) {
                if (j >= hi || (i < mid && a[i] <= a[j])) {
                    b[k] = a[i++];
                } else {
                    b[k] = a[j++];
                }
            }
        }
        int* t = a;
        a = b;
        b = t;
    }
    return a;
}

// 200,000 numbers from a simple generator merge-sorted, 5 times.
int sorts() {
    constexpr int n = 200000;
    static int a[n], b[n];
    unsigned x = 12345;
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            a[i] = static_cast<int>(x >> 1);
        }
        const int* sorted = merge_sort(a, b, n);
        for (int i = 1; i < n; ++i) {
            if (sorted[i - 1] > sorted[i]) return 1;
        }
    }
    return 0;
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

// Standard input read in 64 KiB blocks, its newlines counted; the count is
// printed once at the end.
int blocks() {
    static char buf[65536];
    unsigned newlines = 0;
    for (;;) {
        int got = static_cast<int>(read(0, buf, sizeof buf));
        if (got < 0) return 1;
        if (got == 0) break;
        for (int i = 0; i < got; ++i) newlines += buf[i] == '\n';
    }
    return printf("%u lines\n", newlines) < 0 || newlines == 0;
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
    if (strcmp(what, "words") == 0) return words();
    if (strcmp(what, "bytes") == 0) return bytes();
    if (strcmp(what, "printf") == 0) return lines();
    if (strcmp(what, "loop") == 0) return loop();
    if (strcmp(what, "sort") == 0) return sorts();
    if (strcmp(what, "calls") == 0) return calls();
    if (strcmp(what, "echo") == 0) return echo();
    if (strcmp(what, "uniq") == 0) return uniq();
    if (strcmp(what, "blocks") == 0) return blocks();
    if (strcmp(what, "spawn") == 0) return child(argc > 2 ? argv[2] : argv[0]);
    if (strcmp(what, "child") == 0) return 7;
    return 2;
}
