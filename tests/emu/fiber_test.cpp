// The fiber the Unicorn engine runs its emulator on: left at any depth and
// entered again, with both sides' state as they left it.
#include <gtest/gtest.h>

#include <cfenv>
#include <string>
#include <vector>

#include "fiber.hpp"

namespace {

struct Trip {
    nuv::Fiber* fiber = nullptr;
    std::vector<std::string> log;
    int depth_reached = 0;
};

// Recurses, leaving the fiber at every level on the way down and up, with
// locals on each frame that must survive the trips out.
int descend(Trip& t, int depth) {
    volatile int mine = depth * 7;
    std::string name = "frame " + std::to_string(depth);
    // The fiber's own rounding, kept across its trips out.
    if (depth == 0) std::fesetround(FE_TOWARDZERO);
    t.log.push_back("down " + std::to_string(depth));
    t.depth_reached = depth;
    t.fiber->leave();
    if (std::fegetround() != FE_TOWARDZERO) t.log.push_back("rounding lost");
    int below = depth < 40 ? descend(t, depth + 1) : 0;
    t.log.push_back("up " + std::to_string(depth) + " " + name);
    t.fiber->leave();
    return below + mine;
}

TEST(Fiber, ALeftBodyResumesWhereItStoodAtEveryDepth) {
    Trip t;
    int result = -1;
    struct Arg {
        Trip* t;
        int* result;
    } arg{&t, &result};
    std::unique_ptr<nuv::Fiber> f = nuv::Fiber::create(
        1 << 20,
        [](void* a) { *static_cast<Arg*>(a)->result = descend(*static_cast<Arg*>(a)->t, 0); },
        &arg);
    ASSERT_TRUE(f);
    t.fiber = f.get();
    int entries = 0;
    // The enterer's own rounding, kept across the trips in.
    ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
    while (!f->finished()) {
        EXPECT_FALSE(f->inside());
        f->enter();
        ++entries;
        ASSERT_LT(entries, 1000);
        EXPECT_EQ(std::fegetround(), FE_UPWARD);
    }
    std::fesetround(FE_TONEAREST);
    // Down 0..40 and up again: one entry per leave, and one for the return.
    EXPECT_EQ(entries, 2 * 41 + 1);
    EXPECT_EQ(t.depth_reached, 40);
    EXPECT_EQ(result, 7 * (40 * 41 / 2));
    ASSERT_EQ(t.log.size(), 82u);
    EXPECT_EQ(t.log[41], "up 40 frame 40");
    EXPECT_EQ(t.log.back(), "up 0 frame 0");
}

TEST(Fiber, ABodyNeverEnteredOrFinishedGoesWithItsStack) {
    int ran = 0;
    {
        std::unique_ptr<nuv::Fiber> never = nuv::Fiber::create(
            64 << 10, [](void* a) { ++*static_cast<int*>(a); }, &ran);
        ASSERT_TRUE(never);
        EXPECT_FALSE(never->finished());
    }
    EXPECT_EQ(ran, 0);
    for (int i = 0; i < 200; ++i) {
        std::unique_ptr<nuv::Fiber> once = nuv::Fiber::create(
            64 << 10, [](void* a) { ++*static_cast<int*>(a); }, &ran);
        ASSERT_TRUE(once);
        once->enter();
        EXPECT_TRUE(once->finished());
    }
    EXPECT_EQ(ran, 200);
}

}  // namespace
