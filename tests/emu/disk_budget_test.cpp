// The run's disk budget: what the guest may add to the files under its root,
// on each engine: writes past a file's end cut short and then refused, a
// child sharing its parent's budget, whole files that do not fit left as they
// were, and names made.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "guest.hpp"
#include "kernel.hpp"
#include "sandbox.hpp"
#include "sandbox_tree.hpp"

namespace {

namespace fs = std::filesystem;
using nuv::DiskBudget;
using nuv::EngineKind;

// What diskfill writes at a file's offsets [0, n), then `tail`.
std::string pattern(size_t n, const std::string& tail = "") {
    std::string s(n, 0);
    for (size_t k = 0; k < n; ++k) s[k] = static_cast<char>('a' + k % 26);
    return s + tail;
}

// A file's content against what it should hold, without printing either.
::testing::AssertionResult holds(const std::string& content, const std::string& expected) {
    if (content == expected) return ::testing::AssertionSuccess();
    size_t k = 0;
    while (k < content.size() && k < expected.size() && content[k] == expected[k]) ++k;
    return ::testing::AssertionFailure() << content.size() << " bytes where " << expected.size()
                                         << " were expected, the first difference at " << k;
}

struct Ran {
    nuv::RunResult result;
    std::string out;
    uint64_t left = 0;
};

// Every case on each engine; the native one is skipped, with the reason,
// where the host cannot run it.
class DiskBudgetRuns : public ::testing::TestWithParam<EngineKind> {
  public:
    void SetUp() override {
        if (GetParam() == EngineKind::Native) NUVTEST_NEED_NATIVE_ENGINE();
        root_ = fs::path(dir_.path()) / "root";
        fs::create_directory(root_);
    }
    Ran run(uint64_t limit, const std::vector<std::string>& args) {
        nuv::Options o = nuvtest::test_options();
        o.engine = GetParam();
        o.root = root_.string();
        o.disk_limit = limit;
        auto m = nuvtest::load_image("diskfill", o);
        if (!m) return {};
        Ran r;
        r.result = m->run(args);
        r.out = m->output();
        r.left = m->disk_budget().left();
        EXPECT_EQ(r.result.stop, nuv::Stop::Exited) << r.result.message;
        EXPECT_EQ(m->disk_budget().limit(), limit);
        return r;
    }
    std::string file(const std::string& name) const { return nuvtest::read_file(root_ / name); }

  protected:
    nuvtest::ScratchDir dir_;
    fs::path root_;
};

// 10,000 bytes and a new name, in pieces of 4096, after `warm` calls: the
// third piece is cut short, the fourth and a byte past the end are refused;
// bytes over the file's own cost nothing.
void cut_short_then_refused(DiskBudgetRuns& t, int warm) {
    const std::string name = "f" + std::to_string(warm);
    Ran r = t.run(10000 + DiskBudget::kNameBytes,
                  {"diskfill", "warm", std::to_string(warm), "write", name, "4096", "4"});
    EXPECT_EQ(r.out,
              "open = 3\nwrite = 4096\nwrite = 4096\nwrite = 1808\nwrite = -28\n"
              "seek = 0\noverwrite = 4\nseek = 10000\npast the end = -28\n");
    EXPECT_TRUE(holds(t.file(name), pattern(10000)));
    EXPECT_EQ(r.left, 0u);
}

TEST_P(DiskBudgetRuns, WritesPastTheBudgetAreCutShortThenRefused) {
    cut_short_then_refused(*this, 0);
    // Without a limit every piece is written.
    Ran r = run(DiskBudget::kUnlimited, {"diskfill", "write", "f", "4096", "4"});
    EXPECT_NE(r.out.find("write = 4096\nwrite = 4096\nwrite = 4096\nwrite = 4096\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(holds(file("f"), pattern(16384, "a")));
}

// After its first 64 calls a native guest writes to files in its own
// process: the budget holds there too.
TEST_P(DiskBudgetRuns, WritesInTheGuestsOwnProcessKeepToTheBudget) {
    cut_short_then_refused(*this, 100);
}

TEST_P(DiskBudgetRuns, AChildSharesItsParentsBudget) {
    fs::copy_file(nuvtest::image_path("diskfill"), root_ / "diskfill");
    Ran r = run(10000 + 2 * DiskBudget::kNameBytes,
                {"/diskfill", "write", "a", "3000", "2", "spawn", "write", "b", "4096", "2"});
    EXPECT_EQ(r.out,
              "open = 3\nwrite = 3000\nwrite = 3000\nseek = 0\noverwrite = 4\nseek = 6000\n"
              "past the end = 1\n"
              "open = 3\nwrite = 3999\nwrite = -28\nseek = 0\noverwrite = 4\nseek = 3999\n"
              "past the end = -28\n"
              "child = 0\n");
    EXPECT_TRUE(holds(file("a"), pattern(6000, "a")));
    EXPECT_TRUE(holds(file("b"), pattern(3999)));
    EXPECT_EQ(r.left, 0u);
}

// writefile pays for what the new content adds to the old (a new file: its
// size and its name), all of it or nothing: a file that does not fit stays
// as it was, and no name is left.
TEST_P(DiskBudgetRuns, AWholeFileThatDoesNotFitLeavesTheOldOne) {
    nuvtest::write_file(root_ / "old", std::string(100, 'O'));
    Ran r = run(1000 + DiskBudget::kNameBytes,
                {"diskfill", "whole", "old",   "5000",  "whole", "new",   "1001", "whole",
                 "new",      "0",     "whole", "old",   "1100",  "whole", "old",  "1101",
                 "whole",    "old",   "1100",  "whole", "other", "0"});
    EXPECT_EQ(r.out,
              "writefile = -28\nwritefile = -28\nwritefile = 0\nwritefile = 0\n"
              "writefile = -28\nwritefile = 0\nwritefile = -28\n");
    EXPECT_TRUE(holds(file("old"), pattern(1100)));
    EXPECT_EQ(file("new"), "");
    EXPECT_EQ(nuvtest::listing(root_), (std::set<std::string>{"new", "old"}));
    EXPECT_EQ(r.left, 0u);
}

// A directory costs a block and a file a name; a directory that exists is
// still -17, a file that exists still opens.
TEST_P(DiskBudgetRuns, NamesCostEvenEmpty) {
    Ran r = run(DiskBudget::kDirectoryBytes + DiskBudget::kNameBytes + 100,
                {"diskfill", "mkdir", "d1", "mkdir", "d2", "mkdir", "d1", "write", "d1/f", "200",
                 "1", "write", "d1/g", "1", "1", "write", "d1/f", "1", "1"});
    EXPECT_EQ(r.out,
              "mkdir = 0\nmkdir = -28\nmkdir = -17\n"
              "open = 3\nwrite = 100\nseek = 0\noverwrite = 4\nseek = 100\npast the end = -28\n"
              "open = -28\nwrite = -9\nseek = -9\noverwrite = -9\nseek = -9\npast the end = -9\n"
              "open = 3\nwrite = -28\nseek = 0\noverwrite = -28\nseek = 0\npast the end = -28\n");
    EXPECT_TRUE(fs::is_directory(root_ / "d1"));
    EXPECT_FALSE(fs::exists(root_ / "d2"));
    EXPECT_FALSE(fs::exists(root_ / "d1" / "g"));
    EXPECT_EQ(file("d1/f"), "");  // truncated by the open: nothing given back
}

INSTANTIATE_TEST_SUITE_P(Engines, DiskBudgetRuns,
                         ::testing::Values(EngineKind::Unicorn, EngineKind::Native),
                         [](const auto& info) {
                             return std::string(nuv::engine_kind_name(info.param));
                         });

// Charging a write on the host file directly: from a position past the end
// the hole counts too.
TEST(DiskBudget, AWriteIsChargedWhatTheFileGrowsBy) {
    struct Case {
        const char* what;
        uint64_t size, pos, n, budget;
        int32_t result;
        uint64_t size_after, left_after;
    };
    const Case cases[] = {
        {"inside the file", 100, 0, 50, 0, 50, 100, 0},
        {"across its end", 100, 80, 50, 100, 50, 130, 70},
        {"across its end, cut short", 100, 80, 50, 10, 30, 110, 0},
        {"at its end, nothing left", 100, 100, 1, 0, -NUV_ENOSPC, 100, 0},
        {"past a hole", 100, 200, 10, 105, 5, 205, 0},
        {"past a hole larger than what is left", 100, 200, 10, 99, -NUV_ENOSPC, 100, 99},
        {"nothing", 100, 300, 0, 0, 0, 100, 0},
    };
    nuvtest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        nuvtest::write_file(dir.path() + "/f", std::string(c.size, 'x'));
        auto budget = std::make_shared<DiskBudget>(c.budget);
        auto sandbox = nuv::Sandbox::open_root(dir.path(), nullptr, budget);
        ASSERT_TRUE(sandbox.ok());
        nuv::UniqueFd fd;
        ASSERT_EQ((*sandbox)->open("/f", O_WRONLY, 0, fd), 0);
        nuv::SandboxFile f(std::move(fd), false, true, (*sandbox)->shared_budget());
        ASSERT_EQ(f.seek(static_cast<int32_t>(c.pos), NUV_SEEK_SET), static_cast<int32_t>(c.pos));
        const std::vector<uint8_t> bytes(c.n, 'y');
        EXPECT_EQ(f.write(bytes).value, c.result);
        EXPECT_EQ(fs::file_size(dir.path() + "/f"), c.size_after);
        EXPECT_EQ(budget->left(), c.left_after);
    }
}

}  // namespace
