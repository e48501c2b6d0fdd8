// Formatted input: the scanner over a string, and fscanf (and scanf, on stdin),
// which reads one token from a descriptor stream a byte at a time and scans that.
//
// The scanner knows the conversions c, s, d, i, u, x and X and the %% escape.
// Widths are read and ignored; anything else after a % ends the scan. The
// result is always the number of values stored, never -1.
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include "src/digits.h"

namespace {

// Whitespace of a format directive, and the input bytes it skips.
inline bool is_format_space(unsigned char c) {
    return c == '\t' || c == '\n' || c == ' ';
}

// Skipped before s and the number conversions; a newline is not a blank.
inline bool is_blank(unsigned char c) {
    return c == '\t' || c == ' ';
}

// Ends a word read by s.
inline bool is_word_end(unsigned char c) {
    return c == 0 || c == '\t' || c == '\n' || c == ' ';
}

// Separates tokens read by fscanf.
inline bool is_token_delimiter(unsigned char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

using nuv::is_decimal;

// Value of c as a digit of base 8, 10 or 16, or -1.
inline int digit_in_base(unsigned char c, unsigned base) {
    int d = nuv::hex_digit_value(c);
    return d >= 0 && static_cast<unsigned>(d) < base ? d : -1;
}

// Accumulates digits of base at in, wrapping at 32 bits. Returns whether at
// least one digit was read; in stops on the first byte that is not a digit.
bool read_digits(const unsigned char*& in, unsigned base, unsigned& value) {
    const unsigned char* start = in;
    unsigned v = 0;
    int d;
    while ((d = digit_in_base(*in, base)) >= 0) {
        v = v * base + static_cast<unsigned>(d);
        ++in;
    }
    value = v;
    return in != start;
}

constexpr unsigned kTokenCapacity = 256;  // token bytes and the closing zero byte

}  // namespace

extern "C" int vsscanf(const char* str, const char* format, va_list ap) {
    const unsigned char* in = reinterpret_cast<const unsigned char*>(str);
    const unsigned char* f = reinterpret_cast<const unsigned char*>(format);
    int count = 0;
    for (;;) {
        const unsigned char fc = *f;
        if (fc == 0) return count;
        if (is_format_space(fc)) {
            while (is_format_space(*in)) ++in;
            while (is_format_space(*f)) ++f;
            continue;
        }
        if (fc != '%') {
            if (*in != fc) return count;
            ++in;
            ++f;
            continue;
        }

        ++f;
        bool suppress = false;
        if (*f == '*') {
            suppress = true;
            ++f;
        }
        while (is_decimal(*f)) ++f;  // a width, which has no effect
        const unsigned char conversion = *f;
        switch (conversion) {
            case '%':
                if (*in != '%') return count;
                ++in;
                break;
            case 'c':
                if (*in == 0) return count;
                if (!suppress) {
                    *va_arg(ap, char*) = static_cast<char>(*in);
                    ++count;
                }
                ++in;
                break;
            case 's': {
                while (is_blank(*in)) ++in;
                if (*in == 0) return count;
                char* out = suppress ? nullptr : va_arg(ap, char*);
                char* dst = out;
                while (!is_word_end(*in)) {
                    if (dst != nullptr) *dst++ = static_cast<char>(*in);
                    ++in;
                }
                if (dst != nullptr) {
                    *dst = 0;
                    ++count;
                }
                break;
            }
            case 'd':
            case 'i':
            case 'x':
            case 'X': {
                unsigned base = (conversion == 'x' || conversion == 'X') ? 16 : 10;
                while (is_blank(*in)) ++in;
                bool negative = false;
                if (*in == '-') {
                    negative = true;
                    ++in;
                } else if (*in == '+') {
                    ++in;
                }
                if (conversion == 'i' && in[0] == '0') {
                    if (in[1] == 'x' || in[1] == 'X') {
                        in += 2;
                        base = 16;
                    } else {
                        base = 8;  // the 0 is read as the first digit
                    }
                }
                if (*in == 0) return count;
                unsigned value;
                if (!read_digits(in, base, value)) return count;
                if (!suppress) {
                    *va_arg(ap, int*) = static_cast<int>(negative ? 0u - value : value);
                    ++count;
                }
                break;
            }
            case 'u': {
                while (is_blank(*in)) ++in;
                unsigned value;
                if (!read_digits(in, 10, value)) return count;
                if (!suppress) {
                    *va_arg(ap, unsigned*) = value;
                    ++count;
                }
                break;
            }
            default:
                // End of format, a length modifier or an unknown conversion.
                return count;
        }
        ++f;
    }
}

extern "C" int sscanf(const char* str, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = vsscanf(str, format, ap);
    va_end(ap);
    return n;
}

namespace {

// fscanf's work: one token from a descriptor stream, scanned by format.
int scan_token(FILE* stream, const char* format, va_list ap) {
    if (stream == nullptr || format == nullptr || stream->kind != STREAM_FD) return -1;

    char token[kTokenCapacity];
    unsigned length = 0;
    unsigned char c;
    // Leading delimiters; end of input before the token is a failure.
    for (;;) {
        if (read(stream->fd, &c, 1) <= 0) {
            stream->eof = 1;
            return -1;
        }
        stream->pos += 1;
        if (!is_token_delimiter(c)) break;
    }
    // The token up to a delimiter or the end of input. Bytes past the
    // capacity are read and dropped, so an over-long token is consumed whole.
    for (;;) {
        if (length < kTokenCapacity - 1) token[length++] = static_cast<char>(c);
        if (read(stream->fd, &c, 1) <= 0) {
            stream->eof = 1;
            break;
        }
        stream->pos += 1;
        if (is_token_delimiter(c)) break;
    }
    token[length] = 0;
    return vsscanf(token, format, ap);
}

}  // namespace

extern "C" int fscanf(FILE* stream, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = scan_token(stream, format, ap);
    va_end(ap);
    return n;
}

// An addition: fscanf on the stream stdin points at when it is called.
extern "C" int scanf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = scan_token(stdin, format, ap);
    va_end(ap);
    return n;
}
