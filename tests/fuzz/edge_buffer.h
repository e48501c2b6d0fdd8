// Buffers that end right before an inaccessible page, so that reading or
// storing one byte past their end faults at once.
#ifndef NUV_FUZZ_EDGE_BUFFER_H
#define NUV_FUZZ_EDGE_BUFFER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace nuvfuzz {

// Aborts with a one-line reason: libFuzzer reports it as a crash with the input.
[[noreturn]] inline void fail(const char* what) {
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

class EdgeBuffer {
  public:
    static constexpr size_t kCapacity = 64 * 1024;

    // With `negative` the buffer lies where the low 32 bits of its addresses
    // read as a negative int (the formatter targets pass pointers that a
    // format may take as a width).
    explicit EdgeBuffer(bool negative = false) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t span = kCapacity + page_;
        uintptr_t mask = 0;
        if (negative && sizeof(uintptr_t) > 4) {
            // Reserve 4 GiB of address space and use the spot in it whose
            // low word is 0x80000000.
            span = (size_t{1} << 32) + 2 * (kCapacity + page_);
            mask = 0xFFFFFFFFu;
        }
        void* p = mmap(nullptr, span, mask ? PROT_NONE : PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) fail("cannot map an edge buffer");
        base_ = static_cast<char*>(p);
        if (mask) {
            uintptr_t start = reinterpret_cast<uintptr_t>(p);
            uintptr_t at = (start & ~mask) | 0x80000000u;
            if (at < start) at += mask + 1;
            base_ = reinterpret_cast<char*>(at);
            if (mprotect(base_, kCapacity, PROT_READ | PROT_WRITE) != 0) fail("mprotect");
        } else if (mprotect(base_ + kCapacity, page_, PROT_NONE) != 0) {
            fail("mprotect");
        }
        if (negative && (reinterpret_cast<uintptr_t>(base_) & 0x80000000u) == 0) {
            fail("no edge buffer at a negative low word");
        }
    }
    EdgeBuffer(const EdgeBuffer&) = delete;
    EdgeBuffer& operator=(const EdgeBuffer&) = delete;

    // n bytes (n <= kCapacity) whose last byte is the last accessible one.
    char* place(size_t n) { return base_ + kCapacity - n; }
    // A copy of data followed by a NUL, ending at the edge.
    char* place_string(const void* data, size_t n) {
        char* p = place(n + 1);
        if (n != 0) memcpy(p, data, n);
        p[n] = 0;
        return p;
    }
    uintptr_t end() const { return reinterpret_cast<uintptr_t>(base_ + kCapacity); }

  private:
    size_t page_ = 4096;
    char* base_ = nullptr;
};

#define NUV_CHECK(cond)                    \
    do {                                   \
        if (!(cond)) nuvfuzz::fail(#cond); \
    } while (0)

}  // namespace nuvfuzz

#endif
