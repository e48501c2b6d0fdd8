// What the two formatters cost: guest instructions per output character,
// counted by the emulator and printed (run by hand: build/bench/format_cost).
// Only the output is checked here; the figures are for reading, not for
// asserting.
#include <cstdio>
#include <string>

#include "format_args.hpp"
#include "guest.hpp"

namespace {

constexpr const char* kFormat = "%s=%d (%5.2x)\n";
constexpr const char* kExpect = "key=1234 (   ab)\n";
constexpr int kRepeat = 100;  // calls per figure, averaged

class FormatCost : public nuvtest::CountingLibTest {
  protected:
    void SetUp() override {
        opts_.record_traps = false;
        CountingLibTest::SetUp();
    }

    // Runs fn kRepeat times with the words and returns the instructions per
    // output character; every call must return `chars`.
    double per_char(const char* fn, const std::vector<uint32_t>& words, int32_t chars) {
        uint64_t before = g().instructions();
        for (int i = 0; i < kRepeat; ++i) {
            nuv::RunResult r = g().call_words(sym(fn), words);
            if (r.stop != nuv::Stop::Returned || static_cast<int32_t>(g().eax()) != chars) {
                ADD_FAILURE() << fn << ": " << r.message << " returned "
                              << static_cast<int32_t>(g().eax()) << ", expected " << chars;
                return 0;
            }
        }
        return static_cast<double>(g().instructions() - before) / (kRepeat * chars);
    }

    void report(const char* what, double figure) {
        std::printf("[ figure   ] %-44s %7.1f instructions per character\n", what, figure);
        RecordProperty(what, std::to_string(figure));
    }
};

TEST_F(FormatCost, BufferFormatter) {
    const int32_t n = static_cast<int32_t>(std::string(kExpect).size());
    uint32_t dst = buf(64);
    uint32_t fmt = str(kFormat), key = str("key");
    report("snprintf \"%s=%d (%5.2x)\\n\"",
           per_char("snprintf", {dst, 64u, fmt, key, 1234u, 0xabu}, n));
    EXPECT_EQ(g().read_string(dst), kExpect);
    // Measuring only (size 0): the count without the stores.
    report("snprintf, size 0", per_char("snprintf", {0u, 0u, fmt, key, 1234u, 0xabu}, n));
}

TEST_F(FormatCost, StreamFormatterToAMemoryStream) {
    const int32_t n = static_cast<int32_t>(std::string(kExpect).size());
    uint32_t out_buf = buf(4, 0), out_len = buf(4, 0);
    uint32_t stream = nuvtest::make_file(g(), 2, 0, out_buf, out_len);
    uint32_t fmt = str(kFormat);
    uint32_t ap = nuvtest::alloc(g(), 12, 4);
    const uint32_t args[3] = {str("key"), 1234u, 0xabu};
    g().write(ap, args, sizeof args);
    report("vfprintf to a memory stream, same format", per_char("vfprintf", {stream, fmt, ap}, n));
    std::string all;
    for (int i = 0; i < kRepeat; ++i) all += kExpect;
    ASSERT_EQ(g().u32(out_len), all.size());
    EXPECT_EQ(g().read_string(g().u32(out_buf)), all);
}

TEST_F(FormatCost, StreamFormatterToDescriptorOne) {
    // Guest instructions only: the kernel's side of each write is not counted.
    const int32_t n = static_cast<int32_t>(std::string(kExpect).size());
    uint32_t fmt = str(kFormat);
    uint32_t ap = nuvtest::alloc(g(), 12, 4);
    const uint32_t args[3] = {str("key"), 1234u, 0xabu};
    g().write(ap, args, sizeof args);
    report("vfprintf to stdout, same format",
           per_char("vfprintf", {g().u32(sym("stdout")), fmt, ap}, n));
    EXPECT_EQ(g().output().substr(0, n), kExpect);
}

}  // namespace
