// The stream formatter: walks the format once and hands every piece to the
// stream's writer the moment it is produced. Nothing is buffered, so the
// granularity of the writes is part of the behaviour: each literal byte, fill
// space, sign, prefix byte and precision zero is a write of its own, all
// digits of a number are one write, and a string is one write.
//
// Dialect: no flags; width and precision by digits or '*' (a leading '0' is a
// width digit); 'l' is skipped and 'll' reads 64-bit values for d i u x p;
// conversions d i u x c s p %; any other conversion byte is written back as
// '%' and that byte, consuming no argument. A format that begins with "%c" on
// a descriptor stream on descriptor 1 first sends a 4-byte control record.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "src/digits.h"
#include "stdio/internal.h"

namespace {

struct Writer {
    FILE* stream;
    unsigned count;  // characters written; wraps past 2^32
    char cell;       // single characters are written from here
};

inline bool put(Writer& w, char c) {
    w.cell = c;
    if (file_write_bytes(w.stream, &w.cell, 1) != 0) return false;
    ++w.count;
    return true;
}

bool put_repeated(Writer& w, char c, unsigned n) {
    for (; n != 0; --n) {
        if (!put(w, c)) return false;
    }
    return true;
}

bool put_bytes(Writer& w, const char* p, unsigned n) {
    if (file_write_bytes(w.stream, p, n) != 0) return false;
    w.count += n;
    return true;
}

// Integer layout: fill spaces, minus sign, "0x" for %p, precision zeros, digits.
bool put_integer(Writer& w, int width, int precision, unsigned long long magnitude, bool negative,
                 bool prefix, unsigned base) {
    static const char kDigits[] = "0123456789abcdef";
    char reversed[32];
    char digits[32];
    unsigned nd = 0;
    // Values that fit in 32 bits take the processor's own division; the
    // digits are the same as from the 64-bit division.
    for (;;) {
        unsigned long long before = magnitude;
        unsigned d;
        if (base == 16) {
            d = static_cast<unsigned>(magnitude & 15u);
            magnitude >>= 4;
        } else if ((magnitude >> 32) == 0) {
            unsigned v = static_cast<unsigned>(magnitude);
            d = v % 10u;
            magnitude = v / 10u;
        } else {
            d = static_cast<unsigned>(magnitude % 10u);
            magnitude /= 10u;
        }
        reversed[nd++] = kDigits[d];
        if (before < base || nd == sizeof(reversed)) break;
    }
    for (unsigned k = 0; k < nd; ++k) digits[k] = reversed[nd - 1 - k];

    unsigned zeros = (precision >= 0 && static_cast<unsigned>(precision) > nd)
                         ? static_cast<unsigned>(precision) - nd
                         : 0u;
    unsigned field = (negative ? 1u : 0u) + (prefix ? 2u : 0u) + zeros + nd;
    unsigned fill = (width > 0 && static_cast<unsigned>(width) > field)
                        ? static_cast<unsigned>(width) - field
                        : 0u;
    if (!put_repeated(w, ' ', fill)) return false;
    if (negative && !put(w, '-')) return false;
    if (prefix && !(put(w, '0') && put(w, 'x'))) return false;
    if (!put_repeated(w, '0', zeros)) return false;
    return put_bytes(w, digits, nd);
}

// String layout: fill spaces, then the (possibly cut) text in one write.
bool put_string(Writer& w, int width, int precision, const char* text) {
    if (text == nullptr) text = "(null)";
    // With a precision the length is measured only that far, so an array
    // without a NUL is never read past the precision.
    unsigned n = precision >= 0 ? strnlen(text, static_cast<unsigned>(precision)) : strlen(text);
    unsigned fill =
        (width > 0 && static_cast<unsigned>(width) > n) ? static_cast<unsigned>(width) - n : 0u;
    if (!put_repeated(w, ' ', fill)) return false;
    return put_bytes(w, text, n);
}

// Formats the whole walk; false as soon as a write fails.
bool walk(Writer& w, const unsigned char* f, va_list& ap) {
    while (*f != '\0') {
        if (*f != '%') {
            if (!put(w, static_cast<char>(*f++))) return false;
            continue;
        }
        ++f;
        if (*f == '\0') return true;  // a lone '%' at the end writes nothing

        int width = 0;
        if (*f == '*') {
            width = va_arg(ap, int);
            ++f;
        } else {
            width = nuv::read_decimal(f);
        }
        int precision = -1;
        if (*f == '.') {
            ++f;
            if (*f == '*') {
                precision = va_arg(ap, int);
                ++f;
            } else {
                precision = nuv::read_decimal(f);
            }
        }
        bool wide = false;
        if (*f == 'l') {
            ++f;
            if (*f == 'l') {
                wide = true;
                ++f;
            }
        }
        unsigned char conv = *f;
        if (conv == '\0') return true;  // incomplete conversion: nothing
        ++f;

        bool ok;
        switch (conv) {
            case 'd':
            case 'i': {
                long long v = wide ? va_arg(ap, long long) : va_arg(ap, int);
                unsigned long long magnitude = static_cast<unsigned long long>(v);
                if (v < 0) magnitude = 0ull - magnitude;
                ok = put_integer(w, width, precision, magnitude, v < 0, false, 10);
                break;
            }
            case 'u':
            case 'x':
            case 'p': {
                unsigned long long v = wide ? va_arg(ap, unsigned long long) : va_arg(ap, unsigned);
                ok = put_integer(w, width, precision, v, false, conv == 'p', conv == 'u' ? 10 : 16);
                break;
            }
            case 'c':
                ok = put(w, static_cast<char>(va_arg(ap, int)));
                break;
            case 's':
                ok = put_string(w, width, precision, va_arg(ap, const char*));
                break;
            case '%':
                ok = put(w, '%');
                break;
            default:
                ok = put(w, '%') && put(w, static_cast<char>(conv));
                break;
        }
        if (!ok) return false;
    }
    return true;
}

}  // namespace

extern "C" int vfprintf(FILE* stream, const char* format, va_list ap) {
    if (stream == nullptr || format == nullptr) return -1;
    const unsigned char* f = reinterpret_cast<const unsigned char*>(format);
    if (stream->kind == STREAM_FD && stream->fd == 1 && f[0] == '%' && f[1] == 'c') {
        // Control record for the console: 0xFF and the low bytes of three ints.
        // It is not counted among the characters written.
        char record[4];
        record[0] = static_cast<char>(0xFF);
        record[1] = static_cast<char>(va_arg(ap, int));
        record[2] = static_cast<char>(va_arg(ap, int));
        record[3] = static_cast<char>(va_arg(ap, int));
        if (file_write_bytes(stream, record, 4) != 0) return -1;
        f += 2;
    }
    Writer w{stream, 0u, 0};
    // The walk advances a list of its own: a va_list parameter cannot be
    // passed on by reference where the ABI makes it an array.
    va_list args;
    va_copy(args, ap);
    bool written = walk(w, f, args);
    va_end(args);
    return written ? static_cast<int>(w.count) : -1;
}

extern "C" int fprintf(FILE* stream, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(stream, format, ap);
    va_end(ap);
    return n;
}

extern "C" int printf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vfprintf(stdout, format, ap);
    va_end(ap);
    return n;
}
