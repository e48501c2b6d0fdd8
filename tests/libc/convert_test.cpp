// Number conversion: the integer parsers with their own white space, sign
// and prefix rules, and strtold/strtod checked bit for bit against a host
// model of the same extended-precision steps.
#include <cstring>
#include <optional>
#include <string>

#include "guest.hpp"

namespace {

using nuvtest::LibTest;

constexpr int32_t kNullEnd = -1;

// ---- integers ------------------------------------------------------------

struct AtoiCase {
    std::string text;
    int32_t expect;
};

TEST_F(LibTest, AtoiAndAtolSkipTheirWhiteSpaceAndWrap) {
    const AtoiCase cases[] = {
        {"  -42xyz", -42},
        {"\t\n 7", 7},
        {"\r-42", 0},  // carriage return and form feed are not skipped
        {"\f-42", 0},
        {"\v1", 0},
        {"+7", 7},
        {"--5", 0},
        {"+-5", 0},
        {"- 5", 0},
        {"-", 0},
        {"", 0},
        {"abc", 0},
        {"12ab34", 12},
        {"2147483648", INT32_MIN},
        {"4294967297", 1},
        {"-2147483648", INT32_MIN},
        {"-4294967295", 1},
    };
    for (const char* fn : {"atoi", "atol"}) {
        for (const AtoiCase& c : cases) {
            EXPECT_EQ(icall(fn, {str(c.text)}), c.expect) << fn << "(\"" << c.text << "\")";
        }
        EXPECT_EQ(icall(fn, {0u}), 0) << fn << "(null)";
    }
}

struct StrtoulCase {
    const char* fn;
    std::string text;
    int32_t base;
    uint32_t expect;
    int32_t end;  // offset from the text
};

TEST_F(LibTest, StrtoulAndStrtolFollowTheirPrefixAndBaseRules) {
    const StrtoulCase cases[] = {
        {"strtoul", " 0x1F", 0, 31, 5},
        {"strtoul", "0755", 0, 493, 4},
        {"strtoul", "08", 0, 0, 1},
        {"strtoul", "0", 0, 0, 1},
        {"strtoul", "0x", 0, 0, 2},  // the prefix stays consumed
        {"strtoul", "0xg", 16, 0, 2},
        {"strtoul", "0X10", 16, 16, 4},
        {"strtoul", "10", 16, 16, 2},
        {"strtoul", "0x1F", 10, 0, 1},  // no prefix outside bases 0 and 16
        {"strtoul", "012", 10, 12, 3},
        {"strtoul", "-5", 10, 0, 0},
        {"strtol", "-5", 10, 0, 0},
        {"strtoul", "+5", 10, 0, 0},
        {"strtol", "4294967295", 10, 0xFFFFFFFFu, 10},
        {"strtoul", "  z", 10, 0, 2},
        {"strtoul", "ff", 16, 255, 2},
        {"strtoul", "FFg", 36, 555, 2},
        {"strtoul", "Zz", 36, 0, 0},
        {"strtoul", "4294967296", 10, 0, 10},
        {"strtoul", "4294967297", 10, 1, 10},
        {"strtoul", "\v5", 10, 0, 0},
        {"strtoul", "\f5", 10, 0, 0},
        {"strtoul", "\r\n\t 12", 10, 12, 6},
        {"strtoul", "0012", 1, 0, 2},  // base 1: only 0 is a digit
        {"strtoul", "5", -1, 0, 0},
        {"strtoul", "1019", 2, 5, 3},
        {"strtoul", "789", 8, 7, 1},
        {"strtoul", "", 10, 0, 0},
        {"strtol", " 0x7fffffff", 0, 0x7FFFFFFFu, 11},
    };
    uint32_t end = buf(4);
    for (const StrtoulCase& c : cases) {
        uint32_t s = str(c.text);
        EXPECT_EQ(call(c.fn, {s, end, c.base}), c.expect)
            << c.fn << "(\"" << c.text << "\", " << c.base << ")";
        EXPECT_EQ(g().u32(end), s + static_cast<uint32_t>(c.end))
            << c.fn << "(\"" << c.text << "\")";
        // A null end pointer is allowed.
        EXPECT_EQ(call(c.fn, {s, 0u, c.base}), c.expect) << c.fn << " without end";
    }
    for (const char* fn : {"strtoul", "strtol"}) {
        g().set_u32(end, 0x12345678);
        EXPECT_EQ(call(fn, {0u, end, 10}), 0u) << fn;
        EXPECT_EQ(g().u32(end), 0u) << fn << ": null text gives a null end";
    }
}

TEST_F(LibTest, AbsAndLabsWrapAtTheMostNegativeValue) {
    const std::pair<int32_t, int32_t> cases[] = {
        {-7, 7}, {7, 7}, {0, 0}, {INT32_MIN, INT32_MIN}, {INT32_MIN + 1, INT32_MAX}};
    for (const char* fn : {"abs", "labs"}) {
        for (auto [x, expect] : cases) EXPECT_EQ(icall(fn, {x}), expect) << fn << "(" << x << ")";
    }
}

// ---- strtold and strtod ----------------------------------------------------

// The host's long double is the same x87 extended format; this model runs the
// same sequence of rounded steps that the guest must run.
struct Parsed {
    long double value;
    size_t end;
};

bool dec(char c) {
    return c >= '0' && c <= '9';
}

int hexdig(char c) {
    if (dec(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Exponent digits after s[i] (the letter); the step count, or nullopt.
std::optional<std::pair<int, size_t>> model_exponent(const std::string& s, size_t i) {
    int sign = 1;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) sign = s[i++] == '-' ? -1 : 1;
    if (i >= s.size() || !dec(s[i])) return std::nullopt;
    long e = 0;
    for (; i < s.size() && dec(s[i]); ++i) e = std::min(e * 10 + (s[i] - '0'), 4096L);
    return std::make_pair(static_cast<int>(sign * std::min(e, 1024L)), i);
}

Parsed model_strtold(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && std::strchr("\t\n\v\f\r ", s[i]) != nullptr) ++i;
    long double sign = 1;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) sign = s[i++] == '-' ? -1 : 1;
    long double v = 0;
    auto at = [&](size_t k) { return k < s.size() ? s[k] : '\0'; };
    if (at(i) == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X')) {
        i += 2;
        int digits = 0, fraction = 0;
        for (; hexdig(at(i)) >= 0; ++i, ++digits) v = v * 16, v = v + hexdig(at(i));
        if (at(i) == '.') {
            // Fraction digits beyond the 1024 that can be scaled are read, not accumulated.
            for (++i; hexdig(at(i)) >= 0; ++i, ++fraction) {
                if (fraction < 1024) v = v * 16, v = v + hexdig(at(i));
            }
        }
        if (digits + fraction == 0) return {0.0L, 0};
        for (int k = 0; k < std::min(fraction, 1024); ++k) v = v * 0.0625L;
        if (at(i) == 'p' || at(i) == 'P') {
            if (auto e = model_exponent(s, i + 1)) {
                for (int k = 0; k < e->first; ++k) v = v + v;
                for (int k = 0; k < -e->first; ++k) v = v * 0.5L;
                i = e->second;
            }
        }
    } else if (dec(at(i)) || (at(i) == '.' && dec(at(i + 1)))) {
        int fraction = 0;
        for (; dec(at(i)); ++i) v = v * 10, v = v + (at(i) - '0');
        if (at(i) == '.') {
            for (++i; dec(at(i)); ++i, ++fraction) {
                if (fraction < 1024) v = v * 10, v = v + (at(i) - '0');
            }
        }
        for (int k = 0; k < std::min(fraction, 1024); ++k) v = v / 10;
        if (at(i) == 'e' || at(i) == 'E') {
            if (auto e = model_exponent(s, i + 1)) {
                for (int k = 0; k < e->first; ++k) v = v * 10;
                for (int k = 0; k < -e->first; ++k) v = v / 10;
                i = e->second;
            }
        }
    } else {
        return {0.0L, 0};
    }
    return {v * sign, i};
}

std::array<uint8_t, 10> bytes_of(long double v) {
    std::array<uint8_t, 10> b{};
    std::memcpy(b.data(), &v, 10);
    return b;
}

struct FloatCase {
    std::string text;
    size_t end;                     // expected end offset
    std::optional<long double> is;  // a value the result must equal, when simple
};

std::string fraction_digits(size_t n) {
    std::string s = "0.";
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('0' + (i * 7 + 3) % 10);
    return s;
}

std::string show(const std::string& s) {
    return s.size() > 40 ? s.substr(0, 40) + "..." : s;
}

TEST_F(LibTest, FractionsLongerThanTheScalingStepsStayInRange) {
    // Digits after the 1024th fraction digit cannot be scaled down; they are read
    // but do not inflate the value.
    for (const std::string& text : {"0." + std::string(1100, '9'), "0x0." + std::string(1100, 'f'),
                                    "0.5" + std::string(3000, '0')}) {
        ASSERT_EQ(g().call("strtold", {str(text), 0}).stop, nuv::Stop::Returned);
        long double v = g().st0();
        EXPECT_GT(v, 0.4L) << text.substr(0, 8);
        EXPECT_LT(v, 1.0001L) << text.substr(0, 8);
    }
}

TEST_F(LibTest, StrtoldAndStrtodMatchTheExtendedStepsBitForBit) {
    const std::string long_fraction = fraction_digits(4000);
    const FloatCase cases[] = {
        {"1.5e3", 5, 1500.0L},
        {"-0x1.8p1", 8, -3.0L},
        {".5", 2, 0.5L},
        {"5.", 2, 5.0L},
        {"0x.8", 4, 0.5L},
        {"1e", 1, 1.0L},
        {"1e+", 1, 1.0L},
        {"1e-", 1, 1.0L},
        {"1E5x", 3, 100000.0L},
        {"0x1p", 3, 1.0L},
        {"0x1p-", 3, 1.0L},
        {"0xAp-1", 6, 5.0L},
        {"0x1P+3", 6, 8.0L},
        {"0xff.8", 6, 255.5L},
        {"0x", 0, 0.0L},
        {"0x.", 0, 0.0L},
        {"0x.p1", 0, 0.0L},
        {".", 0, 0.0L},
        {".e1", 0, 0.0L},
        {"-", 0, 0.0L},
        {"  -", 0, 0.0L},
        {" +x", 0, 0.0L},
        {"inf", 0, 0.0L},
        {"nan", 0, 0.0L},
        {"-0", 2, -0.0L},
        {"-0x0", 4, -0.0L},
        {"+.5", 3, 0.5L},
        {"\t\n\v\f\r 2.5", 9, 2.5L},
        {"00x1", 2, 0.0L},
        {"1.e2", 4, 100.0L},
        {"1e5000", 6, std::nullopt},
        {"1e1024", 6, std::nullopt},
        {"1e4294967297", 12, std::nullopt},
        {"1e-5000", 7, std::nullopt},
        {"0x1p5000", 8, std::nullopt},
        {"0x1p-5000", 9, std::nullopt},
        {"1e-5", 4, std::nullopt},
        {"0.1", 3, std::nullopt},
        {"3.14159265358979", 16, std::nullopt},
        {"1e-300", 6, std::nullopt},
        {"123456789012345678901234567890", 30, std::nullopt},
        {"2.2250738585072011e-308", 23, std::nullopt},
        {"4.9e-324", 8, std::nullopt},
        {"1e400", 5, std::nullopt},
        {long_fraction, long_fraction.size(), std::nullopt},
        {"0." + std::string(1100, '9'), 1102, std::nullopt},
        {"0x." + std::string(1100, 'f'), 1103, std::nullopt},
        {std::string(5000, '9'), 5000, std::nullopt},  // beyond the extended range
        {"0x" + std::string(300, 'f') + ".8p-1200", 2 + 300 + 2 + 6, std::nullopt},
    };
    uint32_t end = buf(4);
    for (const FloatCase& c : cases) {
        SCOPED_TRACE(show(c.text));
        Parsed model = model_strtold(c.text);
        ASSERT_EQ(model.end, c.end) << "host model";
        if (c.is) {
            ASSERT_EQ(bytes_of(model.value), bytes_of(*c.is)) << "host model";
        }
        uint32_t s = str(c.text);
        ASSERT_EQ(g().call("strtold", {s, end}).stop, nuv::Stop::Returned);
        EXPECT_EQ(g().st0_bytes(), bytes_of(model.value)) << "strtold";
        EXPECT_EQ(g().u32(end), s + c.end) << "strtold end";

        g().set_u32(end, 0);
        ASSERT_EQ(g().call("strtod", {s, end}).stop, nuv::Stop::Returned);
        // The value handed back must already be rounded to double.
        long double as_double = static_cast<double>(model.value);
        EXPECT_EQ(g().st0_bytes(), bytes_of(as_double)) << "strtod";
        EXPECT_EQ(g().u32(end), s + c.end) << "strtod end";
    }
}

TEST_F(LibTest, StrtoldSaturatesItsScalingSteps) {
    // The exponent's effect stops after 1024 steps; beyond that the texts agree.
    auto value = [&](const std::string& text) {
        EXPECT_EQ(g().call("strtold", {str(text), 0u}).stop, nuv::Stop::Returned);
        return g().st0_bytes();
    };
    EXPECT_EQ(value("1e5000"), value("1e1024"));
    EXPECT_EQ(value("1e99999999999999999999"), value("1e1024"));
    EXPECT_EQ(value("1e-5000"), value("1e-1024"));
    EXPECT_NE(value("1e1023"), value("1e1024"));
    long double fifth = 1;
    for (int i = 0; i < 5; ++i) fifth /= 10;
    EXPECT_EQ(value("1e-5"), bytes_of(fifth));
    // A correctly rounded conversion of 0.1 would differ from 1/10 rounded
    // once; the steps give exactly 1/10.
    EXPECT_EQ(value("0.1"), bytes_of(1.0L / 10));
}

TEST_F(LibTest, StrtoldAndStrtodOfNullGiveZeroAndANullEnd) {
    uint32_t end = buf(4);
    for (const char* fn : {"strtold", "strtod"}) {
        g().set_u32(end, 0x12345678);
        ASSERT_EQ(g().call(fn, {0u, end}).stop, nuv::Stop::Returned);
        EXPECT_EQ(g().st0_bytes(), bytes_of(0.0L)) << fn;
        EXPECT_EQ(g().u32(end), 0u) << fn;
    }
}

}  // namespace
