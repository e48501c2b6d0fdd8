// The test support itself, where a fault would hide others: what a test that
// cannot start the native engine does, and the host commands tests run.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "guest.hpp"

namespace {

bool g_went_on = false;

void give_up() {
    NUVTEST_NATIVE_UNAVAILABLE("no 32-bit programs here");
    g_went_on = true;
}

// What give_up() reports with NUV_REQUIRE_NATIVE set to VALUE (nullptr:
// unset), taken from the running test; the variable is put back after.
std::vector<testing::TestPartResult> outcome_with(const char* value) {
    const char* old = std::getenv("NUV_REQUIRE_NATIVE");
    std::optional<std::string> saved;
    if (old != nullptr) saved = old;
    if (value != nullptr) {
        setenv("NUV_REQUIRE_NATIVE", value, 1);
    } else {
        unsetenv("NUV_REQUIRE_NATIVE");
    }
    testing::TestPartResultArray results;
    {
        testing::ScopedFakeTestPartResultReporter reporter(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
        g_went_on = false;
        give_up();
    }
    if (saved) {
        setenv("NUV_REQUIRE_NATIVE", saved->c_str(), 1);
    } else {
        unsetenv("NUV_REQUIRE_NATIVE");
    }
    std::vector<testing::TestPartResult> v;
    for (int i = 0; i < results.size(); ++i) v.push_back(results.GetTestPartResult(i));
    return v;
}

TEST(NativeRequired, UnsetEmptyOrZeroSkipsAnythingElseFails) {
    for (const char* value : {static_cast<const char*>(nullptr), "", "0"}) {
        SCOPED_TRACE(value ? value : "unset");
        std::vector<testing::TestPartResult> r = outcome_with(value);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].type(), testing::TestPartResult::kSkip);
        EXPECT_NE(std::string(r[0].message()).find("no 32-bit programs here"), std::string::npos);
        EXPECT_FALSE(g_went_on);
    }
    for (const char* value : {"1", "yes"}) {
        SCOPED_TRACE(value);
        std::vector<testing::TestPartResult> r = outcome_with(value);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].type(), testing::TestPartResult::kFatalFailure);
        std::string message = r[0].message();
        EXPECT_NE(message.find("NUV_REQUIRE_NATIVE"), std::string::npos) << message;
        EXPECT_NE(message.find("no 32-bit programs here"), std::string::npos) << message;
        EXPECT_FALSE(g_went_on);
    }
}

// A command starts with no signal blocked, whatever the test's thread blocks
// (the native engine blocks SIGCHLD on the thread that waits for its guests).
TEST(RunCommand, StartsWithNoSignalBlocked) {
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &chld, &old), 0);
    nuvtest::ToolRun r =
        nuvtest::run_command("{ grep SigBlk /proc/self/status; echo err >&2; exit 3; }");
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &old, nullptr), 0);
    EXPECT_EQ(r.out, "SigBlk:\t0000000000000000\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(r.status, 3);
}

}  // namespace
