// Copying and filling memory blocks.
//
// memcpy behaves exactly like a byte loop in ascending order, and memmove like
// one in ascending order when dst is below src and descending order otherwise.
// The bulk of a block moves four bytes per string instruction where that gives
// the same bytes:
//
// - Ascending, each step reads its source bytes before writing. A step over
//   bytes [i, i+4) differs from single bytes only if one of its writes lands on
//   a source byte the same step reads later, which needs dst - src (counted
//   modulo 2^32) between 1 and 3. memcpy with dst 1 to 3 bytes above src (the
//   case where the leading bytes repeat) therefore copies single bytes;
//   every other distance, dst below src included, copies words.
// - Descending with dst above src, every write lands above all the source
//   bytes still to be read, so words never change the result.
//
// The direction flag is clear on entry to every function, and is cleared
// again after a descending copy.
#include <stdint.h>
#include <string.h>

namespace {

// Blocks shorter than this are copied a byte at a time: aligning and
// splitting would cost more than it saves.
constexpr size_t kWordThreshold = 16;

inline void copy_up_bytes(unsigned char* d, const unsigned char* s, size_t n) {
    asm volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
}

// Ascending copy by words after bytes up to dst's next 4-byte boundary.
// Needs n >= 4.
inline void copy_up_words(unsigned char* d, const unsigned char* s, size_t n) {
    size_t head = (0u - reinterpret_cast<uintptr_t>(d)) & 3u;
    size_t words = (n - head) >> 2;
    size_t tail = (n - head) & 3u;
    asm volatile(
        "rep movsb\n\t"
        "movl %[words], %%ecx\n\t"
        "rep movsl\n\t"
        "movl %[tail], %%ecx\n\t"
        "rep movsb"
        : "+D"(d), "+S"(s), "+c"(head)
        : [words] "r"(words), [tail] "r"(tail)
        : "memory");
}

// Descending copy of [0, n): bytes down to dst's 4-byte boundary below d + n,
// then words, then the remaining leading bytes. Needs n >= 4.
inline void copy_down_words(unsigned char* d, const unsigned char* s, size_t n) {
    size_t tail = reinterpret_cast<uintptr_t>(d + n) & 3u;
    size_t words = (n - tail) >> 2;
    size_t head = (n - tail) & 3u;
    unsigned char* dl = d + n - 1;
    const unsigned char* sl = s + n - 1;
    asm volatile(
        "std\n\t"
        "rep movsb\n\t"
        "subl $3, %%edi\n\t"
        "subl $3, %%esi\n\t"
        "movl %[words], %%ecx\n\t"
        "rep movsl\n\t"
        "addl $3, %%edi\n\t"
        "addl $3, %%esi\n\t"
        "movl %[head], %%ecx\n\t"
        "rep movsb\n\t"
        "cld"
        : "+D"(dl), "+S"(sl), "+c"(tail)
        : [words] "r"(words), [head] "r"(head)
        : "memory", "cc");
}

inline void copy_down_bytes(unsigned char* d, const unsigned char* s, size_t n) {
    unsigned char* dl = d + n - 1;
    const unsigned char* sl = s + n - 1;
    asm volatile("std\n\trep movsb\n\tcld" : "+D"(dl), "+S"(sl), "+c"(n) : : "memory");
}

}  // namespace

extern "C" void* memcpy(void* dst, const void* src, size_t n) {
    if (n == 0) return dst;
    unsigned char* d = static_cast<unsigned char*>(dst);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    uintptr_t distance = reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(s);
    if (n < kWordThreshold || distance - 1 < 3) {
        copy_up_bytes(d, s, n);
    } else {
        copy_up_words(d, s, n);
    }
    return dst;
}

extern "C" void* memmove(void* dst, const void* src, size_t n) {
    if (dst == src || n == 0) return dst;
    unsigned char* d = static_cast<unsigned char*>(dst);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    if (d < s) {
        // Every write lands below the source bytes still to be read.
        if (n < kWordThreshold) {
            copy_up_bytes(d, s, n);
        } else {
            copy_up_words(d, s, n);
        }
    } else if (n < kWordThreshold) {
        copy_down_bytes(d, s, n);
    } else {
        copy_down_words(d, s, n);
    }
    return dst;
}

extern "C" void* memset(void* dst, int c, size_t n) {
    if (n == 0) return dst;
    unsigned char* d = static_cast<unsigned char*>(dst);
    unsigned char byte = static_cast<unsigned char>(c);
    if (n < kWordThreshold) {
        asm volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(byte) : "memory");
        return dst;
    }
    size_t head = (0u - reinterpret_cast<uintptr_t>(d)) & 3u;
    size_t words = (n - head) >> 2;
    size_t tail = (n - head) & 3u;
    uint32_t pattern = byte * 0x01010101u;
    asm volatile(
        "rep stosb\n\t"
        "movl %[words], %%ecx\n\t"
        "rep stosl\n\t"
        "movl %[tail], %%ecx\n\t"
        "rep stosb"
        : "+D"(d), "+c"(head)
        : "a"(pattern), [words] "r"(words), [tail] "r"(tail)
        : "memory");
    return dst;
}
