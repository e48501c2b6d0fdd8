// Native timings of the library's string, block, formatting and conversion
// functions beside musl's (when the benchmark was built with it) and the
// host's glibc, all in this one 32-bit program. The library's target objects
// are linked in with every public name prefixed nuv_, musl's with musl_.
// glibc is timed twice: as it chooses its variants, and again (in a child
// run) with SSE and its successors masked off, so that it uses its plain
// x86 variants. Then the emulator's figures follow (emu_bench).
//
// Usage: native_bench            the whole report
//        native_bench --glibc    glibc's figures only, one "row ns" per line
// Not a test: figures depend on the machine and its load.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include <cerrno>

#include "bench_cases.h"

using namespace nuvbench;

typedef uint32_t (*WordFn)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);
typedef double (*DoubleFn)(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t);

#define NUV_BENCH_FUNCTIONS(X) \
    X(memcpy)                  \
    X(memmove)                 \
    X(memset)                  \
    X(strchr)                  \
    X(strrchr) X(strcpy) X(strcmp) X(memcmp) X(strstr) X(snprintf) X(strtod) X(sscanf) X(strtol)

#define DECLARE(prefix, name) extern "C" void prefix##name();
#define NUV_DECLARE(name) DECLARE(nuv_, name)
NUV_BENCH_FUNCTIONS(NUV_DECLARE)
#define NUV_ENTRY(name) reinterpret_cast<void*>(&nuv_##name),
#ifdef NUV_BENCH_MUSL
#define MUSL_DECLARE(name) DECLARE(musl_, name)
NUV_BENCH_FUNCTIONS(MUSL_DECLARE)
#define MUSL_ENTRY(name) reinterpret_cast<void*>(&musl_##name),
#endif

// musl's code finds errno through this (see musl_errno.cpp).
extern "C" int* nuvbench_errno_location() {
    return &errno;
}

namespace {

// Plain byte loops with the same flags: the yardstick of the word-at-a-time
// functions.
extern "C" __attribute__((noinline)) char* byte_strchr(const char* s, int c) {
    for (;; ++s) {
        if (*s == static_cast<char>(c)) return const_cast<char*>(s);
        if (*s == 0) return nullptr;
    }
}
extern "C" __attribute__((noinline)) int byte_strcmp(const char* a, const char* b) {
    const unsigned char *x = reinterpret_cast<const unsigned char*>(a),
                        *y = reinterpret_cast<const unsigned char*>(b);
    while (*x && *x == *y) ++x, ++y;
    return *x - *y;
}
extern "C" __attribute__((noinline)) int byte_memcmp(const void* a, const void* b, size_t n) {
    const unsigned char *x = static_cast<const unsigned char*>(a),
                        *y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) return x[i] - y[i];
    }
    return 0;
}

struct Impl {
    const char* name;
    void* fn[kFnCount];
};

const Impl kNuv = {"ours", {NUV_BENCH_FUNCTIONS(NUV_ENTRY)}};
#ifdef NUV_BENCH_MUSL
const Impl kMusl = {"musl", {NUV_BENCH_FUNCTIONS(MUSL_ENTRY)}};
#endif
// glibc's functions as its resolver chose them for this processor.
Impl glibc_functions() {
    Impl impl{"glibc", {}};
    for (int f = 0; f < kFnCount; ++f) impl.fn[f] = dlsym(RTLD_DEFAULT, kFnNames[f]);
    return impl;
}
const Impl kGlibc = glibc_functions();

alignas(4096) uint8_t g_area[kArea];
volatile uint32_t g_sink;
volatile double g_sink_double;

double now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

constexpr int kRounds = 15;

// Best of kRounds rounds of ns per call; a round lasts about a millisecond.
double time_call(void* fn, bool returns_double, const Case& c) {
    Place place{g_area, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(g_area))};
    Args a;
    c.setup(place, a);
    const uint32_t* w = a.w;
    auto run = [&](long n) {
        if (returns_double) {
            DoubleFn f = reinterpret_cast<DoubleFn>(fn);
            for (long i = 0; i < n; ++i) g_sink_double = f(w[0], w[1], w[2], w[3], w[4], w[5]);
        } else {
            WordFn f = reinterpret_cast<WordFn>(fn);
            for (long i = 0; i < n; ++i) g_sink = f(w[0], w[1], w[2], w[3], w[4], w[5]);
        }
    };
    long n = 1;
    for (;;) {
        double t0 = now_ns();
        run(n);
        if (now_ns() - t0 > 1e6 || n > (1L << 24)) break;
        n *= 2;
    }
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        double t0 = now_ns();
        run(n);
        double t = (now_ns() - t0) / n;
        if (t < best) best = t;
    }
    return best;
}

// The first row that times the function.
int first_row(Fn fn) {
    int row = 0;
    while (kCases[row].fn != fn) ++row;
    return row;
}

double time_row(const Impl& impl, int row) {
    const Case& c = kCases[row];
    return time_call(impl.fn[c.fn], c.returns_double, c);
}

// glibc's figures with its SSE variants masked off, from a child run.
bool glibc_plain(double* out) {
    // The shell that popen starts would read /proc/self/exe as itself.
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0) return false;
    self[len] = 0;
    std::string masked =
        "GLIBC_TUNABLES=glibc.cpu.hwcaps=-SSE2,-SSSE3,-SSE4_1,-SSE4_2,-AVX,-AVX2,"
        "-AVX512F,-AVX512BW,-AVX512VL,-AVX_Fast_Unaligned_Load,-Fast_Unaligned_Load '" +
        std::string(self) + "' --glibc";
    std::FILE* child = popen(masked.c_str(), "r");
    if (child == nullptr) return false;
    int row;
    double ns;
    int seen = 0;
    while (std::fscanf(child, "%d %lf", &row, &ns) == 2) {
        if (row >= 0 && row < kCaseCount) out[row] = ns, ++seen;
    }
    return pclose(child) == 0 && seen == kCaseCount;
}

void print_ratio(double ours, double other) {
    if (std::isnan(other)) {
        std::printf(" %7s", "-");
    } else {
        std::printf(" %6.2fx", other / ours);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--glibc") == 0) {
        for (int row = 0; row < kCaseCount; ++row) {
            std::printf("%d %.3f\n", row, time_row(kGlibc, row));
        }
        return 0;
    }
    double plain[kCaseCount];
    for (double& p : plain) p = NAN;
    bool have_plain = glibc_plain(plain);

    std::printf(
        "Native, ns per call (best of %d); ratios: their time / ours (above 1: ours is faster)\n",
        kRounds);
#ifndef NUV_BENCH_MUSL
    std::printf(
        "musl: not built in (no i386 libc.a of musl was found when the build was configured)\n");
#endif
    if (!have_plain) std::printf("glibc without SSE: the child run failed\n");
    std::printf("%-44s %9s %9s %9s %9s %8s %8s %8s\n", "case", "ours", "musl", "glibc", "glibc-p",
                "musl/o", "glibc/o", "glibc-p/o");
    for (int row = 0; row < kCaseCount; ++row) {
        double ours = time_row(kNuv, row);
#ifdef NUV_BENCH_MUSL
        double musl = time_row(kMusl, row);
#else
        double musl = NAN;
#endif
        double glibc = time_row(kGlibc, row);
        std::printf("%-44s %9.1f %9.1f %9.1f %9.1f", kCases[row].name, ours, musl, glibc,
                    plain[row]);
        print_ratio(ours, musl);
        print_ratio(ours, glibc);
        print_ratio(ours, plain[row]);
        std::printf("\n");
    }
    std::printf("(glibc-p: glibc with SSE and later extensions masked off)\n\n");

    // The word-at-a-time functions against plain byte loops.
    struct Yardstick {
        int row;
        void* byte_loop;
    };
    const Yardstick sticks[] = {
        {first_row(kStrchr), reinterpret_cast<void*>(&byte_strchr)},
        {first_row(kStrcmp), reinterpret_cast<void*>(&byte_strcmp)},
        {first_row(kMemcmp), reinterpret_cast<void*>(&byte_memcmp)},
    };
    std::printf("%-44s %9s %9s %8s\n", "against a byte loop", "ours", "bytes", "bytes/o");
    for (const Yardstick& y : sticks) {
        const Case& c = kCases[y.row];
        double ours = time_row(kNuv, y.row);
        double bytes = time_call(y.byte_loop, false, c);
        std::printf("%-44s %9.1f %9.1f %7.2fx\n", c.name, ours, bytes, bytes / ours);
    }
    std::fflush(stdout);

#ifdef NUV_BENCH_EMU
    std::printf("\n");
    std::fflush(stdout);
    return std::system(NUV_BENCH_EMU) == 0 ? 0 : 1;
#else
    return 0;
#endif
}
