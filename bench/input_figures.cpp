// Instruction counts of the conversions, printed as figures (run by hand:
// build/bench/input_figures). Each call's result is checked; the figures are
// for reading. The bound on strtold's cost is a test:
// tests/libc/strtold_cost_test.cpp.
#include <cstdio>
#include <string>

#include "guest.hpp"

namespace {

class InputFigures : public nuvtest::CountingLibTest {
  protected:
    uint64_t measure(const char* fn, std::initializer_list<nuv::Arg> args) {
        return instructions_of(fn, args);
    }
    uint64_t strtold_cost(const std::string& text) { return measure("strtold", {str(text), 0u}); }
};

TEST_F(InputFigures, PrintsInstructionCounts) {
    uint64_t pi = measure("strtod", {str("3.14159265358979"), 0u});
    EXPECT_DOUBLE_EQ(static_cast<double>(g().st0()), 3.14159265358979);
    uint64_t tiny = measure("strtod", {str("1e-300"), 0u});
    EXPECT_NEAR(static_cast<double>(g().st0()) / 1e-300, 1.0, 1e-12);
    uint32_t n = buf(4), word = buf(16);
    uint64_t scan = measure("sscanf", {str("  -17abc"), str("%d%s"), n, word});
    EXPECT_EQ(static_cast<int32_t>(g().eax()), 2);
    EXPECT_EQ(static_cast<int32_t>(g().u32(n)), -17);
    EXPECT_EQ(g().read_string(word), "abc");

    std::printf("instructions: strtod(\"3.14159265358979\") %llu\n",
                static_cast<unsigned long long>(pi));
    std::printf("instructions: strtod(\"1e-300\") %llu\n", static_cast<unsigned long long>(tiny));
    std::printf("instructions: sscanf(\"  -17abc\", \"%%d%%s\") %llu\n",
                static_cast<unsigned long long>(scan));
}

TEST_F(InputFigures, StrtoldAtLongExponentsAndFractions) {
    uint64_t at_limit = strtold_cost("1e1024"), past = strtold_cost("1e4096");
    uint64_t fraction_1024 = strtold_cost("0." + std::string(1024, '3'));
    uint64_t fraction_2048 = strtold_cost("0." + std::string(2048, '3'));
    std::printf(
        "instructions: strtold 1e1024 %llu, 1e4096 %llu; 1024 fraction digits %llu, 2048 %llu\n",
        static_cast<unsigned long long>(at_limit), static_cast<unsigned long long>(past),
        static_cast<unsigned long long>(fraction_1024),
        static_cast<unsigned long long>(fraction_2048));
}

}  // namespace
