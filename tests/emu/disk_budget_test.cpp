// The run's disk budget: what the guest may add to the files under its root,
// on each engine and through the nuvemu command: writes past a file's end cut
// short and then refused, a child sharing its parent's budget, whole files
// that do not fit left as they were, directories, and the option's sizes.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "guest.hpp"
#include "kernel.hpp"
#include "options.hpp"
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

// Through the command: the guest's error in the trace, and one line at the
// end of a run that used its budget up, none otherwise.
TEST_P(DiskBudgetRuns, NuvemuSaysWhenTheBudgetWasUsedUp) {
    const std::string engine = std::string("--engine ") + nuv::engine_kind_name(GetParam()) + " ";
    const std::string trace = dir_.path() + "/trace";
    const std::string image = nuvtest::image_path("diskfill");
    nuvtest::ToolRun t =
        nuvtest::run_nuvemu(engine + "--disk-budget 10K --trace=" + trace + " --root " +
                            root_.string() + " " + image + " write f 4096 3");
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.err, "nuvemu: disk budget of 10240 bytes used up under " +
                         fs::canonical(root_).string() + "\n");
    EXPECT_NE(t.out.find("write = 1792\n"), std::string::npos) << t.out;
    EXPECT_NE(nuvtest::read_file(trace).find(", 1) = -28 ENOSPC (no space left)\n"),
              std::string::npos)
        << nuvtest::read_file(trace);
    EXPECT_EQ(fs::file_size(root_ / "f"), 10240u - DiskBudget::kNameBytes);
    for (const char* budget : {"", "--disk-budget 1M ", "--disk-budget none "}) {
        t = nuvtest::run_nuvemu(engine + budget + "--root " + root_.string() + " " + image +
                                " write f 4096 3");
        EXPECT_EQ(t.status, 0) << budget << t.err;
        EXPECT_EQ(t.err, "") << budget;
        EXPECT_EQ(fs::file_size(root_ / "f"), 12289u) << budget;
    }
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

TEST(DiskBudget, SizesOfTheOption) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t bytes;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"10000", true, 10000},
        {"1K", true, 1024},
        {"1k", true, 1024},
        {"3M", true, 3u << 20},
        {"2G", true, uint64_t{2} << 30},
        {"none", true, DiskBudget::kUnlimited},
        {"18446744073709551614", true, DiskBudget::kUnlimited - 1},
        {"18446744073709551615", false, 0},  // the value of no limit
        {"18446744073709551616", false, 0},
        {"17179869184G", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {"+1", false, 0},
        {" 1", false, 0},
        {"1.5M", false, 0},
        {"1KB", false, 0},
        {"1KiB", false, 0},
        {"1T", false, 0},
        {"K", false, 0},
        {"None", false, 0},
        {"unlimited", false, 0},
    };
    for (const Case& c : cases) {
        uint64_t out = 7;
        EXPECT_EQ(nuv::cli::parse_size(c.text, out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(out, c.bytes) << c.text;
        }
    }
    uint64_t out = 7;
    EXPECT_FALSE(nuv::cli::parse_size(nullptr, out));
}

// The command line: the default, the forms of the option, and its errors.
TEST(DiskBudget, TheCommandLineSetsTheBudget) {
    struct Case {
        std::vector<std::string> args;
        nuv::cli::Action action;
        uint64_t limit;
    };
    const Case cases[] = {
        {{"nuvemu", "ver"}, nuv::cli::Action::Run, nuv::cli::kDefaultDiskBytes},
        {{"nuvemu", "--disk-budget", "5M", "ver"}, nuv::cli::Action::Run, 5u << 20},
        {{"nuvemu", "--disk-budget=none", "ver"}, nuv::cli::Action::Run, DiskBudget::kUnlimited},
        {{"nuvemu", "--disk-budget=0", "ver"}, nuv::cli::Action::Run, 0},
        {{"nuvemu", "--disk-budget", "ver"}, nuv::cli::Action::Usage, 0},
        {{"nuvemu", "--disk-budget=", "ver"}, nuv::cli::Action::Usage, 0},
        {{"nuvemu", "--disk-budget"}, nuv::cli::Action::Usage, 0},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        nuv::cli::Settings s;
        testing::internal::CaptureStderr();
        nuv::cli::Action got =
            nuv::cli::parse_command_line(static_cast<int>(c.args.size()), argv.data(), s);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(got, c.action) << c.args[1];
        if (got == nuv::cli::Action::Run) {
            EXPECT_EQ(s.opts.disk_limit, c.limit) << c.args[1];
            EXPECT_EQ(c.args[static_cast<size_t>(s.image)], "ver");
        } else {
            EXPECT_NE(err.find("--disk-budget needs a number of bytes"), std::string::npos) << err;
        }
    }
    // The command's own status for it.
    nuvtest::ToolRun t = nuvtest::run_nuvemu("--disk-budget 1X " + nuvtest::image_path("ver"));
    EXPECT_EQ(t.status, nuv::kStatusUsage);
    EXPECT_NE(t.err.find("--disk-budget needs"), std::string::npos) << t.err;
}

}  // namespace
