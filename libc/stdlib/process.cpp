// Process exit, the (empty) environment, the pseudo-random generator and the
// error texts.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "src/trap.h"

extern "C" {
// The generator's state and whether it has been seeded; seeding is permanent.
unsigned int g_rand_state = 1;
unsigned int g_rand_seeded;
extern unsigned int g_heap_used;
}

namespace {

// The 32-bit hash finaliser that spreads the self-seed's bits.
inline unsigned lowbias32(unsigned x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

// A seed that differs from run to run: the time-stamp counter, where the
// stack lies and where the heap's fill level lies.
unsigned self_seed() {
    unsigned lo, hi;
    asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
    volatile unsigned local = 0;
    unsigned x = nuv::word(&local) ^ nuv::word(&g_heap_used) ^ (hi * 1664525u) ^ lo;
    x ^= 0x9e3779b9u;
    x = lowbias32(x);
    return x != 0 ? x : 1u;
}

}  // namespace

extern "C" void exit(int status) {
    _exit(status);
}

extern "C" void abort(void) {
    _exit(1);
}

// Exit handlers are accepted but never kept or run.
extern "C" int atexit(void (*)(void)) {
    return 0;
}

// The process has no environment.
extern "C" char* getenv(const char*) {
    return nullptr;
}

extern "C" void srand(unsigned int seed) {
    g_rand_seeded = 1;
    g_rand_state = seed != 0 ? seed : 1u;
}

extern "C" int rand(void) {
    if (!g_rand_seeded) {
        g_rand_state = self_seed();
        g_rand_seeded = 1;
    }
    g_rand_state = g_rand_state * 1103515245u + 12345u;
    return static_cast<int>((g_rand_state >> 16) & 0x7fffu);
}

extern "C" char* strerror(int code) {
    const char* text;
    switch (code) {
        case 0:
            text = "ok";
            break;
        case NUV_ENOENT:
            text = "no such file";
            break;
        case NUV_EINVAL:
            text = "invalid argument";
            break;
        case NUV_ENOSYS:
            text = "not implemented";
            break;
        default:
            text = "error";
            break;
    }
    // The texts are shared constants; callers must not change them.
    return const_cast<char*>(text);
}
