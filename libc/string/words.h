// Word-at-a-time helpers for the string functions.
//
// A string is read four bytes at a time only through aligned words, or through
// an unaligned word that lies inside the page holding a byte already known to
// be part of the string: a 4-byte aligned word never crosses a page boundary,
// so neither read can touch a page the string does not reach, even when the
// word holds bytes past its NUL.
#ifndef NUV_LIBC_STRING_WORDS_H
#define NUV_LIBC_STRING_WORDS_H

#include <stdint.h>

namespace nuv::words {

typedef uint32_t Aligned __attribute__((may_alias));
typedef uint32_t Unaligned __attribute__((may_alias, aligned(1)));

constexpr uint32_t kOnes = 0x01010101u;
constexpr uint32_t kHighs = 0x80808080u;
constexpr uintptr_t kPage = 4096;

inline uint32_t aligned_at(const void* p) {
    return *static_cast<const Aligned*>(p);
}

inline uint32_t unaligned_at(const void* p) {
    return *static_cast<const Unaligned*>(p);
}

inline void store_unaligned(void* p, uint32_t v) {
    *static_cast<Unaligned*>(p) = v;
}

// Non-zero when some byte of v is zero. The lowest flagged byte is the first
// zero byte; flags above it may be false (borrows only travel upwards).
inline uint32_t zero_bytes(uint32_t v) {
    return (v - kOnes) & ~v & kHighs;
}

inline bool is_aligned(const void* p) {
    return (reinterpret_cast<uintptr_t>(p) & 3u) == 0;
}

// Whole words that can be read from p without leaving p's page.
inline uintptr_t words_in_page(const void* p) {
    return (kPage - (reinterpret_cast<uintptr_t>(p) & (kPage - 1))) >> 2;
}

}  // namespace nuv::words

#endif
