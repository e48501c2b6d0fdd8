// What nuvemu tells its user when a guest path fails because of the sandbox
// root: the notes a sandbox makes for each kind of path (a table), that a
// note is made once per path and their number is bounded, and the nuvemu
// command saying so on standard error, on each engine, while the guest sees
// only its own error.
#include <fcntl.h>

#include <filesystem>

#include "guest.hpp"
#include "sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using nuv::EngineKind;
using nuv::Sandbox;

// base/root is the sandbox root (with inside.txt and sub/), base/outside
// holds data.txt.
// Every "{name}" in a text replaced by a value (no <regex>: GCC 12 warns in
// its inlined code at -O3).
std::string replaced(std::string text, const std::string& key, const std::string& value) {
    for (size_t at = text.find(key); at != std::string::npos;
         at = text.find(key, at + value.size())) {
        text.replace(at, key.size(), value);
    }
    return text;
}

class OutsideTree {
  public:
    OutsideTree() : scratch_("outside_notes") {
        base_ = fs::canonical(scratch_.path()).string();
        fs::create_directories(root() + "/sub");
        fs::create_directories(base_ + "/outside");
        nuvtest::write_file(root() + "/inside.txt", "inside\n");
        nuvtest::write_file(base_ + "/outside/data.txt", "outside\n");
    }
    std::string root() const { return base_ + "/root"; }
    const std::string& base() const { return base_; }
    // {root} and {base} in a text replaced by the tree's paths.
    std::string fill(std::string text) const {
        return replaced(replaced(std::move(text), "{root}", root()), "{base}", base_);
    }

  private:
    nuvtest::ScratchDir scratch_;
    std::string base_;
};

std::unique_ptr<Sandbox> open_sandbox(const std::string& dir) {
    auto s = Sandbox::open_root(dir);
    EXPECT_TRUE(s) << (s ? "" : s.error().message);
    return s ? std::move(*s) : nullptr;
}

const std::string kOutside =
    "\"{path}\" lies outside the sandbox root {root}; --root DIR sets the root";

std::string outside(const std::string& path) {
    return replaced(kOutside, "{path}", path);
}

TEST(OutsideNotes, EachKindOfPathGetsItsNoteOrNone) {
    struct Case {
        const char* path;  // {root} and {base} filled in
        int32_t result;    // the guest's own result, as without any note
        std::string note;  // "" for none
    };
    const Case cases[] = {
        {"inside.txt", 0, ""},
        {"missing.txt", -NUV_ENOENT, ""},
        {"sub/missing.txt", -NUV_ENOENT, ""},
        {"sub/../inside.txt", 0, ""},
        // ".." climbing above the root, to something on the host.
        {"../outside/data.txt", -NUV_ENOENT, outside("../outside/data.txt")},
        {"sub/../../outside/data.txt", -NUV_ENOENT, outside("sub/../../outside/data.txt")},
        // ... to a file that could be made there, beside data.txt.
        {"../outside/new.txt", -NUV_ENOENT, outside("../outside/new.txt")},
        // ... whose name carries control bytes: shown escaped, never raw.
        {"../outside/new\x1b[31m\n.txt", -NUV_ENOENT, outside("../outside/new\\x1b[31m\\x0a.txt")},
        // ... to nothing on the host either.
        {"../../../../../../../../../nowhere-nuvtest/x", -NUV_ENOENT, ""},
        {"../inside.txt/x", -NUV_ENOTDIR, ""},
        // ... and back into the root, which the guest names otherwise.
        {"../root/inside.txt", -NUV_ENOENT,
         "\"../root/inside.txt\" climbs above the sandbox root {root}; the guest names that "
         "place \"/inside.txt\""},
        // An absolute host path outside the root.
        {"{base}/outside/data.txt", -NUV_ENOENT, outside("{base}/outside/data.txt")},
        // An absolute host path inside it, which the guest names otherwise.
        {"{root}/inside.txt", -NUV_ENOENT,
         "\"{root}/inside.txt\" is a host path; under the sandbox root {root} the guest names "
         "it \"/inside.txt\""},
        {"/nowhere-nuvtest/x", -NUV_ENOENT, ""},
        {"/inside.txt", 0, ""},
    };
    OutsideTree tree;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto sb = open_sandbox(tree.root());
        ASSERT_NE(sb, nullptr);
        nuv::UniqueFd fd;
        const std::string path = tree.fill(c.path);
        EXPECT_EQ(sb->open(path, O_RDONLY, 0, fd), c.result);
        std::vector<std::string> want;
        if (!c.note.empty()) want.push_back(tree.fill(c.note));
        EXPECT_EQ(sb->notes().texts(), want);
    }
}

TEST(OutsideNotes, NameOperationsAndDirectoriesAreExplainedToo) {
    OutsideTree tree;
    auto sb = open_sandbox(tree.root());
    ASSERT_NE(sb, nullptr);
    Sandbox::Entry e;
    EXPECT_EQ(sb->locate("../outside/made", e), -NUV_ENOENT);
    EXPECT_EQ(sb->change_dir(tree.base() + "/outside"), -NUV_ENOENT);
    EXPECT_EQ(sb->replace_file("../outside/data.txt", 1,
                               [](uint64_t, std::span<uint8_t>) { return true; }),
              -NUV_ENOENT);
    EXPECT_EQ(sb->notes().texts(),
              (std::vector<std::string>{tree.fill(outside("../outside/made")),
                                        tree.fill(outside("{base}/outside")),
                                        tree.fill(outside("../outside/data.txt"))}));
    EXPECT_EQ(nuvtest::read_file(tree.base() + "/outside/data.txt"), "outside\n");
}

TEST(OutsideNotes, OncePerPathAndBoundedInNumber) {
    OutsideTree tree;
    auto sb = open_sandbox(tree.root());
    ASSERT_NE(sb, nullptr);
    std::vector<std::string> told;
    sb->notes().set_sink([&](const std::string& t) { told.push_back(t); });
    auto shared = sb->share();  // a spawned process's sandbox tells the same notes
    ASSERT_TRUE(shared);
    nuv::UniqueFd fd;
    for (int i = 0; i < 3; ++i) {
        sb->open("../outside/data.txt", O_RDONLY, 0, fd);
        (*shared)->open("../outside/data.txt", O_RDONLY, 0, fd);
    }
    EXPECT_EQ(told.size(), 1u);
    for (int i = 0; i < 40; ++i) {
        (*shared)->open("../outside/" + std::to_string(i), O_RDONLY, 0, fd);
    }
    ASSERT_EQ(told.size(), nuv::PathNotes::kMaxNotes + 1);
    EXPECT_NE(told.back().find("only the first 16 are named"), std::string::npos) << told.back();
}

TEST(OutsideNotes, NothingIsOutsideTheHostsOwnRoot) {
    OutsideTree tree;
    auto sb = open_sandbox("/");
    ASSERT_NE(sb, nullptr);
    nuv::UniqueFd fd;
    EXPECT_EQ(sb->open(tree.base() + "/outside/none.txt", O_RDONLY, 0, fd), -NUV_ENOENT);
    EXPECT_EQ(sb->open("../../../../../../nowhere-nuvtest", O_RDONLY, 0, fd), -NUV_ENOENT);
    EXPECT_TRUE(sb->notes().texts().empty());
}

// The nuvemu command, on each engine: the note on standard error, the
// guest's output as it would be without it.
class OutsideNotesCommand : public ::testing::TestWithParam<EngineKind> {
  protected:
    void SetUp() override {
        if (GetParam() == EngineKind::Native) NUVTEST_NEED_NATIVE_ENGINE();
    }
    nuvtest::ToolRun run(const std::string& options, const std::string& input,
                         const std::string& args) {
        // The guest reads paths from its input too: ones that are not on
        // its command line.
        return nuvtest::run_command("(cd " + tree_.root() + " && printf '" + input + "' | " +
                                    NUV_BIN_DIR "/nuvemu --engine " +
                                    nuv::engine_kind_name(GetParam()) + " " + options + " " +
                                    nuvtest::image_path("hello") + " -open " + args + ")");
    }
    OutsideTree tree_;
};

TEST_P(OutsideNotesCommand, AnArgumentIsToldBeforeTheRunAndOnlyOnce) {
    nuvtest::ToolRun r = run("", "../outside/data.txt\\n", "../outside/data.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open ../outside/data.txt = -2\nopen ../outside/data.txt = -2\n");
    EXPECT_EQ(r.err, "nuvemu: " + tree_.fill(outside("../outside/data.txt")) + "\n");
}

TEST_P(OutsideNotesCommand, APathTheGuestMadeIsToldWhenItFails) {
    const std::string host = tree_.base() + "/outside/data.txt";
    nuvtest::ToolRun r = run("", host + "\\n" + host + "\\ninside.txt\\n", "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open " + host + " = -2\nopen " + host + " = -2\nopen inside.txt = 3\n");
    EXPECT_EQ(r.err, "nuvemu: " + tree_.fill(outside(host)) + "\n");
}

TEST_P(OutsideNotesCommand, ARootThatHoldsThePathSaysNothing) {
    nuvtest::ToolRun r =
        run("--root " + tree_.base(), "../outside/data.txt\\n", "../outside/data.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open ../outside/data.txt = 3\nopen ../outside/data.txt = 3\n");
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Engines, OutsideNotesCommand,
                         ::testing::Values(EngineKind::Unicorn, EngineKind::Native),
                         [](const ::testing::TestParamInfo<EngineKind>& i) {
                             return std::string(nuv::engine_kind_name(i.param));
                         });

}  // namespace
