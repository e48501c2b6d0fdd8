// Text to floating point. strtold works in the x87 extended format by a fixed
// sequence of steps (multiply by the base and add each digit, scale once per
// fraction digit and once per unit of the exponent), each rounded to nearest
// in extended precision. The results are reproducible bit for bit; they are
// not correctly rounded conversions. The exponent saturates and every scaling
// loop stops after kMaxSteps, so the cost of a call depends only on the number
// of digits in the text.
#include <stdlib.h>

#include "src/digits.h"

namespace {

constexpr unsigned kMaxSteps = 1024;
constexpr unsigned kExponentLimit = 4096;

using nuv::is_decimal;

inline bool is_space(unsigned char c) {
    return (c >= '\t' && c <= '\r') || c == ' ';
}

// Reads an exponent part at p (the byte after its letter): an optional sign
// and at least one decimal digit. On success moves p past the digits and gives
// the number of scaling steps and their direction; without a digit, nothing is
// consumed and false is returned.
bool read_exponent(const unsigned char*& p, unsigned& steps, bool& negative) {
    const unsigned char* q = p;
    negative = false;
    if (*q == '+' || *q == '-') {
        negative = *q == '-';
        ++q;
    }
    if (!is_decimal(*q)) return false;
    unsigned e = 0;
    while (is_decimal(*q)) {
        e = e * 10u + static_cast<unsigned>(*q++ - '0');
        if (e > kExponentLimit) e = kExponentLimit;
    }
    p = q;
    steps = e < kMaxSteps ? e : kMaxSteps;
    return true;
}

// The decimal form, p at its first digit or at a point followed by a digit.
long double scan_decimal(const unsigned char*& p) {
    long double v = 0.0L;
    while (is_decimal(*p)) {
        v = v * 10.0L;
        v = v + static_cast<long double>(*p++ - '0');
    }
    if (*p == '.') {
        ++p;
        unsigned fraction_digits = 0;
        // Digits past the last one that a scaling step can pay for are read
        // but not accumulated: taking them in unscaled would inflate the value.
        while (is_decimal(*p)) {
            if (fraction_digits < kMaxSteps) {
                v = v * 10.0L;
                v = v + static_cast<long double>(*p - '0');
                ++fraction_digits;
            }
            ++p;
        }
        for (unsigned i = 0; i < fraction_digits; ++i) v = v / 10.0L;
    }
    if (*p == 'e' || *p == 'E') {
        const unsigned char* q = p + 1;
        unsigned steps = 0;
        bool negative = false;
        if (read_exponent(q, steps, negative)) {
            p = q;
            if (negative) {
                for (unsigned i = 0; i < steps; ++i) v = v / 10.0L;
            } else {
                for (unsigned i = 0; i < steps; ++i) v = v * 10.0L;
            }
        }
    }
    return v;
}

// The hexadecimal form, p just past its 0x. False when no digit follows.
bool scan_hex(const unsigned char*& p, long double& result) {
    long double v = 0.0L;
    bool any_digit = false;
    int d;
    while ((d = nuv::hex_digit_value(*p)) >= 0) {
        v = v * 16.0L;
        v = v + static_cast<long double>(d);
        ++p;
        any_digit = true;
    }
    if (*p == '.') {
        ++p;
        unsigned fraction_digits = 0;
        while ((d = nuv::hex_digit_value(*p)) >= 0) {
            if (fraction_digits < kMaxSteps) {
                v = v * 16.0L;
                v = v + static_cast<long double>(d);
                ++fraction_digits;
            }
            ++p;
            any_digit = true;
        }
        for (unsigned i = 0; i < fraction_digits; ++i) v = v * 0.0625L;
    }
    if (!any_digit) return false;
    if (*p == 'p' || *p == 'P') {
        const unsigned char* q = p + 1;
        unsigned steps = 0;
        bool negative = false;
        if (read_exponent(q, steps, negative)) {
            p = q;
            if (negative) {
                for (unsigned i = 0; i < steps; ++i) v = v * 0.5L;
            } else {
                for (unsigned i = 0; i < steps; ++i) v = v + v;
            }
        }
    }
    result = v;
    return true;
}

}  // namespace

extern "C" long double strtold(const char* s, char** end) {
    if (s == nullptr) {
        if (end != nullptr) *end = nullptr;
        return 0.0L;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    while (is_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    long double v = 0.0L;
    bool converted = false;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        converted = scan_hex(p, v);
    } else if (is_decimal(p[0]) || (p[0] == '.' && is_decimal(p[1]))) {
        v = scan_decimal(p);
        converted = true;
    }
    if (!converted) {
        // No number: positive zero, and the end is the text itself.
        if (end != nullptr) *end = const_cast<char*>(s);
        return 0.0L;
    }
    v = v * (negative ? -1.0L : 1.0L);
    if (end != nullptr) *end = const_cast<char*>(reinterpret_cast<const char*>(p));
    return v;
}

extern "C" double strtod(const char* s, char** end) {
    // The store to memory rounds the extended value to double; without it the
    // value would come back in the x87 register with its extended precision.
    volatile double rounded = static_cast<double>(strtold(s, end));
    return rounded;
}
