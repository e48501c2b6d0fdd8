// Searching memory blocks and strings for bytes of a set. Bytes compare as
// unsigned values; a byte given as int is used through its low 8 bits. A null
// string or block gives the empty result; a null set is the empty set.
#include <string.h>

namespace {

// A set of bytes as 256 bits, built in one pass over the set's string.
struct ByteSet {
    unsigned words[8] = {};
    explicit ByteSet(const char* set) {
        if (set == nullptr) return;
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(set); *p; ++p)
            words[*p >> 5] |= 1u << (*p & 31);
    }
    bool has(unsigned char b) const { return (words[b >> 5] >> (b & 31)) & 1u; }
};

// Length of the prefix of s whose bytes are (or, when `inside` is false, are
// not) in the set; the terminating NUL is never in the set.
size_t span(const char* s, const char* set, bool inside) {
    if (s == nullptr) return 0;
    ByteSet bits(set);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    size_t n = 0;
    while (p[n] != 0 && bits.has(p[n]) == inside) ++n;
    return n;
}

}  // namespace

// Reads no byte past the first match, and never more than n bytes.
extern "C" void* memchr(const void* s, int c, size_t n) {
    if (s == nullptr) return nullptr;
    const unsigned char want = static_cast<unsigned char>(c);
    for (const unsigned char* p = static_cast<const unsigned char*>(s); n > 0; ++p, --n)
        if (*p == want) return const_cast<unsigned char*>(p);
    return nullptr;
}

extern "C" size_t strspn(const char* s, const char* accept) {
    return span(s, accept, true);
}

extern "C" size_t strcspn(const char* s, const char* reject) {
    return span(s, reject, false);
}

extern "C" char* strpbrk(const char* s, const char* accept) {
    if (s == nullptr) return nullptr;
    size_t n = span(s, accept, false);
    return s[n] != 0 ? const_cast<char*>(s) + n : nullptr;
}
