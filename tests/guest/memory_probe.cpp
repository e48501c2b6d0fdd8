// Guest helpers for the memory and heap tests and the memory benchmark: plain
// byte loops compiled with the library's own flags, and a tight allocation loop.
#include <stddef.h>
#include <stdlib.h>

extern "C" {

void* probe_bytes_memcpy(void* dst, const void* src, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(dst);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    for (size_t i = 0; i < n; ++i) d[i] = s[i];
    return dst;
}

void* probe_bytes_memmove(void* dst, const void* src, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(dst);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    if (d == s || n == 0) return dst;
    if (d < s) {
        for (size_t i = 0; i < n; ++i) d[i] = s[i];
    } else {
        for (size_t i = n; i > 0; --i) d[i - 1] = s[i - 1];
    }
    return dst;
}

void* probe_bytes_memset(void* dst, int c, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(dst);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(c);
    return dst;
}

// The processor flags as the caller sees them.
unsigned probe_flags(void) {
    unsigned flags;
    asm volatile("pushfl\n\tpopl %0" : "=r"(flags));
    return flags;
}

// Calls malloc(size) until it fails; returns the number of blocks it gave
// and stores the last one in *last.
unsigned probe_malloc_until_null(size_t size, void** last) {
    unsigned count = 0;
    for (;;) {
        void* p = malloc(size);
        if (p == nullptr) return count;
        *last = p;
        ++count;
    }
}
}

// Memory beyond the heap through the usual names: maps `pages` pages, fills
// them, checks them and gives them back. 0 when all went well; else the step
// that failed.
#include <sys/mman.h>

extern "C" int probe_mapped_pages(size_t pages) {
    const size_t n = pages * 4096;
    void* p = mmap(NULL, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return 1;
    unsigned char* b = static_cast<unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 7);
    for (size_t i = 0; i < n; ++i) {
        if (b[i] != static_cast<unsigned char>(i * 7)) return 2;
    }
    if (munmap(p, n) != 0) return 3;
    // Never writable and executable at once; never without MAP_ANONYMOUS.
    if (mmap(NULL, 4096, PROT_WRITE | PROT_EXEC, MAP_ANONYMOUS, -1, 0) != MAP_FAILED) return 4;
    if (mmap(NULL, 4096, PROT_READ, MAP_PRIVATE, -1, 0) != MAP_FAILED) return 5;
    return 0;
}
