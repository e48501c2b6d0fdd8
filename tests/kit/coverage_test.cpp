// Coverage of commands built with `nuvos-cc --coverage`: runs under nuvemu,
// on each engine, leave counts that gcov reads, adding up over runs, spawned
// children and a faulting process; the data files are written only where the
// guard allows; an image built without --coverage is what it always was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "coverage.hpp"
#include "guest.hpp"
#include "source_lines.hpp"

namespace {

namespace fs = std::filesystem;
namespace cov = nuv::coverage;
using nuv::EngineKind;

const std::string kCc = NUV_BIN_DIR "/nuvos-cc";
const std::string kSource = NUV_SOURCE_DIR "/tests/kit/counted.c";

int line_of(const std::string& marker) {
    return nuvtest::line_of(kSource, marker);
}

// Builds counted.c in dir as a Makefile would (compile, then link), with the
// given extra flags.
void build(const std::string& dir, const std::string& flags, const std::string& cc = kCc) {
    nuvtest::ToolRun r =
        nuvtest::run_command("cd " + dir + " && " + cc + " " + flags + " -O0 -c " + kSource +
                             " -o counted.o && " + cc + " " + flags + " -o counted counted.o");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
}

// gcov's view of counted.c after the runs in dir: the count of each line that
// has code (0 for "#####"), the runs, and its "Lines executed" line.
struct GcovReport {
    std::map<int, long> counts;
    long runs = -1;
    std::string summary;
};
GcovReport gcov(const std::string& dir) {
    GcovReport g;
    nuvtest::ToolRun r = nuvtest::run_command("cd " + dir + " && gcov counted.gcda");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::istringstream out(r.out);
    for (std::string l; std::getline(out, l);) {
        if (l.rfind("Lines executed", 0) == 0 && g.summary.empty()) g.summary = l;
    }
    std::ifstream in(dir + "/counted.c.gcov");
    for (std::string l; std::getline(in, l);) {
        size_t a = l.find(':'), b = l.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        std::string count = l.substr(0, a), text = l.substr(b + 1);
        count.erase(0, count.find_first_not_of(' '));
        int line = std::atoi(l.substr(a + 1, b - a - 1).c_str());
        if (line == 0 && text.rfind("Runs:", 0) == 0) g.runs = std::atol(text.c_str() + 5);
        if (line == 0 || count == "-") continue;
        g.counts[line] = count == "#####" ? 0 : std::atol(count.c_str());
    }
    return g;
}

// counted.c built with --coverage with the project (tests/CMakeLists.txt), so
// that a machine without build tools runs it too.
constexpr const char* kCovered = NUV_BINARY_DIR "/covered";

// The image and its notes file in dir; its runs there put their counts there
// too, through a GCOV_PREFIX relative to it, as for a Linux program run on
// another machine.
class Coverage : public ::testing::TestWithParam<EngineKind> {
  protected:
    void SetUp() override {
        if (nuvtest::run_command("command -v gcov").status != 0) GTEST_SKIP() << "no gcov here";
        if (GetParam() == EngineKind::Native) NUVTEST_NEED_NATIVE_ENGINE();
    }
    static void place(const std::string& dir) {
        for (const char* f : {"counted", "counted.gcno"}) {
            fs::copy_file(fs::path(kCovered) / f, fs::path(dir) / f);
        }
    }
    nuvtest::ToolRun run(const std::string& dir, const std::string& args) {
        const std::string covered = kCovered;
        const auto strip = std::count(covered.begin(), covered.end(), '/');
        return nuvtest::run_command("cd " + dir + " && GCOV_PREFIX=." + " GCOV_PREFIX_STRIP=" +
                                    std::to_string(strip) + " " NUV_BIN_DIR "/nuvemu --engine " +
                                    nuv::engine_kind_name(GetParam()) + " ./counted " + args);
    }
};

// Four processes in three runs: a parent and the child it spawns, a plain
// run, and a run that faults after the loop.
TEST_P(Coverage, RunsChildrenAndAFaultAddUpForGcov) {
    nuvtest::ScratchDir d("nuvcov");
    ASSERT_NO_FATAL_FAILURE(place(d.path()));
    nuvtest::ToolRun r = run(d.path(), "7 spawn");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "21\n21\n");
    EXPECT_EQ(r.err, "");
    r = run(d.path(), "7");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "21\n");
    r = run(d.path(), "7 crash");
    EXPECT_EQ(r.status, 139) << r.err;
    EXPECT_EQ(r.err.find("coverage"), std::string::npos) << r.err;

    GcovReport g = gcov(d.path());
    EXPECT_EQ(g.runs, 4);
    EXPECT_EQ(g.counts[line_of("MAIN")], 4);
    EXPECT_EQ(g.counts[line_of("LOOP")], 4 * 7);
    EXPECT_EQ(g.counts[line_of("SPAWN")], 1);
    EXPECT_EQ(g.counts[line_of("RETURN")], 3);  // the faulting run never got there
    EXPECT_EQ(g.summary.rfind("Lines executed:", 0), 0u) << g.summary;

    // Without the notes file nothing is written, and nuvemu says why in a line.
    fs::remove(d.path() + "/counted.gcno");
    fs::remove(d.path() + "/counted.gcda");
    r = run(d.path(), "2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1\n");
    EXPECT_NE(r.err.find("nuvemu: coverage: " + d.path() + "/counted.gcda: no notes file"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(d.path() + "/counted.gcda"));
}

INSTANTIATE_TEST_SUITE_P(Engines, Coverage,
                         ::testing::Values(EngineKind::Unicorn, EngineKind::Native),
                         [](const auto& info) { return nuv::engine_kind_name(info.param); });

// The linker script's coverage list leaves an image built without --coverage
// as it was: the same image from a kit whose script lacks the list.
TEST(CoverageImage, WithoutCoverageTheImageIsUnchanged) {
    nuvtest::ScratchDir d("nuvcov");
    fs::path kit = d.path() + "/kit";
    fs::create_directories(kit / "bin");
    fs::create_directories(kit / "lib");
    fs::copy_file(kCc, kit / "bin/nuvos-cc");
    fs::create_directory_symlink(fs::path(NUV_BIN_DIR) / "../include", kit / "include");
    for (const char* f : {"libc.a", "crt0.o"}) {
        fs::create_symlink(fs::path(NUV_BIN_DIR) / "../lib" / f, kit / "lib" / f);
    }
    std::string script = nuvtest::read_file(fs::path(NUV_BIN_DIR) / "../lib/nuvos.ld");
    size_t at = script.find(".gcov_info :");
    ASSERT_NE(at, std::string::npos);
    script.erase(at, script.find('\n', at) + 1 - at);
    nuvtest::write_file(kit / "lib/nuvos.ld", script);

    fs::create_directories(d.path() + "/now");
    fs::create_directories(d.path() + "/before");
    build(d.path() + "/now", "");
    build(d.path() + "/before", "", (kit / "bin/nuvos-cc").string());
    std::string now = nuvtest::read_file(d.path() + "/now/counted");
    ASSERT_FALSE(now.empty());
    EXPECT_TRUE(now == nuvtest::read_file(d.path() + "/before/counted"));
    EXPECT_EQ(now.find(".gcov_info"), std::string::npos);
    EXPECT_FALSE(fs::exists(d.path() + "/now/counted.gcno"));
}

// The profile as nuvemu reads it from a loaded coverage image (all counts
// zero before it runs), and what it refuses of a profile the command changed.
TEST(CoverageImage, ReadsTheProfileAndRefusesWhatItCannotTrust) {
    nuvtest::ScratchDir d("nuvcov");
    build(d.path(), "--coverage");
    if (HasFatalFailure()) return;
    nuv::Options opts = nuvtest::test_options();
    nuv::Result<std::unique_ptr<nuv::Harness>> opened =
        nuv::Harness::open(d.path() + "/counted", opts);
    ASSERT_TRUE(opened) << opened.error().message;
    std::unique_ptr<nuv::Harness> m = std::move(*opened);
    nuv::Result<std::vector<cov::Object>> objects =
        cov::read_objects(m->task().image(), m->memory());
    ASSERT_TRUE(objects) << objects.error().message;
    ASSERT_EQ(objects->size(), 1u);
    const cov::Object& o = (*objects)[0];
    EXPECT_EQ(o.data_file, d.path() + "/counted.gcda");
    EXPECT_EQ(o.kinds, std::vector<uint32_t>{0});
    EXPECT_EQ(o.functions.size(), 2u);  // sum and main
    for (const cov::Function& f : o.functions) {
        ASSERT_EQ(f.counters.size(), 1u);
        EXPECT_FALSE(f.counters[0].empty());
        for (uint64_t v : f.counters[0]) EXPECT_EQ(v, 0u);
    }
    const nuv::elf::Section* list = m->task().image().section(".gcov_info");
    ASSERT_NE(list, nullptr);
    uint32_t info = 0, functions = 0, first = 0;
    ASSERT_EQ(m->memory().read_u32(list->addr, info), 0);
    ASSERT_EQ(m->memory().read_u32(info + 56, functions), 0);
    ASSERT_EQ(m->memory().read_u32(functions, first), 0);
    // What a command could do to its profile before it ends, one word at a time.
    struct Poke {
        const char* what;
        uint32_t address, value;
        const char* message;
    } pokes[] = {
        {"another GCC's version word", info, 0x4331332a, "another compiler version (C13*)"},
        {"a name nowhere", info + 16, 0, "unreadable data file name"},
        {"a merge function of a kind coverage never counts", info + 20 + 4 * 3, 1,
         "counter kind 3"},
        {"more functions than allowed", info + 52, 0xFFFFFFFF, "too many functions"},
        {"a function list nowhere", info + 56, 0x10, "unreadable function list"},
        {"more counters than allowed", first + 16, 0xFFFFFFFF, "too many counters"},
        {"counters nowhere", first + 20, 0x10, "unreadable counters"},
    };
    for (const Poke& p : pokes) {
        SCOPED_TRACE(p.what);
        uint32_t was = 0;
        ASSERT_EQ(m->memory().read_u32(p.address, was), 0);
        ASSERT_TRUE(m->memory().load(p.address, &p.value, 4));
        objects = cov::read_objects(m->task().image(), m->memory());
        ASSERT_FALSE(objects);
        EXPECT_NE(objects.error().message.find(p.message), std::string::npos)
            << objects.error().message;
        ASSERT_TRUE(m->memory().load(p.address, &was, 4));
    }
    EXPECT_TRUE(cov::read_objects(m->task().image(), m->memory()));
}

// A profile of one function with two arcs.
cov::Object profile(uint64_t a, uint64_t b) {
    cov::Object o;
    o.version = 0x4232322a;
    o.stamp = 0x1234;
    o.checksum = 0x99;
    o.kinds = {0};
    cov::Function f;
    f.ident = 7;
    f.lineno_checksum = 8;
    f.cfg_checksum = 9;
    f.counters = {{a, b}};
    o.functions = {f};
    return o;
}

std::string notes(uint32_t version, uint32_t stamp) {
    uint32_t head[4] = {0x67636e6f, version, stamp, 0};
    return std::string(reinterpret_cast<const char*>(head), sizeof head);
}

// What the guard lets through, case by case: each case prepares the
// directory, names a data file, and says whether it may be written.
TEST(CoverageGuard, WritesOnlyBesideTheNotesOfTheSameCompilation) {
    struct Case {
        const char* what;
        std::function<std::string(const std::string& dir)> prepare;  // the data file's name
        const char* refusal;                                         // nullptr: written
    };
    const std::string good = notes(0x4232322a, 0x1234);
    const Case cases[] = {
        {"beside its notes",
         [&](const std::string& dir) {
             nuvtest::write_file(dir + "/x.gcno", good);
             return dir + "/x.gcda";
         },
         nullptr},
        {"no notes file", [](const std::string& dir) { return dir + "/x.gcda"; }, "no notes file"},
        {"a host file outside", [](const std::string&) { return std::string("/etc/passwd.gcda"); },
         "no notes file"},
        {"notes of another compilation",
         [](const std::string& dir) {
             nuvtest::write_file(dir + "/x.gcno", notes(0x4232322a, 0x4321));
             return dir + "/x.gcda";
         },
         "another compilation"},
        {"notes that are not notes",
         [](const std::string& dir) {
             nuvtest::write_file(dir + "/x.gcno", "#!/bin/sh\nsomething else\n");
             return dir + "/x.gcda";
         },
         "not a notes file"},
        {"not a data file's name",
         [&](const std::string& dir) {
             nuvtest::write_file(dir + "/x.gcno", good);
             return dir + "/x.gcno";
         },
         "not a data file name"},
        {"a relative name", [](const std::string&) { return std::string("nuvcov-x.gcda"); },
         "a relative data file name"},
        {"a symbolic link",
         [&](const std::string& dir) {
             nuvtest::write_file(dir + "/x.gcno", good);
             nuvtest::write_file(dir + "/target", "keep");
             fs::create_symlink(dir + "/target", dir + "/x.gcda");
             return dir + "/x.gcda";
         },
         "symbolic link"},
        {"a named pipe",
         [&](const std::string& dir) {
             nuvtest::write_file(dir + "/x.gcno", good);
             EXPECT_EQ(mkfifo((dir + "/x.gcda").c_str(), 0600), 0);
             return dir + "/x.gcda";
         },
         "not a regular file"},
        {"a file that is not a data file",
         [&](const std::string& dir) {
             nuvtest::write_file(dir + "/x.gcno", good);
             nuvtest::write_file(dir + "/x.gcda", "keep");
             return dir + "/x.gcda";
         },
         "not a coverage data file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        nuvtest::ScratchDir d("nuvcov");
        std::string name = c.prepare(d.path());
        std::map<std::string, std::string> before;
        for (const auto& e : fs::directory_iterator(d.path())) {
            if (e.is_regular_file()) before[e.path()] = nuvtest::read_file(e.path());
        }
        nuv::Status w = cov::write(profile(3, 4), name);
        if (c.refusal == nullptr) {
            ASSERT_TRUE(w) << w.error().message;
            EXPECT_FALSE(nuvtest::read_file(name).empty());
            continue;
        }
        ASSERT_FALSE(w);
        EXPECT_NE(w.error().message.find(c.refusal), std::string::npos) << w.error().message;
        EXPECT_EQ(w.error().message.find('\n'), std::string::npos);
        for (const auto& [path, content] : before) EXPECT_EQ(nuvtest::read_file(path), content);
        if (std::string(c.what) != "a named pipe" && std::string(c.what) != "a symbolic link" &&
            before.count(name) == 0) {
            EXPECT_FALSE(fs::exists(name));
        }
    }
}

// Runs add up, a file of another compilation is replaced, and the summary
// counts the runs and their largest counts.
TEST(CoverageGuard, MergesRunsAndReplacesAnotherCompilation) {
    nuvtest::ScratchDir d("nuvcov");
    std::string name = d.path() + "/x.gcda";
    nuvtest::write_file(d.path() + "/x.gcno", notes(0x4232322a, 0x1234));
    cov::Object other = profile(50, 60);
    other.stamp = 0x5555;
    std::vector<uint8_t> old = cov::encode(other, {9, 60});
    nuvtest::write_file(name, std::string(old.begin(), old.end()));
    ASSERT_TRUE(cov::write(profile(3, 0), name));
    ASSERT_TRUE(cov::write(profile(4, 0), name));
    ASSERT_TRUE(cov::write(profile(1, 5), name));
    std::string bytes = nuvtest::read_file(name);
    cov::Object sum = profile(0, 0);
    nuv::Result<cov::Summary> s =
        cov::merge(sum, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    ASSERT_TRUE(s) << s.error().message;
    EXPECT_EQ(s->runs, 3u);
    EXPECT_EQ(s->sum_max, 3u + 4u + 5u);
    EXPECT_EQ(sum.functions[0].counters[0], (std::vector<uint64_t>{8, 5}));
    // A profile whose records differ is refused and the file kept.
    cov::Object changed = profile(1, 1);
    changed.functions[0].cfg_checksum = 10;
    nuv::Status w = cov::write(changed, name);
    ASSERT_FALSE(w);
    EXPECT_NE(w.error().message.find("merge mismatch"), std::string::npos);
    EXPECT_EQ(nuvtest::read_file(name), bytes);
}

// GCOV_PREFIX and GCOV_PREFIX_STRIP move the data files as for host programs.
TEST(CoverageGuard, PrefixAndStripAsForHostPrograms) {
    struct Case {
        const char *name, *prefix, *strip, *want;
    } cases[] = {
        {"/a/b/c/x.gcda", nullptr, "2", "/a/b/c/x.gcda"},
        {"/a/b/c/x.gcda", "", "2", "/a/b/c/x.gcda"},
        {"/a/b/c/x.gcda", "/p", nullptr, "/p/a/b/c/x.gcda"},
        {"/a/b/c/x.gcda", "/p/", "0", "/p/a/b/c/x.gcda"},
        {"/a/b/c/x.gcda", "/p", "2", "/p/c/x.gcda"},
        {"/a/b/c/x.gcda", "/p", "9", "/p/x.gcda"},
        {"rel/x.gcda", "/p", "1", "/p/rel/x.gcda"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cov::relocate(c.name, c.prefix, c.strip), c.want)
            << c.name << " " << (c.prefix ? c.prefix : "(unset)") << " "
            << (c.strip ? c.strip : "");
    }
}

}  // namespace
