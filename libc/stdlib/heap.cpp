// The heap: a fixed 1 MiB arena in zero-initialised data, handed out front to
// back. Nothing is ever given back, so free does nothing.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
alignas(8) unsigned char g_heap[1u << 20];
unsigned int g_heap_used;
}

namespace {

constexpr unsigned kHeapSize = sizeof(g_heap);

// Block length for a recorded size n: n plus the size word, rounded up to 8.
// Sizes whose block could not fit in the arena report 0 (never a real length),
// which also keeps the arithmetic clear of 32-bit wrap-around.
inline unsigned block_length(unsigned n) {
    if (n > kHeapSize) return 0;
    return (n + 4u + 7u) & ~7u;
}

inline bool fits(unsigned length) {
    return length != 0 && length <= kHeapSize - g_heap_used;
}

// Takes a block for recorded size n whose length has been checked to fit.
inline void* take(unsigned n, unsigned length) {
    unsigned char* block = g_heap + g_heap_used;
    *reinterpret_cast<unsigned*>(block) = n;
    g_heap_used += length;
    return block + 4;
}

inline void* fail() {
    errno = ENOMEM;
    return nullptr;
}

}  // namespace

extern "C" void* malloc(size_t size) {
    unsigned n = size == 0 ? 1u : size;
    unsigned length = block_length(n);
    if (!fits(length)) return fail();
    return take(n, length);
}

extern "C" void* calloc(size_t count, size_t size) {
    if (count == 0 || size == 0) return malloc(0);
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) return fail();
    unsigned length = block_length(total);
    if (!fits(length)) return fail();
    void* p = take(total, length);
    memset(p, 0, total);
    return p;
}

extern "C" void* realloc(void* p, size_t size) {
    unsigned n = size == 0 ? 1u : size;
    unsigned length = block_length(n);
    if (!fits(length)) return fail();
    if (p == nullptr) return malloc(size);
    unsigned old = *(static_cast<unsigned*>(p) - 1);
    void* q = take(n, length);
    memcpy(q, p, old < n ? old : n);
    return q;
}

extern "C" void free(void*) {}
