// Copying and filling memory blocks.
//
// memcpy behaves exactly like a byte loop in ascending order, and memmove like
// one in ascending order when dst is below src and descending order otherwise.
// The copies below give the same bytes by these rules:
//
// - Loading a whole block into registers before storing any of it gives the
//   memmove result. That is also the memcpy result unless dst lies above src
//   inside the block: dst - src (counted modulo 2^32) between 1 and n - 1.
// - In that one case memcpy repeats the leading dst - src bytes, and only
//   copies that read each byte after every earlier store keep that: rep movsb
//   always, and rep movsl when dst - src is a multiple of 4 (each word is read
//   after the word dst - src bytes below it was stored).
// - Ascending word copies give the byte result whenever dst is at or below
//   src, or the blocks do not overlap; descending ones whenever dst is above
//   src: no store lands on a source byte still to be read.
//
// Short blocks are moved by straight-line loads and stores and medium ones by
// a word loop; only long ones use string instructions, never with a count of
// zero. The direction flag is clear on entry and is never set.
#include <stdint.h>
#include <string.h>

namespace {

// A 32-bit word at any byte address.
typedef uint32_t Word __attribute__((may_alias, aligned(1)));

inline uint32_t load(const unsigned char* p) {
    return *reinterpret_cast<const Word*>(p);
}

inline void store(unsigned char* p, uint32_t v) {
    *reinterpret_cast<Word*>(p) = v;
}

// Up to this many bytes move in straight lines, up to kStringMin by a word loop.
constexpr size_t kShort = 16;
constexpr size_t kStringMin = 128;
// Overlapping descending moves at least this far apart copy chunks of the
// distance upwards with the processor's fast string path.
constexpr size_t kChunkMin = 512;
// memcpy moves blocks at least this long with rep movsb alone when dst is not
// inside the source and dst - src is a multiple of 4. Measured on a processor
// with fast short string moves (AMD EPYC, erms and fsrm): from 256 bytes on,
// rep movsb beats both the word loop and rep movsl followed by the stores of
// the ends (256 B: 10.5 ns against 13.8; 4 KiB: 29 against 44); below that,
// the copies of copy_up are faster.
constexpr size_t kFastStringMin = 256;
// From this length on, a block whose start and length are whole words moves
// by words: as fast here (4 KiB: 29 ns either way), and a quarter of the
// stores where every store costs (an emulated processor).
constexpr size_t kWordStringMin = 1024;

// The first and the last `size` bytes of n (size <= n <= 2 * size), both
// loaded before either is stored, through the floating-point stack: loading
// and storing an integer of 8 (ll) or 4 (l) bytes there is exact for every bit
// pattern, and needs no general register beyond the three holding d, s and n.
#define NUV_MOVE_ENDS(suffix, size)       \
    asm volatile("fild" suffix            \
                 " (%1)\n\t"              \
                 "fild" suffix " -" size  \
                 "(%1,%2)\n\t"            \
                 "fistp" suffix " -" size \
                 "(%0,%2)\n\t"            \
                 "fistp" suffix " (%0)"   \
                 :                        \
                 : "r"(d), "r"(s), "r"(n) \
                 : "memory", "st", "st(1)")

// 1 to 16 bytes, every load before the first store (the memmove result).
inline void move_short(unsigned char* d, const unsigned char* s, size_t n) {
    if (n >= 8) {
        NUV_MOVE_ENDS("ll", "8");
    } else if (n >= 4) {
        NUV_MOVE_ENDS("l", "4");
    } else {
        unsigned char a = s[0], b = s[n >> 1], e = s[n - 1];
        d[0] = a;
        d[n >> 1] = b;
        d[n - 1] = e;
    }
}

inline void rep_movsb(unsigned char* d, const unsigned char* s, size_t n) {
    asm volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
}

inline void rep_movsl(unsigned char* d, const unsigned char* s, size_t words) {
    asm volatile("rep movsl" : "+D"(d), "+S"(s), "+c"(words) : : "memory");
}

// Ascending copy of n > 16 bytes where dst is at or below src or the blocks do
// not overlap. The last word is loaded first, since the stores before it may
// reach it when dst is below src.
void copy_up(unsigned char* d, const unsigned char* s, size_t n) {
    uint32_t last = load(s + n - 4);
    if (n < kStringMin) {
        for (size_t k = 0; k < n - 4; k += 4) store(d + k, load(s + k));
    } else {
        // Whole words to aligned places, then the first and the last word.
        // Words also where dst - src is not a multiple of 4: when dst lies a
        // few bytes above src modulo 4 KiB, some processors drop rep movsb
        // off their fast path, but not rep movsl to aligned stores. The first
        // word is stored last: with dst less than 4 bytes below src, its
        // store reaches source bytes the string copy still reads.
        uint32_t first = load(s);
        size_t head = (0u - reinterpret_cast<uintptr_t>(d)) & 3u;
        rep_movsl(d + head, s + head, (n - head) >> 2);
        store(d, first);
    }
    store(d + n - 4, last);
}

// Descending copy of n > 16 bytes with dst above src. The first word is
// loaded first and stored last, since the stores before it may reach it.
void copy_down(unsigned char* d, const unsigned char* s, size_t n) {
    uint32_t first = load(s);
    size_t k = n;  // [k, n) is done
    while (k >= 20) {
        uint32_t a = load(s + k - 4), b = load(s + k - 8), c = load(s + k - 12),
                 e = load(s + k - 16);
        store(d + k - 4, a);
        store(d + k - 8, b);
        store(d + k - 12, c);
        store(d + k - 16, e);
        k -= 16;
    }
    while (k > 8) {
        k -= 4;
        store(d + k, load(s + k));
    }
    store(d + k - 4, load(s + k - 4));  // k is 4 to 8
    store(d, first);
}

// The memcpy case dst = src + 1 .. n - 1: the leading bytes repeat.
__attribute__((noinline)) void copy_repeating(unsigned char* d, const unsigned char* s, size_t n) {
    size_t distance = static_cast<size_t>(d - s);
    if ((distance & 3u) != 0 || n < kShort) {
        rep_movsb(d, s, n);
        return;
    }
    size_t head = (0u - reinterpret_cast<uintptr_t>(d)) & 3u;
    for (size_t k = 0; k < head; ++k) d[k] = s[k];
    size_t words = (n - head) >> 2;
    rep_movsl(d + head, s + head, words);
    for (size_t k = head + (words << 2); k < n; ++k) d[k] = s[k];
}

}  // namespace

namespace {

// memcpy past its short blocks: kept out of line, so that the short case
// saves only the registers it uses.
__attribute__((noinline)) void copy_long(unsigned char* d, const unsigned char* s, size_t n) {
    uintptr_t distance = reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(s);
    if (distance < n) {
        copy_repeating(d, s, n);
    } else {
        copy_up(d, s, n);
    }
}

}  // namespace

extern "C" void* memcpy(void* dst, const void* src, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(dst);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    uintptr_t distance = reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(s);
    if (n - 1 < kShort && distance - 1 >= n - 1) {
        move_short(d, s, n);  // 1 to 16 bytes, dst not inside (src, src + n)
    } else if (n >= kFastStringMin && distance >= n && (distance & 3u) == 0) {
        if (n >= kWordStringMin && ((reinterpret_cast<uintptr_t>(d) | n) & 3u) == 0) {
            rep_movsl(d, s, n >> 2);
        } else {
            rep_movsb(d, s, n);
        }
    } else if (n > kShort) {
        copy_long(d, s, n);
    } else if (n != 0) {
        copy_repeating(d, s, n);
    }
    return dst;
}

extern "C" void* memmove(void* dst, const void* src, size_t n) {
    if (dst == src || n == 0) return dst;
    unsigned char* d = static_cast<unsigned char*>(dst);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    size_t distance = reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(s);
    if (n <= kShort) {
        move_short(d, s, n);
    } else if (distance >= n) {
        copy_up(d, s, n);  // dst below src, or no overlap
    } else if (distance >= kChunkMin) {
        // From the top down, chunks of at most the distance: a chunk's stores
        // land above its own source bytes and above every byte still to read.
        size_t k = n;
        while (k != 0) {
            size_t chunk = k < distance ? k : distance;
            k -= chunk;
            rep_movsb(d + k, s + k, chunk);
        }
    } else {
        copy_down(d, s, n);
    }
    return dst;
}

extern "C" void* memset(void* dst, int c, size_t n) {
    if (n == 0) return dst;
    unsigned char* d = static_cast<unsigned char*>(dst);
    unsigned char byte = static_cast<unsigned char>(c);
    uint32_t pattern = byte * 0x01010101u;
    if (n < 4) {
        d[0] = byte;
        d[n >> 1] = byte;
        d[n - 1] = byte;
    } else if (n <= kShort) {
        store(d, pattern);
        store(d + n - 4, pattern);
        if (n > 8) {
            store(d + 4, pattern);
            store(d + n - 8, pattern);
        }
    } else if (n < kStringMin) {
        for (size_t k = 0; k < n - 4; k += 4) store(d + k, pattern);
        store(d + n - 4, pattern);
    } else {
        store(d, pattern);
        size_t head = (0u - reinterpret_cast<uintptr_t>(d)) & 3u;
        unsigned char* p = d + head;
        size_t words = (n - head) >> 2;
        asm volatile("rep stosl" : "+D"(p), "+c"(words) : "a"(pattern) : "memory");
        store(d + n - 4, pattern);
    }
    return dst;
}
