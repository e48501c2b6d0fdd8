// Process exit, the environment, the random generator and the error texts.
#include "guest.hpp"

namespace {

using nuv::Stop;
using nuvtest::LibTest;

std::vector<int32_t> rands(nuv::Harness& m, int n) {
    std::vector<int32_t> v;
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(m.call("rand", {}).stop, Stop::Returned);
        v.push_back(static_cast<int32_t>(m.eax()));
    }
    return v;
}

TEST_F(LibTest, SeededSequencesMatchTheLinearCongruentialGenerator) {
    struct Case {
        uint32_t seed;
        std::vector<int32_t> first;
    };
    const Case cases[] = {
        {1, {16838, 5758, 10113, 17515, 31051, 5627, 23010, 7419}},
        {0, {16838, 5758, 10113, 17515, 31051, 5627, 23010, 7419}},
        {42, {19081, 17033, 15269, 25461, 13856}},
    };
    for (const Case& c : cases) {
        icall("srand", {c.seed});
        EXPECT_EQ(g().u32(sym("g_rand_seeded")), 1u);
        EXPECT_EQ(rands(g(), static_cast<int>(c.first.size())), c.first) << c.seed;
    }
    // The same seed again restarts the same sequence.
    icall("srand", {42});
    EXPECT_EQ(rands(g(), 2), (std::vector<int32_t>{19081, 17033}));
    icall("srand", {1});
    icall("rand", {});
    EXPECT_EQ(g().u32(sym("g_rand_state")), 0x41c67ea6u);
    EXPECT_TRUE(g().traps().empty());
}

TEST_F(LibTest, GeneratorStartsUnseededWithStateOne) {
    EXPECT_EQ(g().u32(sym("g_rand_state")), 1u);
    EXPECT_EQ(g().u32(sym("g_rand_seeded")), 0u);
}

TEST_F(LibTest, SelfSeedingRandStaysInRangeAndSeedsOnce) {
    int32_t first = icall("rand", {});
    EXPECT_GE(first, 0);
    EXPECT_LE(first, 32767);
    EXPECT_EQ(g().u32(sym("g_rand_seeded")), 1u);
    // From here on the plain generator runs from the stored state.
    uint32_t state = g().u32(sym("g_rand_state"));
    for (int i = 0; i < 200; ++i) {
        int32_t r = icall("rand", {});
        state = state * 1103515245u + 12345u;
        ASSERT_EQ(r, static_cast<int32_t>((state >> 16) & 0x7fff));
    }
}

// The self-seed mix with its four inputs, as the host computes it.
uint32_t mix(uint32_t lo, uint32_t hi, uint32_t local, uint32_t heap_used) {
    uint32_t x = local ^ heap_used ^ (hi * 1664525u) ^ lo;
    x ^= 0x9e3779b9u;
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

TEST(Rand, SelfSeedFollowsTheTimeStampCounter) {
    // With a controlled counter the seed is reproducible; the counter value
    // that makes the mix 0 must seed with 1 and give 16838.
    nuv::Options o = nuvtest::test_options();
    o.tsc = 0;
    auto probe = nuvtest::load_image("libtest", o);
    ASSERT_NE(probe, nullptr);
    ASSERT_EQ(probe->call("rand", {}).stop, Stop::Returned);
    // Recover the stack address the mix used from the stored state.
    uint32_t heap_used = probe->symbol("g_heap_used");
    uint32_t seeded = probe->u32(probe->symbol("g_rand_state"));
    uint32_t local = 0;
    bool found = false;
    for (uint32_t a = nuv::Harness::kStackTop - 4096; a < nuv::Harness::kStackTop; a += 4) {
        uint32_t x = mix(0, 0, a, heap_used);
        if ((x == 0 ? 1u : x) * 1103515245u + 12345u == seeded) {
            local = a;
            found = true;
            break;
        }
    }
    ASSERT_TRUE(found)
        << "the seed does not come from the counter, a stack address and g_heap_used";

    // The low half that makes the mix 0: the finaliser is a bijection with 0 -> 0.
    uint64_t zero_tsc = local ^ heap_used ^ 0x9e3779b9u;
    ASSERT_EQ(mix(static_cast<uint32_t>(zero_tsc), 0, local, heap_used), 0u);
    o.tsc = zero_tsc;
    auto m = nuvtest::load_image("libtest", o);
    ASSERT_EQ(m->call("rand", {}).stop, Stop::Returned);
    EXPECT_EQ(m->eax(), 16838u);
    EXPECT_EQ(m->u32(m->symbol("g_rand_state")), 0x41c67ea6u);

    // The high half counts too, multiplied by 1664525.
    o.tsc = (uint64_t{3} << 32) | 77;
    auto h = nuvtest::load_image("libtest", o);
    ASSERT_EQ(h->call("rand", {}).stop, Stop::Returned);
    EXPECT_EQ(h->u32(h->symbol("g_rand_state")),
              mix(77, 3, local, heap_used) * 1103515245u + 12345u);
}

TEST_F(LibTest, ErrorTexts) {
    struct Case {
        int32_t code;
        const char* text;
    };
    const Case cases[] = {
        {0, "ok"},
        {2, "no such file"},
        {22, "invalid argument"},
        {38, "not implemented"},
        {12, "error"},
        {1, "error"},
        {39, "error"},
        {-2, "error"},
        {2147483647, "error"},
        {-2147483647 - 1, "error"},
        {21, "error"},
        {23, "error"},
    };
    uint32_t error_text = 0;
    for (const Case& c : cases) {
        uint32_t p = call("strerror", {c.code});
        EXPECT_EQ(g().read_string(p), c.text) << c.code;
        EXPECT_FALSE(g().accessible(p, 1, true)) << "texts are read-only: " << c.code;
        if (std::string(c.text) == "error") {
            if (error_text == 0) error_text = p;
            EXPECT_EQ(p, error_text) << "one shared text";
        }
    }
}

TEST_F(LibTest, ExitAndAbortEndTheProcessWithTheirStatus) {
    struct Case {
        const char* fn;
        std::vector<uint32_t> args;
        int32_t status;
    };
    const Case cases[] = {
        {"exit", {3}, 3},
        {"exit", {static_cast<uint32_t>(-1)}, -1},
        {"exit", {256}, 256},
        {"abort", {}, 1},
    };
    for (const Case& c : cases) {
        SetUp();
        nuv::RunResult r = g().call_words(sym(c.fn), c.args);
        EXPECT_EQ(r.stop, Stop::Exited) << c.fn;
        EXPECT_EQ(r.status, c.status) << c.fn;
        EXPECT_EQ(trap_numbers(), std::vector<uint32_t>{NUV_SYS_exit}) << c.fn;
        EXPECT_EQ(g().output(), "");
    }
}

TEST_F(LibTest, AtexitRecordsNothingAndGetenvFindsNothing) {
    // A function that would write if it ever ran.
    uint32_t fn = sym("probe_spin");
    EXPECT_EQ(icall("atexit", {fn}), 0);
    EXPECT_EQ(icall("atexit", {0u}), 0);
    nuv::RunResult r = g().call("exit", {7});
    EXPECT_EQ(r.stop, Stop::Exited);
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(trap_numbers(), std::vector<uint32_t>{NUV_SYS_exit});

    SetUp();
    for (uint32_t name : {str("PATH"), str(""), 0u, 1u}) EXPECT_EQ(call("getenv", {name}), 0u);
    EXPECT_TRUE(g().traps().empty());
}

}  // namespace
