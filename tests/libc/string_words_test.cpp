// The word-at-a-time string functions and the buffer formatter read whole
// words: they must give the byte-by-byte results at every alignment of a
// string's start and end, never see bytes after the NUL, and never read from
// a page the string does not reach.
#include <string>

#include "guest.hpp"

namespace {

// The comparison result the functions promise: the signed difference of the
// first differing bytes, or of the bytes at a's NUL.
int model_compare(const std::string& a, const std::string& b, size_t n, bool stop_at_nul) {
    for (size_t k = 0; k < n; ++k) {
        int x = k < a.size() ? static_cast<uint8_t>(a[k]) : 0;
        int y = k < b.size() ? static_cast<uint8_t>(b[k]) : 0;
        if (x != y || (stop_at_nul && x == 0)) return x - y;
    }
    return 0;
}

class StringWords : public nuvtest::LibTest {
  protected:
    void SetUp() override {
        LibTest::SetUp();
        page_ = g().map_anonymous(4096, 3);
        ASSERT_NE(page_, 0u);
        ASSERT_FALSE(g().accessible(page_ + 4096, 1, false)) << "the next page must be unmapped";
    }

    // Writes s, its NUL and `after` so that they end on the page's last byte.
    uint32_t at_page_end(const std::string& s, const std::string& after = "") {
        std::string bytes = s + '\0' + after;
        uint32_t a = page_ + 4096 - static_cast<uint32_t>(bytes.size());
        EXPECT_TRUE(g().write(a, bytes.data(), bytes.size()));
        return a;
    }

    // Writes bytes at the given offset (mod 16) of fresh scratch memory.
    uint32_t placed(const std::string& bytes, uint32_t offset) {
        uint32_t a = buf(bytes.size() + 32) + offset;
        EXPECT_TRUE(g().write(a, bytes.data(), bytes.size()));
        return a;
    }

    uint32_t page_ = 0;
};

TEST_F(StringWords, StringsEndingRightBeforeAnUnmappedPage) {
    const std::string letters = "abcdefghijklmnopq";
    // The NUL at each place of its word (0 to 3 bytes of 'x' after it, then
    // the page ends) and the start at every alignment (the lengths).
    for (size_t tail = 0; tail < 4; ++tail) {
        for (size_t len = 0; len <= 13; ++len) {
            SCOPED_TRACE("length " + std::to_string(len) + ", bytes after the NUL " +
                         std::to_string(tail));
            const std::string s = letters.substr(0, len);
            const uint32_t p = at_page_end(s, std::string(tail, 'x'));
            const uint32_t same = placed(s + std::string(1, '\0') + "yyyy", 1);
            EXPECT_EQ(call("strlen", {p}), len);
            // 'x' follows the NUL in the same word: it must not be found.
            EXPECT_EQ(call("strchr", {p, 'x'}), 0u);
            EXPECT_EQ(call("strrchr", {p, 'x'}), 0u);
            EXPECT_EQ(call("strchr", {p, 0u}), p + len);
            EXPECT_EQ(call("strrchr", {p, 0u}), p + len);
            if (len > 0) {
                EXPECT_EQ(call("strchr", {p, static_cast<uint32_t>(s.back())}), p + len - 1);
                EXPECT_EQ(call("strrchr", {p, 'a'}), p);
            }
            // Both operands, each one at the page's end.
            EXPECT_EQ(icall("strcmp", {p, same}), 0);
            EXPECT_EQ(icall("strcmp", {same, p}), 0);
            EXPECT_EQ(icall("strncmp", {same, p, static_cast<uint32_t>(len + 9)}), 0);
            EXPECT_EQ(icall("memcmp", {same, p, static_cast<uint32_t>(len + 1)}), 0);
            const uint32_t longer = str(s + "z");
            EXPECT_EQ(icall("strcmp", {p, longer}), -'z');
            EXPECT_EQ(icall("strcmp", {longer, p}), 'z');
            // Copying from it, and joining it on.
            uint32_t dst = buf(32);
            EXPECT_EQ(call("strcpy", {dst + 3, p}), dst + 3);
            EXPECT_EQ(g().read_string(dst + 3), s);
            EXPECT_EQ(g().read_bytes(dst + 4 + len, 1), std::vector<uint8_t>{0xAA});
            uint32_t joined = placed(std::string("12") + '\0' + std::string(40, '\xAA'), 2);
            EXPECT_EQ(call("strcat", {joined, p}), joined);
            EXPECT_EQ(g().read_string(joined), "12" + s);
            // Searching in it.
            EXPECT_EQ(call("strstr", {p, str("x")}), 0u);
            if (len >= 2) {
                uint32_t end = str(s.substr(len - 2));
                EXPECT_EQ(call("strstr", {p, end}), p + len - 2);
            }
            if (len >= 9) {
                uint32_t end = str(s.substr(len - 9));
                EXPECT_EQ(call("strstr", {p, end}), p + len - 9);
            }
            // The buffer formatter, with the string as argument and as format.
            uint32_t out = buf(64);
            EXPECT_EQ(call("snprintf", {out, 64u, str("%s"), p}), len);
            EXPECT_EQ(g().read_string(out), s);
            EXPECT_EQ(call("snprintf", {out, 64u, p}), len);
            EXPECT_EQ(g().read_string(out), s);
            EXPECT_EQ(call("snprintf", {out, 64u, str("%.3s"), p}), std::min<size_t>(len, 3));
        }
    }
    // An array without a NUL that fills the page to its end, bounded by a
    // precision: nothing past the precision is read.
    uint32_t no_nul = page_ + 4096 - 7;
    ASSERT_TRUE(g().write(no_nul, "abcdefg", 7));
    uint32_t out = buf(16);
    EXPECT_EQ(call("snprintf", {out, 16u, str("[%.7s]"), no_nul}), 9u);
    EXPECT_EQ(g().read_string(out), "[abcdefg]");
    EXPECT_EQ(icall("memcmp", {no_nul, str("abcdefh"), 7u}), -1);
}

TEST_F(StringWords, ComparisonsAtEveryAlignmentAndDifference) {
    const std::string base = "comparison!";
    for (uint32_t off_a = 0; off_a < 4; ++off_a) {
        for (uint32_t off_b = 0; off_b < 4; ++off_b) {
            for (size_t len = 1; len <= base.size(); ++len) {
                // A difference at each place, an equal pair, and a prefix.
                for (size_t at = 0; at <= len; ++at) {
                    std::string a = base.substr(0, len), b = a;
                    if (at < len) b[at] = static_cast<char>(at % 2 ? '\xF0' : 'A');
                    if (at == len) b += "more";
                    uint32_t pa = placed(a + '\0', off_a), pb = placed(b + '\0', off_b);
                    SCOPED_TRACE(a + " / " + b + " at offsets " + std::to_string(off_a) + ", " +
                                 std::to_string(off_b));
                    EXPECT_EQ(icall("strcmp", {pa, pb}), model_compare(a, b, SIZE_MAX, true));
                    EXPECT_EQ(icall("strcmp", {pb, pa}), model_compare(b, a, SIZE_MAX, true));
                    for (uint32_t n : {1u, 3u, 4u, 5u, 8u, static_cast<uint32_t>(len)}) {
                        EXPECT_EQ(icall("strncmp", {pa, pb, n}), model_compare(a, b, n, true)) << n;
                        if (n <= len) {
                            EXPECT_EQ(icall("memcmp", {pa, pb, n}), model_compare(a, b, n, false))
                                << n;
                        }
                    }
                }
            }
        }
    }
}

TEST_F(StringWords, BlockComparisonFindsTheFirstDifferenceInLongBlocks) {
    // Blocks longer than one step of several words: one difference at each
    // place (a high byte on one side, and a second, later difference that
    // must not count), every length up to and past it, both offsets mod 4.
    std::string a(40, '\0');
    for (size_t k = 0; k < a.size(); ++k) a[k] = static_cast<char>('0' + k % 50);
    for (uint32_t off_b = 0; off_b < 4; ++off_b) {
        for (size_t at = 0; at < a.size(); ++at) {
            std::string b = a;
            b[at] = static_cast<char>(at % 2 ? '\xF0' : '\x01');
            if (at + 3 < b.size()) b[at + 3] = static_cast<char>(b[at + 3] ^ 0x40);
            uint32_t pa = placed(a, 1), pb = placed(b, off_b);
            for (uint32_t n = 0; n <= a.size(); ++n) {
                SCOPED_TRACE("difference at " + std::to_string(at) + ", length " +
                             std::to_string(n) + ", offset " + std::to_string(off_b));
                ASSERT_EQ(icall("memcmp", {pa, pb, n}), model_compare(a, b, n, false));
                ASSERT_EQ(icall("memcmp", {pb, pa, n}), model_compare(b, a, n, false));
            }
        }
    }
}

TEST_F(StringWords, SearchesSeeEveryPlaceOfTheWord) {
    // The byte looked for at each place, before and after the NUL, from each
    // start alignment, among plain text and among bytes of 0x80 and above;
    // strrchr must keep the last of several hits.
    for (uint32_t offset = 0; offset < 8; ++offset) {
        for (size_t len = 0; len <= 20; ++len) {
            for (size_t hit = 0; hit < len; ++hit) {
                std::string s(len, (offset + len) % 3 == 0 ? '\xF0' : '.');
                s[hit] = '#';
                if (hit + 5 < len) s[hit + 5] = '#';
                const size_t last = hit + 5 < len ? hit + 5 : hit;
                uint32_t p = placed(s + '\0' + "####", offset);
                SCOPED_TRACE(s + " at offset " + std::to_string(offset));
                EXPECT_EQ(call("strchr", {p, '#'}), p + hit);
                EXPECT_EQ(call("strrchr", {p, '#'}), p + last);
                EXPECT_EQ(call("strchr", {p, 0x100 + '#'}), p + hit);
            }
        }
    }
}

}  // namespace
