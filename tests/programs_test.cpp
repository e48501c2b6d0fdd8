// Whole test commands under nuvemu: one that spawns another through a pipe,
// one that makes and removes directories, one that sleeps; through the
// emulator library and through the nuvemu command.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "guest.hpp"
#include "kernel.hpp"

namespace {

namespace fs = std::filesystem;
using nuv::Stop;

struct Outcome {
    nuv::RunResult result;
    std::string out;
};

Outcome run(std::string_view image, const std::vector<std::string>& args, nuv::Options o) {
    auto m = nuvtest::load_image(image, o);
    if (!m) return {};
    Outcome r;
    r.result = m->run(args);
    r.out = m->output();
    return r;
}

nuv::Options rooted(const std::string& root) {
    nuv::Options o = nuvtest::test_options();
    o.root = root;
    return o;
}

TEST(Programs, PipelineSpawnsAnImageInsideTheRoot) {
    std::string images = NUV_IMAGE_DIR;
    Outcome r = run("pipeline", {"pipeline", "/hello", "through the pipe", "3"}, rooted(images));
    EXPECT_EQ(r.result.stop, Stop::Exited) << r.result.message;
    EXPECT_EQ(r.out, "child said: through the pipe\nchild 2 ended with 3\n");
    // Relative to the current directory, which is the root here.
    r = run("pipeline", {"pipeline", "ver"}, rooted(images));
    EXPECT_EQ(r.out, "child said: NUV-OS Release 16\nchild 2 ended with 0\n");
    // Nothing outside the root can be started.
    nuvtest::ScratchDir empty;
    r = run("pipeline", {"pipeline", "/hello"}, rooted(empty.path()));
    EXPECT_EQ(r.out, "pipeline: cannot start /hello: -2\n");
    r = run("pipeline", {"pipeline", "../../../../../../" + images + "/hello"},
            rooted(empty.path()));
    EXPECT_EQ(r.result.status, 1);
    EXPECT_EQ(r.out.find("child said"), std::string::npos) << r.out;
}

TEST(Programs, DirsMakesMovesStreamsAndRemoves) {
    nuvtest::ScratchDir root;
    ASSERT_FALSE(root.path().empty());
    Outcome r = run("dirs", {"dirs"}, rooted(root.path()));
    EXPECT_EQ(r.result.stop, Stop::Exited) << r.result.message;
    EXPECT_EQ(r.out,
              "mkdir work = 0\n"
              "mkdir work again = -17\n"
              "mkdir work/sub = 0\n"
              "chdir work = 0\n"
              "cwd /work\n"
              "stream_begin sub/notes = 1\n"
              "stream_write = 6\n"
              "access before end = -1\n"
              "stream_write = 7\n"
              "stream_end = 0\n"
              "access after end = 0\n"
              "rmdir sub (not empty) = -39\n"
              "unlink sub/notes = 0\n"
              "unlink sub/notes again = -2\n"
              "mkfifo sub/fifo = 0\n"
              "unlink sub/fifo = 0\n"
              "chdir sub = 0\n"
              "cwd /work/sub\n"
              "chdir ../.. = 0\n"
              "cwd /\n"
              "chdir .. (at the root) = 0\n"
              "cwd /\n"
              "rmdir work/sub = 0\n"
              "rmdir work = 0\n"
              "rmdir work again = -2\n");
    EXPECT_TRUE(fs::is_empty(root.path()));
}

TEST(Programs, SleeperSleepsForRealOrNotAtAll) {
    auto t0 = std::chrono::steady_clock::now();
    Outcome r = run("sleeper", {"sleeper", "-u", "200000"}, nuvtest::test_options());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    EXPECT_EQ(r.out, "slept\n");
    EXPECT_EQ(r.result.status, 0);
    // An hour, skipped.
    nuv::Options o = nuvtest::test_options();
    o.skip_sleep = true;
    r = run("sleeper", {"sleeper", "3600"}, o);
    EXPECT_EQ(r.result.stop, Stop::Exited) << r.result.message;
    EXPECT_EQ(r.out, "slept\n");
}

TEST(Programs, TheNuvemuCommandRunsThemToo) {
    std::string images = NUV_IMAGE_DIR;
    nuvtest::ToolRun r =
        nuvtest::run_nuvemu("--root " + images + " " + images + "/pipeline /hello 'one line'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "child said: one line\nchild 2 ended with 0\n");
    r = nuvtest::run_nuvemu("--no-sleep " + images + "/sleeper 100000");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "slept\n");
    // A fixed time-stamp counter makes the self-seeded generator repeat.
    nuvtest::ToolRun first = nuvtest::run_nuvemu("--tsc 12345 " + images + "/hello -rand");
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(nuvtest::run_nuvemu("--tsc=12345 " + images + "/hello -rand").out, first.out);
    EXPECT_NE(nuvtest::run_nuvemu("--tsc 12346 " + images + "/hello -rand").out, first.out);
    EXPECT_EQ(nuvtest::run_nuvemu("--tsc x " + images + "/hello").status, 125);
    nuvtest::ScratchDir root;
    r = nuvtest::run_nuvemu("--root " + root.path() + " " + images + "/dirs");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("stream_end = 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rmdir work = 0\n"), std::string::npos) << r.out;
}

}  // namespace
