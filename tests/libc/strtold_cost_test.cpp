// The cost bound of strtold, in guest instructions: its work follows the
// number of digits, not the exponent. (The conversions' plain instruction
// counts are printed by bench/input_figures.)
#include <string>

#include "guest.hpp"

namespace {

class InputFigures : public nuvtest::CountingLibTest {
  protected:
    uint64_t strtold_cost(const std::string& text) {
        return instructions_of("strtold", {str(text), 0u});
    }
};

TEST_F(InputFigures, StrtoldCostStopsGrowingWithTheExponent) {
    // Past 1024 the exponent adds only the cost of reading its digits.
    uint64_t at_limit = strtold_cost("1e1024");
    EXPECT_LE(strtold_cost("1e4096"), at_limit + 20);
    EXPECT_LE(strtold_cost("1e-4096"), strtold_cost("1e-1024") + 20);
    EXPECT_LE(strtold_cost("0x1p4096"), strtold_cost("0x1p1024") + 20);
    // Thirty exponent digits: about as many steps each as digits in the mantissa.
    EXPECT_LE(strtold_cost("1e" + std::string(30, '9')), at_limit + 30 * 20);
    // Fraction digits past 1024 cost their reading but no further division,
    // so the second thousand digits are cheaper than the first.
    uint64_t fraction_1 = strtold_cost("0.3");
    uint64_t fraction_1024 = strtold_cost("0." + std::string(1024, '3'));
    uint64_t fraction_2048 = strtold_cost("0." + std::string(2048, '3'));
    EXPECT_LT(fraction_2048 - fraction_1024, fraction_1024 - fraction_1);
}

}  // namespace
