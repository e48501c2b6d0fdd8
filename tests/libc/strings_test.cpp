// Copying, joining, searching, duplicating and tokenising strings.
#include <cstdio>
#include <random>

#include "guest.hpp"

namespace {

using nuvtest::LibTest;

class Strings : public LibTest {
  protected:
    // A guest buffer of n bytes holding text (and its NUL), the rest 0xAA.
    uint32_t text_buf(std::string_view text, size_t n) {
        uint32_t b = buf(n);
        g().write(b, text.data(), text.size());
        uint8_t nul = 0;
        g().write(b + static_cast<uint32_t>(text.size()), &nul, 1);
        return b;
    }
    std::string bytes(uint32_t at, size_t n) {
        std::vector<uint8_t> v = g().read_bytes(at, n);
        return std::string(v.begin(), v.end());
    }
    // The size a heap block was asked for (the heap keeps it before the block).
    uint32_t requested(uint32_t block) { return g().u32(block - 4); }
};

TEST_F(Strings, StrcpyCopiesThroughTheNulAndGuardsNulls) {
    uint32_t d = buf(8);
    EXPECT_EQ(call("strcpy", {d, str("abc")}), d);
    EXPECT_EQ(bytes(d, 5), std::string("abc\0\xAA", 5));
    // A null source makes the destination empty; only the first byte is written.
    uint32_t e = text_buf("xyz", 8);
    EXPECT_EQ(call("strcpy", {e, 0u}), e);
    EXPECT_EQ(bytes(e, 4), std::string("\0yz\0", 4));
    EXPECT_EQ(call("strcpy", {0u, str("abc")}), 0u);
}

TEST_F(Strings, StrncpyPadsShortSourcesAndAddsNoNulToLongOnes) {
    struct Case {
        const char* src;  // nullptr: a null source
        uint32_t n;
        std::string expect;  // the first 6 bytes of the destination afterwards
    };
    const Case cases[] = {
        {"ab", 5, std::string("ab\0\0\0\xAA", 6)},
        {"abcdef", 3, std::string("abc\xAA\xAA\xAA", 6)},
        {"abc", 3, std::string("abc\xAA\xAA\xAA", 6)},
        {"", 2, std::string("\0\0\xAA\xAA\xAA\xAA", 6)},
        {nullptr, 4, std::string("\0\0\0\0\xAA\xAA", 6)},
        {"abc", 0, std::string(6, '\xAA')},
    };
    for (const Case& c : cases) {
        uint32_t d = buf(8);
        uint32_t src = c.src ? str(c.src) : 0u;
        EXPECT_EQ(call("strncpy", {d, src, c.n}), d) << c.src;
        EXPECT_EQ(bytes(d, 6), c.expect) << (c.src ? c.src : "null") << " n " << c.n;
    }
    EXPECT_EQ(call("strncpy", {0u, str("abc"), 3u}), 0u);
}

TEST_F(Strings, StrcatAndStrncatJoin) {
    uint32_t d = text_buf("ab", 12);
    EXPECT_EQ(call("strcat", {d, str("cd")}), d);
    EXPECT_EQ(g().read_string(d), "abcd");
    EXPECT_EQ(call("strcat", {d, 0u}), d);
    EXPECT_EQ(g().read_string(d), "abcd");
    EXPECT_EQ(call("strcat", {0u, str("x")}), 0u);

    // strncat stops after n bytes and always ends with a NUL: n + 1 bytes written.
    uint32_t e = text_buf("ab", 12);
    EXPECT_EQ(call("strncat", {e, str("cdef"), 2u}), e);
    EXPECT_EQ(bytes(e, 6), std::string("abcd\0\xAA", 6));
    EXPECT_EQ(call("strncat", {e, str("xy"), 10u}), e);
    EXPECT_EQ(bytes(e, 8), std::string("abcdxy\0\xAA", 8));
    EXPECT_EQ(call("strncat", {e, 0u, 5u}), e);
    EXPECT_EQ(call("strncat", {e, str("zz"), 0u}), e);
    EXPECT_EQ(bytes(e, 8), std::string("abcdxy\0\xAA", 8));
    EXPECT_EQ(call("strncat", {0u, str("x"), 1u}), 0u);
}

TEST_F(Strings, StrchrAndStrrchrUseTheLowByte) {
    struct Case {
        const char* fn;
        const char* s;
        uint32_t c;
        int index;  // -1: null
    };
    const Case cases[] = {
        {"strchr", "abc", 0, 3},       {"strchr", "abc", 'a' + 256, 0},
        {"strchr", "abca", 'a', 0},    {"strchr", "abc", 'z', -1},
        {"strchr", "a\xE9z", 0xE9, 1}, {"strchr", "a\xE9z", 0xFFFFFFE9u, 1},
        {"strrchr", "abca", 'a', 3},   {"strrchr", "abc", 'z', -1},
        {"strrchr", "abc", 0, 3},      {"strrchr", "abc", 'c' + 512, 2},
        {"strrchr", "", 0, 0},         {"strchr", "", 'a', -1},
    };
    for (const Case& c : cases) {
        uint32_t s = str(c.s);
        uint32_t expect = c.index < 0 ? 0u : s + static_cast<uint32_t>(c.index);
        EXPECT_EQ(call(c.fn, {s, c.c}), expect) << c.fn << "(" << c.s << ", " << c.c << ")";
    }
    EXPECT_EQ(call("strchr", {0u, 0u}), 0u);
    EXPECT_EQ(call("strrchr", {0u, 0u}), 0u);
}

TEST_F(Strings, StrstrFindsTheFirstOccurrence) {
    struct Case {
        const char* s;
        const char* needle;
        int index;  // -1: null
    };
    const Case cases[] = {
        {"aab", "ab", 1},
        {"abc", "", 0},
        {"", "", 0},
        {"ab", "abc", -1},
        {"", "a", -1},
        {"abcabc", "c", 2},
        {"abcabd", "abd", 3},
        {"aaab", "aab", 1},
        {"abababac", "ababac", 2},
        {"xabcabcabcy", "abcabcy", 4},
        {"\xFF\x80\x01", "\x80\x01", 1},
        {"needle in a haystack", "stack", 15},
        {"aaaaaaaaab", "aaaab", 5},
        {"abcd", "abce", -1},
        // Periodic needles, where a shift keeps part of the window known.
        {"baaabbaaabbababbaaaabaaaabbbbaabbaababaa", "aabaa", 18},
        {"cbcabbbabbbbc", "bbabb", 5},
        {"abababab", "ababab", 0},
    };
    for (const Case& c : cases) {
        uint32_t s = str(c.s);
        uint32_t expect = c.index < 0 ? 0u : s + static_cast<uint32_t>(c.index);
        EXPECT_EQ(call("strstr", {s, str(c.needle)}), expect) << c.s << " / " << c.needle;
    }
    // The null guard comes before the empty-needle rule.
    EXPECT_EQ(call("strstr", {0u, str("")}), 0u);
    EXPECT_EQ(call("strstr", {str("abc"), 0u}), 0u);
}

TEST_F(Strings, StrstrAgreesWithThePlainSearchOnRandomTexts) {
    // Small alphabets make repetitive needles, where skipping searches go wrong.
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        const int alphabet = 1 + round % 3;
        auto random_text = [&](size_t max) {
            std::string t(std::uniform_int_distribution<size_t>(0, max)(rng), 'a');
            for (char& ch : t) ch = static_cast<char>('a' + rng() % alphabet);
            return t;
        };
        const bool long_one = round % 10 == 0;
        std::string text = random_text(long_one ? 300 : 40);
        std::string needle = random_text(long_one ? 40 : round % 5 == 0 ? 12 : 5);
        // Plant the needle now and then, so that matches are common.
        if (round % 2 == 0 && !text.empty() && needle.size() <= text.size()) {
            text.replace(rng() % (text.size() - needle.size() + 1), needle.size(), needle);
        }
        uint32_t s = str(text), n = str(needle);
        EXPECT_EQ(call("strstr", {s, n}), call("probe_strstr_plain", {s, n}))
            << "text " << text << " needle " << needle;
    }
}

TEST_F(Strings, StrdupAndStrndupAskTheHeapForExactSizes) {
    struct Case {
        const char* fn;
        uint32_t s;  // 0: null; 1: a string; other: a raw pointer
        const char* text;
        uint32_t n;
        const char* expect;  // nullptr: a null result
        uint32_t request;
    };
    const Case cases[] = {
        {"strdup", 1, "abc", 0, "abc", 4},
        {"strdup", 1, "", 0, "", 1},
        {"strdup", 0, nullptr, 0, nullptr, 0},
        {"strndup", 1, "abcdef", 3, "abc", 4},
        {"strndup", 1, "ab", 10, "ab", 3},
        {"strndup", 1, "ab", 0, "", 1},
        {"strndup", 0, nullptr, 5, nullptr, 0},
        // Below 4096 counts as no string: an empty copy, the pointer never read.
        {"strndup", 0x10, nullptr, 5, "", 1},
        {"strndup", 0xFFF, nullptr, 0xFFFFFFFFu, "", 1},
        {"strdup", 0x10, nullptr, 0, "", 1},
    };
    for (const Case& c : cases) {
        uint32_t s = c.s == 1 ? str(c.text) : c.s;
        uint32_t used = g().u32(sym("g_heap_used"));
        uint32_t r = call(c.fn, {s, c.n});
        if (c.expect == nullptr) {
            EXPECT_EQ(r, 0u) << c.fn;
            EXPECT_EQ(g().u32(sym("g_heap_used")), used) << c.fn << ": nothing allocated";
            continue;
        }
        ASSERT_NE(r, 0u) << c.fn;
        EXPECT_NE(r, s);
        EXPECT_EQ(g().read_string(r), c.expect) << c.fn << " " << c.n;
        EXPECT_EQ(requested(r), c.request) << c.fn << " " << c.n;
    }
}

TEST_F(Strings, StrdupFailsCleanlyWhenTheHeapIsFull) {
    g().set_u32(sym("g_heap_used"), (1u << 20) - 8);
    EXPECT_EQ(call("strdup", {str("a long enough string")}), 0u);
    EXPECT_EQ(icall("strndup", {str("abcdefgh"), 8u}), 0);
    EXPECT_EQ(g().u32(sym("errno")), 12u);
    // What still fits is still handed out.
    uint32_t r = call("strdup", {str("abc")});
    ASSERT_NE(r, 0u);
    EXPECT_EQ(g().read_string(r), "abc");
}

class Tokeniser : public Strings {
  protected:
    // The token returned as an offset into the buffer, or -1 for null.
    int next(uint32_t s, uint32_t delim, uint32_t base) {
        uint32_t r = call("strtok", {s, delim});
        return r == 0 ? -1 : static_cast<int>(r - base);
    }
};

TEST_F(Tokeniser, SplitsTheSixByteExampleInPlace) {
    uint32_t b =
        nuvtest::put_bytes(g(), std::vector<uint8_t>{',', 'a', ',', ',', 'b', ',', 0, 0xAA});
    uint32_t comma = str(",");
    EXPECT_EQ(next(b, comma, b), 1);
    EXPECT_EQ(g().read_string(b + 1), "a");
    EXPECT_EQ(next(0, comma, b), 4);
    EXPECT_EQ(g().read_string(b + 4), "b");
    EXPECT_EQ(next(0, comma, b), -1);
    EXPECT_EQ(next(0, comma, b), -1);
    EXPECT_EQ(bytes(b, 8), std::string(",a\0,b\0\0\xAA", 8));
}

TEST_F(Tokeniser, CasesRunFromAFreshStart) {
    struct Case {
        std::string text;
        const char* delim;  // nullptr: a null delimiter set
        std::vector<std::string> tokens;
    };
    const Case cases[] = {
        {"a b", nullptr, {"a b"}},
        {"a b", "", {"a b"}},
        {",,,", ",", {}},
        {"", ",", {}},
        {"abc", ",", {"abc"}},
        {"a;b,,c;", ",;", {"a", "b", "c"}},
        {"  x  yy ", " ", {"x", "yy"}},
    };
    for (const Case& c : cases) {
        SetUp();
        uint32_t b = str(c.text);
        uint32_t d = c.delim ? str(c.delim) : 0u;
        std::vector<std::string> got;
        for (uint32_t s = b;; s = 0) {
            uint32_t r = call("strtok", {s, d});
            if (r == 0) break;
            got.push_back(g().read_string(r));
            ASSERT_LT(got.size(), 10u) << c.text;
        }
        EXPECT_EQ(got, c.tokens) << "'" << c.text << "'";
        // Once it has ended, it stays ended.
        EXPECT_EQ(call("strtok", {0u, d}), 0u);
    }
}

TEST_F(Tokeniser, NullStringWithoutATokenisationGivesNull) {
    EXPECT_EQ(call("strtok", {0u, str(",")}), 0u);
    EXPECT_EQ(call("strtok", {0u, 0u}), 0u);
}

TEST_F(Tokeniser, ANewStringAbandonsTheFirst) {
    uint32_t first = str("a,b,c"), second = str("x,y");
    uint32_t comma = str(",");
    EXPECT_EQ(next(first, comma, first), 0);
    EXPECT_EQ(next(second, comma, second), 0);
    EXPECT_EQ(next(0, comma, second), 2);
    EXPECT_EQ(next(0, comma, second), -1);
    // The delimiter set may change from call to call.
    uint32_t third = str("p,q;r");
    EXPECT_EQ(next(third, str(";"), third), 0);
    EXPECT_EQ(g().read_string(third), "p,q");
    EXPECT_EQ(next(0, comma, third), 4);
}

// Instruction counts of strstr against the plain search, printed for the record.
TEST(StrstrCost, LinearOnTheWorstCaseOfThePlainSearch) {
    nuv::Options o = nuvtest::test_options();
    o.count_instructions = true;
    auto m = nuvtest::load_image("libtest", o);
    auto cost = [&](const char* fn, const std::string& text, const std::string& needle,
                    uint32_t& result) {
        uint32_t s = nuvtest::put_string(*m, text), n = nuvtest::put_string(*m, needle);
        uint64_t before = m->instructions();
        EXPECT_EQ(m->call(fn, {s, n}).stop, nuv::Stop::Returned);
        result = m->eax() == 0 ? 0 : m->eax() - s + 1;
        return m->instructions() - before;
    };
    struct Case {
        std::string text, needle;
    };
    const Case cases[] = {
        {std::string(4096, 'a'), std::string(63, 'a') + "b"},
        {std::string(4096, 'a') + "b", std::string(63, 'a') + "b"},
        {std::string(4096, 'a'), "b" + std::string(63, 'a')},
        {std::string(4096, 'a'), std::string(32, 'a') + "b" + std::string(31, 'a')},
        {"a", std::string(1000, 'a')},
        {std::string(100, 'b'), "a"},
        {std::string(500, 'x') + "needle", "needle"},
    };
    for (const Case& c : cases) {
        uint32_t got = 0, want = 0;
        uint64_t plain = cost("probe_strstr_plain", c.text, c.needle, want);
        uint64_t ours = cost("strstr", c.text, c.needle, got);
        EXPECT_EQ(got, want);
        std::printf("strstr text %zu needle %zu: plain search %llu instructions, strstr %llu\n",
                    c.text.size(), c.needle.size(), static_cast<unsigned long long>(plain),
                    static_cast<unsigned long long>(ours));
        // Never dearer than one comparison step per text byte and needle byte.
        EXPECT_LE(ours, 40 + 8 * (c.text.size() + 1) * c.needle.size()) << c.needle.size();
    }
}

}  // namespace
