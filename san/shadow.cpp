// The checks the compiler calls before every load and store of sanitized code
// (__asan_loadN_noabort, __asan_storeN_noabort), the globals' redzones and
// what a bad access is: the redzone it falls in tells the kind, the block,
// global or local variable around it the rest.
#include <string.h>

#include "internal.h"

extern "C" char __nuv_san_image_end[];  // nuvos-san.ld: the end of the image's memory

namespace nuvsan {
namespace {

inline bool in(uint32_t a, uint32_t begin, uint32_t end) {
    return a >= begin && a < end;
}

// Memory the program has without shadow: anonymous mappings and the area
// the host keeps for test data.
inline bool unshadowed_but_usable(uint32_t a) {
    return in(a, kMapBase, kMapEnd) || in(a, kScratchBase, kScratchEnd);
}

// The first byte of [a, a + n) that is not the program's, or 0.
inline uint32_t first_bad(uint32_t a, uint32_t n) {
    if (n <= 8 && (a & 7) + n <= 8) {
        int8_t s = *shadow_of(a);
        if (s == 0 || (s > 0 && static_cast<int>(a & 7) + static_cast<int>(n) <= s)) return 0;
    }
    for (uint32_t i = 0; i < n; ++i) {
        uint32_t b = a + i;
        int8_t s = *shadow_of(b);
        if (s != 0 && (s < 0 || static_cast<int8_t>(b & 7) >= s)) return b;
    }
    return 0;
}

// The redzone value that tells the kind: a partially used granule tells
// nothing, the one after it does.
uint8_t zone_of(uint32_t bad) {
    int8_t s = *shadow_of(bad);
    if (s > 0) s = *shadow_of((bad & ~7u) + 8);
    return static_cast<uint8_t>(s);
}

[[gnu::noinline]] void check_slowly(uint32_t a, uint32_t n, bool write) {
    if (n == 0) return;
    uint32_t last = a + n - 1;
    if (last < a) report(NUV_SAN_WILD, a, n, write, a);
    if (shadowed(a) && shadowed(last)) {
        uint32_t bad = first_bad(a, n);
        if (bad == 0) return;
        switch (zone_of(bad)) {
            case kHeapLeft:
            case kHeapRight:
            case kHeapFreed:
                report(NUV_SAN_HEAP_OVERFLOW, a, n, write, bad);  // refined from the block
            case kStackLeft:
                report(NUV_SAN_STACK_UNDERFLOW, a, n, write, bad);
            case kStackMid:
            case kStackRight:
                report(NUV_SAN_STACK_OVERFLOW, a, n, write, bad);
            case kStackScope:
                report(NUV_SAN_STACK_AFTER_SCOPE, a, n, write, bad);
            case kGlobalRedzone:
                report(NUV_SAN_GLOBAL_OVERFLOW, a, n, write, bad);
            default:
                report(NUV_SAN_POISONED, a, n, write, bad);
        }
    }
    if (unshadowed_but_usable(a) && unshadowed_but_usable(last)) return;
    report(NUV_SAN_WILD, a, n, write, shadowed(a) || unshadowed_but_usable(a) ? last : a);
}

// The common case first: an access within one granule whose 8 bytes are
// all the program's.
inline void check(uint32_t a, uint32_t n, bool write) {
    if ((a & 7) + n <= 8 && shadowed(a) && *shadow_of(a) == 0) return;
    check_slowly(a, n, write);
}

}  // namespace

void check_access(uint32_t a, uint32_t n, bool write) {
    check(a, n, write);
}

bool shadowed(uint32_t a) {
    return in(a, kImageBase, reinterpret_cast<uint32_t>(__nuv_san_image_end)) ||
           in(a, kStackLow, kStackTop);
}

void poison(uint32_t address, uint32_t size, uint8_t value) {
    if (size != 0) __real_memset(shadow_of(address), value, size >> 3);
}

void unpoison(uint32_t address, uint32_t size) {
    __real_memset(shadow_of(address), 0, size >> 3);
    if (size & 7) *shadow_of(address + (size & ~7u)) = static_cast<int8_t>(size & 7);
}

void backtrace(uint32_t fp, uint32_t* out, int n) {
    int i = 0;
    while (i < n && in(fp, kStackLow, kStackTop - 8) && (fp & 3) == 0) {
        const uint32_t* frame = reinterpret_cast<const uint32_t*>(fp);
        if (frame[1] == 0) break;
        out[i++] = frame[1];
        if (frame[0] <= fp) break;
        fp = frame[0];
    }
    for (; i < n; ++i) out[i] = 0;
}

}  // namespace nuvsan

// The compiler's entry points: sized checks, and any size.
#define NUV_SAN_CHECKS(n)                                   \
    extern "C" void __asan_load##n##_noabort(uint32_t a) {  \
        nuvsan::check(a, n, false);                         \
    }                                                       \
    extern "C" void __asan_store##n##_noabort(uint32_t a) { \
        nuvsan::check(a, n, true);                          \
    }
NUV_SAN_CHECKS(1)
NUV_SAN_CHECKS(2)
NUV_SAN_CHECKS(4)
NUV_SAN_CHECKS(8)
NUV_SAN_CHECKS(16)
extern "C" void __asan_loadN_noabort(uint32_t a, uint32_t n) {
    nuvsan::check(a, n, false);
}
extern "C" void __asan_storeN_noabort(uint32_t a, uint32_t n) {
    nuvsan::check(a, n, true);
}

// Before a call that does not return (exit, abort): the frames it abandons
// leave their redzones behind, which the stack below must not inherit.
extern "C" void __asan_handle_no_return() {
    uint32_t sp = reinterpret_cast<uint32_t>(__builtin_frame_address(0));
    uint32_t low = sp - nuvsan::kStackLow > 0x10000 ? sp - 0x10000 : nuvsan::kStackLow;
    nuvsan::poison(low & ~7u, (sp - low) & ~7u, 0);
}

// Variable-length arrays and alloca: redzones around each, cleared when
// the frame's allocations are given back.
extern "C" void __asan_alloca_poison(uint32_t address, uint32_t size) {
    using namespace nuvsan;
    poison(address - 32, 32, kStackLeft);
    unpoison(address, size);
    uint32_t end = (address + size + 7) & ~7u;
    poison(end, ((address + size + 31) & ~31u) + 32 - end, kStackRight);
}
extern "C" void __asan_allocas_unpoison(uint32_t top, uint32_t bottom) {
    if (bottom > top) nuvsan::poison(top & ~7u, (bottom - top) & ~7u, 0);
}

// C++ dynamic initialisation order checks: not done.
extern "C" void __asan_before_dynamic_init(const char*) {}
extern "C" void __asan_after_dynamic_init() {}
