// The buffer formatter: formats into a caller's array under a size limit and
// returns the length of the complete text. Self-contained: it calls nothing
// but its own digit renderer and keeps no state between calls.
//
// Dialect: flags '-', '0', '+'; width and precision by digits or '*'; the
// length modifiers l, ll and z are skipped (every value is one 32-bit word);
// conversions d i u x X c s p %; any other conversion byte is written back as
// '%' and that byte, consuming no argument.
#include <stdarg.h>
#include <stdio.h>

#include "src/digits.h"
#include "stdio/internal.h"

namespace {

inline bool is_aligned(const void* p) {
    return (reinterpret_cast<__UINTPTR_TYPE__>(p) & 3u) == 0;
}

// Every output character goes through this sink. Characters past the room
// (the array's size less one byte for the NUL) are counted but not stored.
struct Sink {
    char* s;
    unsigned room;   // characters that may be stored: size - 1, or 0
    unsigned count;  // characters of the complete output so far
};

inline void put(Sink& o, char c) {
    if (o.count < o.room) o.s[o.count] = c;
    ++o.count;
}

// n copies of c; the part beyond the room only advances the count.
void put_repeated(Sink& o, char c, unsigned n) {
    while (n != 0 && o.count < o.room) {
        o.s[o.count++] = c;
        --n;
    }
    o.count += n;
}

typedef unsigned Word __attribute__((may_alias));
typedef unsigned UnalignedWord __attribute__((may_alias, aligned(1)));

inline unsigned zero_bytes(unsigned v) {
    return (v - 0x01010101u) & ~v & 0x80808080u;
}

// n bytes of p; the part beyond the room only advances the count. Stored a
// word at a time (the engine calls no other library function).
void put_bytes(Sink& o, const char* p, unsigned n) {
    unsigned k = o.count < o.room ? o.room - o.count : 0u;
    if (k > n) k = n;
    if (k == 0) {  // nothing to store (the array may even be a null pointer)
        o.count += n;
        return;
    }
    char* d = o.s + o.count;
    unsigned i = 0;
    for (; i + 4 <= k; i += 4) {
        *reinterpret_cast<UnalignedWord*>(d + i) = *reinterpret_cast<const UnalignedWord*>(p + i);
    }
    for (; i < k; ++i) d[i] = p[i];
    o.count += n;
}

// The length of text, at most limit. Words are read only at aligned
// addresses, and only when they hold a byte before the limit, so nothing
// past the string (or past limit bytes of an array without a NUL) is read
// from a page it does not reach. An aligned word may still hold bytes just
// past the object that holds the string, which an address checker reports:
// it is told this is intended.
__attribute__((no_sanitize("address"))) unsigned measure(const char* text, unsigned limit) {
    unsigned n = 0;
    while (n < limit && (reinterpret_cast<__UINTPTR_TYPE__>(text + n) & 3u) != 0) {
        if (text[n] == '\0') return n;
        ++n;
    }
    while (n < limit && zero_bytes(*reinterpret_cast<const Word*>(text + n)) == 0) n += 4;
    if (n > limit) n = limit;
    while (n < limit && text[n] != '\0') ++n;
    return n;
}

struct Conversion {
    bool left;
    bool zero;
    bool plus;
    int width;
    int precision;  // negative: none
};

void put_integer(Sink& o, const Conversion& sp, unsigned magnitude, char sign, int base,
                 int upper) {
    char digits[10];
    int nd;
    snbuf_render_unsigned(digits, &nd, magnitude, base, upper);
    unsigned ndigits = static_cast<unsigned>(nd);
    unsigned zeros = sp.precision > nd ? static_cast<unsigned>(sp.precision) - ndigits : 0u;
    unsigned field = (sign ? 1u : 0u) + zeros + ndigits;
    unsigned fill = (sp.width > 0 && static_cast<unsigned>(sp.width) > field)
                        ? static_cast<unsigned>(sp.width) - field
                        : 0u;
    if (sp.zero && !sp.left && sp.precision < 0) {
        if (sign) put(o, sign);
        put_repeated(o, '0', fill);
        put_bytes(o, digits, ndigits);
    } else if (sp.left) {
        if (sign) put(o, sign);
        put_repeated(o, '0', zeros);
        put_bytes(o, digits, ndigits);
        put_repeated(o, ' ', fill);
    } else {
        put_repeated(o, ' ', fill);
        if (sign) put(o, sign);
        put_repeated(o, '0', zeros);
        put_bytes(o, digits, ndigits);
    }
}

void put_string(Sink& o, const Conversion& sp, const char* text) {
    if (text == nullptr) text = "(null)";
    // A precision bounds the count too, so an array without a NUL is never
    // read past the precision.
    unsigned limit = static_cast<unsigned>(sp.precision);  // negative: no limit
    unsigned n = measure(text, limit);
    unsigned fill = (sp.width > 0 && static_cast<unsigned>(sp.width) > n)
                        ? static_cast<unsigned>(sp.width) - n
                        : 0u;
    if (!sp.left) put_repeated(o, ' ', fill);
    put_bytes(o, text, n);
    if (sp.left) put_repeated(o, ' ', fill);
}

}  // namespace

extern "C" void snbuf_render_unsigned(char* digits, int* ndigits, unsigned int value, int base,
                                      int upper) {
    const char* table = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    // Only bases 10 and 16 exist; anything else renders in decimal rather than
    // dividing by zero or indexing past the table.
    unsigned b = base == 16 ? 16u : 10u;
    if (value == 0) {
        digits[0] = '0';
        *ndigits = 1;
        return;
    }
    int n = 0;
    for (;;) {
        unsigned before = value;
        digits[n++] = table[value % b];
        value /= b;
        if (before < b) break;
    }
    for (int i = 0, j = n - 1; i < j; ++i, --j) {
        char t = digits[i];
        digits[i] = digits[j];
        digits[j] = t;
    }
    *ndigits = n;
}

extern "C" int vsnprintf(char* s, size_t size, const char* format, va_list ap) {
    // A null array with a nonzero size is treated as size 0: nothing stored.
    Sink o{s, (s != nullptr && size != 0) ? static_cast<unsigned>(size) - 1u : 0u, 0u};
    if (format == nullptr) {
        if (s != nullptr && size != 0) s[0] = '\0';
        return 0;
    }
    const unsigned char* f = reinterpret_cast<const unsigned char*>(format);
    while (*f != '\0') {
        if (*f != '%') {
            // A run of literal text, up to the next '%' or the end.
            const unsigned char* run = f;
            while (!is_aligned(f)) {
                if (*f == '%' || *f == '\0') break;
                ++f;
            }
            if (is_aligned(f)) {
                for (;; f += 4) {
                    unsigned v = *reinterpret_cast<const Word*>(f);
                    if (zero_bytes(v) | zero_bytes(v ^ 0x25252525u)) break;
                }
            }
            while (*f != '%' && *f != '\0') ++f;
            put_bytes(o, reinterpret_cast<const char*>(run), static_cast<unsigned>(f - run));
            continue;
        }
        ++f;
        if (*f == '\0') break;  // a lone '%' at the end produces nothing

        Conversion sp{false, false, false, 0, -1};
        for (;; ++f) {
            if (*f == '-') {
                sp.left = true;
            } else if (*f == '0') {
                sp.zero = true;
            } else if (*f == '+') {
                sp.plus = true;
            } else {
                break;
            }
        }
        if (*f == '*') {
            sp.width = va_arg(ap, int);
            ++f;
        } else {
            sp.width = nuv::read_decimal(f);
        }
        if (*f == '.') {
            ++f;
            if (*f == '*') {
                sp.precision = va_arg(ap, int);
                ++f;
            } else {
                sp.precision = nuv::read_decimal(f);
            }
        }
        if (*f == 'l') {
            ++f;
            if (*f == 'l') ++f;
        } else if (*f == 'z') {
            ++f;
        }
        unsigned char conv = *f;
        if (conv == '\0') break;  // incomplete conversion: nothing
        ++f;

        switch (conv) {
            case 'd':
            case 'i': {
                int v = va_arg(ap, int);
                unsigned magnitude = static_cast<unsigned>(v);
                char sign = 0;
                if (v < 0) {
                    magnitude = 0u - magnitude;
                    sign = '-';
                } else if (sp.plus) {
                    sign = '+';
                }
                put_integer(o, sp, magnitude, sign, 10, 0);
                break;
            }
            case 'u':
                put_integer(o, sp, va_arg(ap, unsigned), 0, 10, 0);
                break;
            case 'x':
                put_integer(o, sp, va_arg(ap, unsigned), 0, 16, 0);
                break;
            case 'X':
                put_integer(o, sp, va_arg(ap, unsigned), 0, 16, 1);
                break;
            case 'c':
                put(o, static_cast<char>(va_arg(ap, int)));
                break;
            case 's':
                put_string(o, sp, va_arg(ap, const char*));
                break;
            case 'p': {
                char digits[8];
                int nd;
                snbuf_render_unsigned(
                    digits, &nd,
                    static_cast<unsigned>(reinterpret_cast<__UINTPTR_TYPE__>(va_arg(ap, void*))),
                    16, 0);
                put(o, '0');
                put(o, 'x');
                put_bytes(o, digits, static_cast<unsigned>(nd));
                break;
            }
            case '%':
                put(o, '%');
                break;
            default:
                put(o, '%');
                put(o, static_cast<char>(conv));
                break;
        }
    }
    if (s != nullptr && size != 0) s[o.count < o.room ? o.count : o.room] = '\0';
    return static_cast<int>(o.count);
}

extern "C" int snprintf(char* s, size_t size, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(s, size, format, ap);
    va_end(ap);
    return n;
}

extern "C" int vsprintf(char* s, const char* format, va_list ap) {
    return vsnprintf(s, 65536, format, ap);
}

extern "C" int sprintf(char* s, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(s, 65536, format, ap);
    va_end(ap);
    return n;
}
