// The ver command end to end under the emulator.
#include <optional>

#include "fault_report.hpp"
#include "guest.hpp"

namespace {

using nuv::Stop;

constexpr char kVersion[] = "NUV-OS Release 16";
constexpr char kUsage[] = "Usage: ver";

struct ArgCase {
    std::vector<std::string> args;
    const char* text;
};

std::unique_ptr<nuv::Harness> load_ver() {
    return nuvtest::load_image("ver", nuvtest::test_options());
}

// Two writes on descriptor 1 (the text, then the newline) and exit 0.
void expect_clean_run(nuv::Harness& m, const nuv::RunResult& r, const std::string& text) {
    EXPECT_EQ(r.stop, Stop::Exited) << nuv::report::what(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(m.output(), text + "\n");
    const auto& t = m.traps();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].args.nr, NUV_SYS_write);
    EXPECT_EQ(t[0].args.ebx, 1u);
    EXPECT_EQ(t[0].args.edx, text.size());
    EXPECT_EQ(t[1].args.nr, NUV_SYS_write);
    EXPECT_EQ(t[1].args.ebx, 1u);
    EXPECT_EQ(t[1].args.edx, 1u);
    EXPECT_EQ(t[2].args.nr, NUV_SYS_exit);
    EXPECT_EQ(t[2].args.ebx, 0u);
}

TEST(Ver, FirstArgumentSelectsTheLine) {
    const ArgCase cases[] = {
        {{"ver"}, kVersion},
        {{"ver", "-h"}, kUsage},
        {{"ver", "-h", "more", "args"}, kUsage},
        {{"ver", "x", "-h"}, kVersion},
        {{"ver", "-H"}, kVersion},
        {{"ver", "--help"}, kVersion},
        {{"ver", "-hh"}, kVersion},
        {{"ver", "-"}, kVersion},
        {{"ver", ""}, kVersion},
    };
    for (const ArgCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        auto m = load_ver();
        expect_clean_run(*m, m->run(c.args), c.text);
    }
}

TEST(Ver, CountsOfOneOrLessReadNoVectorEntry) {
    for (int32_t argc : {1, 0, -1, INT32_MIN}) {
        SCOPED_TRACE(argc);
        auto m = load_ver();
        m->watch_argument_vector();
        m->watch_exec(m->symbol("strcmp"));
        // Even a vector that holds "-h" is not looked at.
        std::vector<std::optional<std::string>> entries = {"ver", "-h"};
        expect_clean_run(*m, m->run_raw(argc, entries), kVersion);
        EXPECT_EQ(m->argument_vector_reads(), 0u);
        EXPECT_EQ(m->exec_count(m->symbol("strcmp")), 0u);
    }
}

TEST(Ver, NullFirstEntrySkipsTheComparison) {
    auto m = load_ver();
    m->watch_exec(m->symbol("strcmp"));
    expect_clean_run(*m, m->run_raw(2, {"ver", std::nullopt}), kVersion);
    EXPECT_EQ(m->exec_count(m->symbol("strcmp")), 0u);
}

TEST(Ver, ComparesTheFirstArgumentOnce) {
    auto m = load_ver();
    m->watch_exec(m->symbol("strcmp"));
    m->watch_argument_vector();
    expect_clean_run(*m, m->run({"ver", "-h", "-h"}), kUsage);
    EXPECT_EQ(m->exec_count(m->symbol("strcmp")), 1u);
    EXPECT_EQ(m->argument_vector_reads(), 1u);  // entry 1 only
}

TEST(Ver, FailingWriteStillExitsZeroWithoutNewline) {
    for (int32_t result : {0, -1, -9}) {
        SCOPED_TRACE(result);
        auto m = load_ver();
        m->set_handler("write",
                       [result](nuv::CallContext&, const nuv::SyscallArgs&) { return result; });
        nuv::RunResult r = m->run({"ver"});
        EXPECT_EQ(r.stop, Stop::Exited);
        EXPECT_EQ(r.status, 0);
        ASSERT_EQ(m->traps().size(), 2u);
        EXPECT_EQ(m->traps()[0].args.nr, NUV_SYS_write);
        EXPECT_EQ(m->traps()[0].args.edx, 17u);
        EXPECT_EQ(m->traps()[1].args.nr, NUV_SYS_exit);
    }
}

TEST(Ver, ShortWritesAreRetriedForTheRest) {
    auto m = load_ver();
    std::string seen;
    m->set_handler("write", [&seen](nuv::CallContext& g, const nuv::SyscallArgs& a) {
        // Take at most 5 bytes per call.
        uint32_t n = std::min<uint32_t>(a.edx, 5);
        std::vector<uint8_t> bytes = nuvtest::read_bytes(g, a.ecx, n);
        seen.append(bytes.begin(), bytes.end());
        return static_cast<int32_t>(n);
    });
    nuv::RunResult r = m->run({"ver"});
    EXPECT_EQ(r.stop, Stop::Exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(seen, std::string(kVersion) + "\n");
    std::vector<uint32_t> counts;
    for (const auto& t : m->traps()) {
        if (t.args.nr == NUV_SYS_write) counts.push_back(t.args.edx);
    }
    EXPECT_EQ(counts, (std::vector<uint32_t>{17, 12, 7, 2, 1}));
    EXPECT_EQ(m->traps().back().args.nr, NUV_SYS_exit);
}

TEST(Ver, RunsInFewInstructions) {
    nuv::Options o = nuvtest::test_options();
    o.count_instructions = true;
    auto m = nuvtest::load_image("ver", o);
    ASSERT_EQ(m->run({"ver"}).stop, Stop::Exited);
    RecordProperty("instructions", static_cast<int>(m->instructions()));
    EXPECT_GT(m->instructions(), 50u);
    EXPECT_LT(m->instructions(), 200u);
}

}  // namespace
