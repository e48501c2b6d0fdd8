// The heap of a sanitized image: the library's allocator, wrapped at link
// time (-Wl,--wrap=malloc and the rest, C++ new too, so that the backtraces
// of its blocks miss no frame), with redzones around every block.
// Each block is one block of the library's heap laid out as
//
//   [left redzone: the block's record][the program's bytes][right redzone]
//
// the program's bytes 8-byte aligned, the right redzone at least 16 bytes.
// free() poisons the bytes and records where it was called; since the
// library's free gives nothing back, a freed block is never handed out
// again: every use after free is caught, however late.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "internal.h"

extern "C" {
extern unsigned char g_heap[];
extern unsigned int g_heap_used;
void* __real_malloc(size_t size);
}

namespace nuvsan {
namespace {

constexpr uint32_t kBlockMagic = 0x4B4C424Eu;
enum : uint32_t { kLive = 1, kFreed = 2 };

// The left redzone. The library's block begins 4 bytes past a multiple of 8
// (its size word before it), so 92 bytes put the program's on a multiple of 8.
struct Header {
    uint32_t magic, size, state;
    uint32_t alloc[NUV_SAN_FRAMES];
    uint32_t freed[NUV_SAN_FRAMES];
    uint32_t unused[(92 - 12 - 8 * NUV_SAN_FRAMES) / 4];
};
static_assert(sizeof(Header) == 92, "the left redzone");
constexpr uint32_t kRightMin = 16;

inline uint32_t right_of(uint32_t size) {
    return ((size + 7) & ~7u) - size + kRightMin;
}

Header* header_of(void* p) {
    uint32_t a = reinterpret_cast<uint32_t>(p);
    if (a < reinterpret_cast<uint32_t>(g_heap) + sizeof(Header) + 4 ||
        a >= reinterpret_cast<uint32_t>(g_heap) + g_heap_used || (a & 7) != 0)
        return nullptr;
    Header* h = reinterpret_cast<Header*>(a - sizeof(Header));
    return h->magic == kBlockMagic ? h : nullptr;
}

void* allocate(size_t size, uint32_t fp) {
    if (size > (1u << 20)) {
        errno = ENOMEM;
        return nullptr;
    }
    const uint32_t right = right_of(size);
    void* raw = __real_malloc(sizeof(Header) + size + right);
    if (raw == nullptr) return nullptr;
    Header* h = static_cast<Header*>(raw);
    h->magic = kBlockMagic;
    h->size = size;
    h->state = kLive;
    backtrace(fp, h->alloc, NUV_SAN_FRAMES);
    for (uint32_t& f : h->freed) f = 0;
    const uint32_t user = reinterpret_cast<uint32_t>(h + 1);
    // The left redzone's granules, the library's size word's included.
    poison(user - sizeof(Header) - 4, sizeof(Header) + 4, kHeapLeft);
    unpoison(user, size);
    const uint32_t end = (user + size + 7) & ~7u;
    poison(end, user + size + right - end, kHeapRight);
    return h + 1;
}

// A free of something that is not a live block: the report names the block
// (and where it was freed first) when there is one.
[[noreturn]] void bad_free(nuv_san_kind kind, void* p) {
    nuv_san_record& r = record();
    const uint32_t a = reinterpret_cast<uint32_t>(p);
    heap_block_of(a, r);
    r.kind = kind;
    r.address = a;
    r.bad = a;
    r.magic = NUV_SAN_MAGIC;
    nuv_san_stop(&r);
}

void release(void* p, uint32_t fp) {
    if (p == nullptr) return;
    Header* h = header_of(p);
    if (h == nullptr) bad_free(NUV_SAN_BAD_FREE, p);
    if (h->state != kLive) bad_free(NUV_SAN_DOUBLE_FREE, p);
    h->state = kFreed;
    backtrace(fp, h->freed, NUV_SAN_FRAMES);
    const uint32_t user = reinterpret_cast<uint32_t>(p);
    poison(user, (h->size + 7) & ~7u, kHeapFreed);
}

}  // namespace

bool heap_block_of(uint32_t address, nuv_san_record& r) {
    const uint32_t base = reinterpret_cast<uint32_t>(g_heap);
    if (address < base || address >= base + g_heap_used) return false;
    // The library's blocks, front to back: a size word, then the block,
    // whose length is the size plus the word rounded up to 8.
    uint32_t at = 0;
    while (at + 4 <= g_heap_used) {
        const uint32_t n = *reinterpret_cast<const uint32_t*>(g_heap + at);
        const uint32_t length = (n + 4 + 7) & ~7u;
        if (n == 0 || length > g_heap_used - at) return false;
        if (address < base + at + length) {
            const Header* h = reinterpret_cast<const Header*>(g_heap + at + 4);
            if (h->magic != kBlockMagic) return false;
            r.block = reinterpret_cast<uint32_t>(h + 1);
            r.block_size = h->size;
            __real_memcpy(r.alloc, h->alloc, sizeof r.alloc);
            __real_memcpy(r.freed, h->freed, sizeof r.freed);
            r.name[0] = '\0';
            return true;
        }
        at += length;
    }
    return false;
}

}  // namespace nuvsan

using nuvsan::allocate;
using nuvsan::release;
#define NUV_SAN_CALLER reinterpret_cast<uint32_t>(__builtin_frame_address(0))

extern "C" void* __wrap_malloc(size_t size) {
    return allocate(size, NUV_SAN_CALLER);
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = allocate(total, NUV_SAN_CALLER);
    if (p != nullptr) __real_memset(p, 0, total);
    return p;
}

extern "C" void* __wrap_realloc(void* p, size_t size) {
    const uint32_t fp = NUV_SAN_CALLER;
    if (p == nullptr) return allocate(size, fp);
    nuvsan::Header* h = nuvsan::header_of(p);
    if (h == nullptr || h->state != nuvsan::kLive) release(p, fp);  // reports it
    void* q = allocate(size, fp);
    if (q == nullptr) return nullptr;
    __real_memcpy(q, p, h->size < size ? h->size : size);
    release(p, fp);
    return q;
}

extern "C" void __wrap_free(void* p) {
    release(p, NUV_SAN_CALLER);
}

// C++ new, as the library's: a plain new that fails writes "out of memory"
// and ends the process with status 1; the nothrow one returns null. Delete
// reaches free through the library.
namespace {
[[noreturn]] void out_of_memory() {
    fputs("out of memory\n", stderr);
    abort();
}
}  // namespace

extern "C" void* __wrap__Znwj(size_t size) {
    void* p = allocate(size, NUV_SAN_CALLER);
    if (p == nullptr) out_of_memory();
    return p;
}
extern "C" void* __wrap__Znaj(size_t size) {
    void* p = allocate(size, NUV_SAN_CALLER);
    if (p == nullptr) out_of_memory();
    return p;
}
extern "C" void* __wrap__ZnwjRKSt9nothrow_t(size_t size, const void*) {
    return allocate(size, NUV_SAN_CALLER);
}
extern "C" void* __wrap__ZnajRKSt9nothrow_t(size_t size, const void*) {
    return allocate(size, NUV_SAN_CALLER);
}
