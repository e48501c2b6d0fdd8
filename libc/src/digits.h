// Digit helpers shared by the formatters, the scanner and the conversions.
#ifndef NUV_LIBC_DIGITS_H
#define NUV_LIBC_DIGITS_H

namespace nuv {

inline bool is_decimal(unsigned char c) {
    return c >= '0' && c <= '9';
}

// Value of a hexadecimal digit of either case (0 to 15), or -1 for any other byte.
inline int hex_digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Accumulates a run of decimal digits at p, leaving p after them; beyond 32
// bits the value wraps.
inline int read_decimal(const unsigned char*& p) {
    unsigned v = 0;
    while (is_decimal(*p)) v = v * 10u + static_cast<unsigned>(*p++ - '0');
    return static_cast<int>(v);
}

}  // namespace nuv

#endif
