// The kernel stand-in: pipes, descriptors, mappings, the keyboard, sleeping,
// and processes that spawn, talk through pipes and wait for each other.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <unistd.h>

#include "fault_report.hpp"
#include "guest.hpp"
#include "kernel.hpp"
#include "native_engine.hpp"

namespace {

using nuv::Stop;
using nuvtest::LibTest;

// Guest paths "/bin/NAME" name the test images.
void use_test_images(nuv::Harness& m) {
    m.kernel().set_image_resolver(
        [](nuv::Task&, const std::string& path, std::vector<uint8_t>& image) {
            if (path.rfind("/bin/", 0) != 0) return -NUV_ENOENT;
            return nuv::Kernel::read_image(nuvtest::image_path(path.substr(5)), image);
        });
}

struct GuestRun {
    nuv::RunResult result;
    std::string out;
};

GuestRun run_image(std::string_view name, const std::vector<std::string>& args,
                   nuv::Options o = nuvtest::test_options()) {
    auto m = nuvtest::load_image(name, o);
    if (!m) return {};
    use_test_images(*m);
    GuestRun r;
    r.result = m->run(args);
    r.out = m->output();
    return r;
}

class Kernel : public LibTest {
  protected:
    void SetUp() override {
        LibTest::SetUp();
        use_test_images(g());
    }
    // Two descriptors from pipe().
    std::pair<int32_t, int32_t> make_pipe() {
        uint32_t fds = buf(8);
        EXPECT_EQ(icall("pipe", {fds}), 0);
        return {static_cast<int32_t>(g().u32(fds)), static_cast<int32_t>(g().u32(fds + 4))};
    }
    int32_t write_text(int32_t fd, std::string_view s) {
        return icall("write", {fd, str(s), static_cast<uint32_t>(s.size())});
    }
    std::string read_text(int32_t fd, uint32_t n, int32_t& result) {
        uint32_t b = buf(n);
        result = icall("read", {fd, b, n});
        return result > 0 ? g().read_string(b, static_cast<size_t>(result)) : std::string();
    }
    uint32_t argv(const std::vector<std::string>& args) {
        uint32_t v = nuvtest::alloc(g(), 4 * args.size() + 4, 4);
        for (size_t i = 0; i < args.size(); ++i) {
            g().set_u32(v + 4 * static_cast<uint32_t>(i), str(args[i]));
        }
        return v;
    }
};

// The same kernel with every process a host process of its own.
class NativeKernel : public Kernel {
  protected:
    void SetUp() override {
        NUVTEST_NEED_NATIVE_ENGINE();
        opts_.engine = nuv::EngineKind::Native;
        Kernel::SetUp();
    }
};

// A child runs alongside its parent: it computes while the parent, back from
// spawn, is in the host's hands and makes no call at all.
TEST_F(NativeKernel, ASpawnedChildComputesWhileItsParentDoesNotWait) {
    int32_t pid = icall("spawn", {str("/bin/hello"), argv({"hello", "-spin"}), 2});
    ASSERT_EQ(pid, 2);
    auto* child = dynamic_cast<nuv::NativeEngine*>(&g().kernel().process(pid)->engine());
    ASSERT_NE(child, nullptr);
    // Its processor time in clock ticks, from /proc/PID/stat (user, system).
    auto ticks = [&] {
        std::ifstream in("/proc/" + std::to_string(child->pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream rest(text.substr(text.rfind(')') + 2));
        std::string field;
        long user = 0, system = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) user = std::stol(field);
            if (i == 15) system = std::stol(field);
        }
        return user + system;
    };
    long before = ticks();
    for (int i = 0; i < 500 && ticks() < before + 5; ++i) usleep(10000);
    EXPECT_GE(ticks(), before + 5);
}

// A process that computes without a call holds up no other's calls: the
// child that copies a pipe is served while its spinning sibling runs.
TEST_F(NativeKernel, ASpinningProcessHoldsUpNoOtherCall) {
    ASSERT_EQ(icall("spawn", {str("/bin/hello"), argv({"hello", "-spin"}), 2}), 2);
    auto [in_r, in_w] = make_pipe();
    auto [out_r, out_w] = make_pipe();
    EXPECT_EQ(icall("fd_set_stdio", {in_r, out_w, 0xFFFFFFFF}), 0);
    ASSERT_EQ(icall("spawn", {str("/bin/hello"), argv({"hello", "-cat"}), 2}), 3);
    EXPECT_EQ(icall("fd_set_stdio", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}), 0);
    EXPECT_EQ(write_text(in_w, "served"), 6);
    int32_t n = 0;
    EXPECT_EQ(read_text(out_r, 100, n), "served");
}

TEST_F(Kernel, PipeCarriesBytesInOrderAndEndsWhenTheWriterCloses) {
    auto [r, w] = make_pipe();
    EXPECT_EQ(r, 3);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(write_text(w, "hello "), 6);
    EXPECT_EQ(write_text(w, "world"), 5);
    int32_t n = 0;
    EXPECT_EQ(read_text(r, 4, n), "hell");
    EXPECT_EQ(read_text(r, 100, n), "o world");
    // A copy keeps the writing end open; closing both ends it.
    int32_t w2 = icall("dup", {w});
    EXPECT_EQ(w2, 5);
    EXPECT_EQ(icall("close", {w}), 0);
    EXPECT_EQ(write_text(w2, "!"), 1);
    EXPECT_EQ(icall("close", {w2}), 0);
    EXPECT_EQ(read_text(r, 10, n), "!");
    read_text(r, 10, n);
    EXPECT_EQ(n, 0);
    // Nobody reads any more: writing fails.
    auto [r2, w3] = make_pipe();
    EXPECT_EQ(icall("close", {r2}), 0);
    EXPECT_EQ(write_text(w3, "x"), -NUV_EPIPE);
}

TEST_F(Kernel, ReadingAnEmptyPipeThatOnlyTheReaderCanFillIsADeadlock) {
    auto [r, w] = make_pipe();
    int32_t n = 0;
    read_text(r, 4, n);
    EXPECT_EQ(n, -NUV_EDEADLK);
    // Non-blocking: at once, nothing to read.
    EXPECT_EQ(icall("fd_set_nonblock", {r, 1}), 0);
    read_text(r, 4, n);
    EXPECT_EQ(n, -NUV_EAGAIN);
    EXPECT_EQ(icall("fd_set_nonblock", {r, 0}), 0);
    read_text(r, 4, n);
    EXPECT_EQ(n, -NUV_EDEADLK);
    EXPECT_EQ(icall("fd_set_nonblock", {99, 1}), -NUV_EBADF);
    (void)w;
}

TEST_F(Kernel, FullPipeAcceptsWhatFitsThenWaits) {
    auto [r, w] = make_pipe();
    uint32_t big = buf(100000, 'x');
    EXPECT_EQ(icall("write", {w, big, 100000}), 65536);
    EXPECT_EQ(icall("write", {w, big, 1}), -NUV_EDEADLK);
    EXPECT_EQ(icall("fd_set_nonblock", {w, 1}), 0);
    EXPECT_EQ(icall("write", {w, big, 1}), -NUV_EAGAIN);
    (void)r;
}

TEST_F(Kernel, DescriptorCopies) {
    struct Case {
        uint32_t nr;
        std::vector<uint32_t> args;
        int32_t result;
    };
    const Case cases[] = {
        {NUV_SYS_dup, {1}, 3},                        // dup: lowest free
        {NUV_SYS_dup2, {1, 10}, 10},                  // dup2 to a free number
        {NUV_SYS_dup2, {1, 1}, 1},                    // onto itself
        {NUV_SYS_dup2, {1, 63}, 63},                  // the last descriptor
        {NUV_SYS_dup2, {1, 64}, -NUV_EBADF},          // beyond the table
        {NUV_SYS_dup2, {1, 0xFFFFFFFF}, -NUV_EBADF},  // negative
        {NUV_SYS_dup2, {40, 2}, -NUV_EBADF},          // closed source
        {NUV_SYS_dup, {40}, -NUV_EBADF},
        {NUV_SYS_dup, {0xFFFFFFFF}, -NUV_EBADF},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> words{c.nr};
        words.insert(words.end(), c.args.begin(), c.args.end());
        words.resize(4);
        ASSERT_EQ(g().call_words(sym("probe_trap"), words).stop, Stop::Returned);
        EXPECT_EQ(static_cast<int32_t>(g().eax()), c.result) << c.nr << " " << c.args[0];
    }
    // Descriptor 10 writes where 1 does; dup2 onto 0 replaces standard input.
    EXPECT_EQ(write_text(10, "via ten\n"), 8);
    EXPECT_EQ(icall("dup2", {1, 0}), 0);
    EXPECT_EQ(write_text(0, "via zero\n"), 9);
    EXPECT_EQ(g().output(), "via ten\nvia zero\n");
    // The table is full after 64.
    for (int i = 0; i < 64; ++i) icall("dup", {1});
    EXPECT_EQ(icall("dup", {1}), -NUV_EMFILE);
    EXPECT_EQ(icall("pipe", {buf(8)}), -NUV_EMFILE);
    EXPECT_EQ(icall("pipe", {0u}), -1);  // the wrapper's own guard
    EXPECT_EQ(icall("probe_trap", {NUV_SYS_pipe, 0, 0, 0}), -NUV_EFAULT);
}

TEST(KernelInput, GetkeyGivesEachByteThenMinusOne) {
    nuv::Options o = nuvtest::test_options();
    o.input = std::string("a\xff\n", 3);
    auto m = nuvtest::load_image("libtest", o);
    std::vector<int32_t> keys;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(m->call("getkey", {}).stop, Stop::Returned);
        keys.push_back(static_cast<int32_t>(m->eax()));
    }
    EXPECT_EQ(keys, (std::vector<int32_t>{'a', 0xff, '\n', -1, -1}));
}

TEST_F(Kernel, GetkeyOnAClosedInputIsBadDescriptor) {
    EXPECT_EQ(icall("close", {0}), 0);
    EXPECT_EQ(icall("getkey", {}), -NUV_EBADF);
}

TEST_F(Kernel, AnonymousMappingsAreUsableAndBounded) {
    constexpr uint32_t kRW = 3, kAnon = 0x22;
    uint32_t a = call("mmap", {0, 10000, kRW, kAnon, 0xFFFFFFFF, 0});
    EXPECT_EQ(a, nuv::Harness::kMapBase);
    EXPECT_TRUE(g().accessible(a, 12288, true));
    EXPECT_EQ(icall("probe_load", {a + 9996}), 0);  // zero-filled
    icall("probe_store", {a + 4, 1234});
    EXPECT_EQ(icall("probe_load", {a + 4}), 1234);
    uint32_t b = call("mmap", {0, 1, 1, kAnon, 0xFFFFFFFF, 0});
    EXPECT_EQ(b, a + 12288);
    EXPECT_FALSE(g().accessible(b, 1, true));  // read-only
    // Unmapping needs the mapping's start and length.
    EXPECT_EQ(icall("munmap", {a + 4096, 4096}), -NUV_EINVAL);
    EXPECT_EQ(icall("munmap", {a, 4096}), -NUV_EINVAL);
    EXPECT_EQ(icall("munmap", {a, 12288}), 0);
    EXPECT_EQ(icall("munmap", {a, 12288}), -NUV_EINVAL);
    EXPECT_EQ(g().call("probe_load", {a}).stop, Stop::Fault);
    // The gap is used again.
    EXPECT_EQ(call("mmap", {0, 4096, kRW, kAnon, 0xFFFFFFFF, 0}), a);

    struct Refused {
        uint32_t length, prot, flags;
    };
    for (Refused c : {Refused{nuv::Harness::kMaxMappedBytes + 1, kRW, kAnon},
                      Refused{4096, kRW, 0x02},  // not anonymous
                      Refused{4096, 8, kAnon},   // unknown protection
                      Refused{4096, 7, kAnon},   // writable and executable
                      Refused{4096, 6, kAnon}, Refused{0xFFFFFFFF, kRW, kAnon}}) {
        EXPECT_EQ(icall("mmap", {0, c.length, c.prot, c.flags, 0xFFFFFFFF, 0}), -1) << c.length;
    }
    // At most 64 mappings and 64 MiB in all.
    size_t made = g().mapping_count();
    while (icall("mmap", {0, 4096, kRW, kAnon, 0xFFFFFFFF, 0}) != -1) ++made;
    EXPECT_EQ(made, nuv::Harness::kMaxMappings);
    SetUp();
    EXPECT_NE(icall("mmap", {0, 40u << 20, kRW, kAnon, 0xFFFFFFFF, 0}), -1);
    EXPECT_EQ(icall("mmap", {0, 25u << 20, kRW, kAnon, 0xFFFFFFFF, 0}), -1);
    EXPECT_NE(icall("mmap", {0, 24u << 20, kRW, kAnon, 0xFFFFFFFF, 0}), -1);
}

TEST(KernelSleep, SleepingWaitsUnlessSkipped) {
    for (bool skip : {false, true}) {
        nuv::Options o = nuvtest::test_options();
        o.skip_sleep = skip;
        auto m = nuvtest::load_image("libtest", o);
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(m->call("usleep", {150000u}).stop, Stop::Returned);
        EXPECT_EQ(m->eax(), 0u);
        auto waited = std::chrono::steady_clock::now() - t0;
        if (!skip) {
            EXPECT_GE(waited, std::chrono::milliseconds(150));
        }
        ASSERT_EQ(m->traps().size(), 1u);
        EXPECT_EQ(m->traps()[0].result, 0);
    }
    // A sleep beyond the time limit ends the run instead of hanging.
    nuv::Options o = nuvtest::test_options();
    o.timeout_us = 100000;
    auto m = nuvtest::load_image("libtest", o);
    const uint32_t fds = nuv::Harness::kStackTop - 0x10000;
    ASSERT_EQ(m->call("pipe", {fds}).stop, Stop::Returned);
    ASSERT_EQ(m->eax(), 0u);
    nuv::RunResult r = m->call("sleep", {1000u});
    EXPECT_EQ(r.stop, Stop::Timeout);
    // The sleep's wake time goes with it: a read that only the reader could
    // satisfy, made next, is a deadlock at once, not a wait for that time.
    r = m->call("read", {m->u32(fds), fds + 8, 4u});
    EXPECT_EQ(r.stop, Stop::Returned) << nuv::report::what(r);
    EXPECT_EQ(static_cast<int32_t>(m->eax()), -NUV_EDEADLK);
}

TEST(KernelProcesses, PipelineReadsItsChildsOutputAndStatus) {
    GuestRun r = run_image("pipeline", {"pipeline", "/bin/hello", "from the child", "7"});
    EXPECT_EQ(r.result.stop, Stop::Exited) << nuv::report::what(r.result);
    EXPECT_EQ(r.result.status, 0);
    EXPECT_EQ(r.out, "child said: from the child\nchild 2 ended with 7\n");

    // A child without arguments gets its path as its only argument.
    r = run_image("pipeline", {"pipeline", "/bin/hello"});
    EXPECT_EQ(r.out, "child said: hello\nchild 2 ended with 0\n");

    r = run_image("pipeline", {"pipeline", "/bin/missing"});
    EXPECT_EQ(r.out, "pipeline: cannot start /bin/missing: -2\n");
    r = run_image("pipeline", {"pipeline", "/bin/../../etc/passwd"});
    EXPECT_EQ(r.result.status, 1);
}

TEST(KernelProcesses, GrandchildrenRunWhileTheirParentWaits) {
    GuestRun r =
        run_image("pipeline", {"pipeline", "/bin/pipeline", "/bin/pipeline", "/bin/hello", "deep"});
    EXPECT_EQ(r.result.stop, Stop::Exited) << nuv::report::what(r.result);
    EXPECT_EQ(r.out,
              "child said: child said: child said: deep\n"
              "child 4 ended with 0\n"
              "child 3 ended with 0\n"
              "child 2 ended with 0\n");
}

TEST(KernelProcesses, ASleepingChildWakesWhileItsParentWaits) {
    auto t0 = std::chrono::steady_clock::now();
    GuestRun r = run_image("pipeline", {"pipeline", "/bin/sleeper", "-u", "120000"});
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(120));
    EXPECT_EQ(r.out, "child said: slept\nchild 2 ended with 0\n");
}

TEST(KernelProcesses, ChainsLongerThanTheProcessLimitFailCleanly) {
    // Each pipeline starts the next: the sixteenth spawn finds no room.
    std::vector<std::string> args{"pipeline"};
    for (int i = 0; i < 20; ++i) args.push_back("/bin/pipeline");
    args.push_back("/bin/hello");
    GuestRun r = run_image("pipeline", args);
    EXPECT_EQ(r.result.stop, Stop::Exited) << nuv::report::what(r.result);
    EXPECT_NE(r.out.find("pipeline: cannot start /bin/pipeline: -11\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("child 16 ended with 1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("child 2 ended with 0\n"), std::string::npos) << r.out;
}

TEST(KernelProcesses, TraceNamesTheProcessOfEachCall) {
    nuvtest::TraceLog trace;
    nuv::Options o = nuvtest::test_options();
    o.trace = trace.file();
    GuestRun r = run_image("pipeline", {"pipeline", "/bin/hello", "hi"}, o);
    std::string log = trace.text();
    EXPECT_NE(log.find("spawn(\"/bin/hello\", "), std::string::npos) << log;
    EXPECT_NE(log.find("[pid 2] write(1, \"hi\", 2) = 2\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[pid 2] exit(0) = ?"), std::string::npos) << log;
    // Lines before the first child carry no process id, every later one does;
    // what pipe and waitpid write shows after the call.
    EXPECT_EQ(log.rfind("pipe([3, 4]) = 0\n", 0), 0u) << log;
    const char* in_order[] = {
        "\n[pid 1] spawn(\"/bin/hello\", [\"/bin/hello\", \"hi\"], 2) = 2\n",
        "\n[pid 2] exit(0) = ?\n[pid 2] +++ exited with 0 +++\n",
        "\n[pid 1] waitpid(2, [0], 0) = 2\n",
        "\n[pid 1] exit(0) = ?\n[pid 1] +++ exited with 0 +++\n",
    };
    size_t at = 0;
    for (const char* part : in_order) {
        at = log.find(part, at);
        ASSERT_NE(at, std::string::npos) << part << "\n" << log;
    }
    std::istringstream lines(log);
    int bare = 0;
    for (std::string line; std::getline(lines, line);) bare += line.rfind("[pid ", 0) != 0;
    EXPECT_EQ(bare, 2) << log;  // pipe and fd_set_stdio, before the spawn
}

TEST(KernelProcesses, ChildrenThatFaultOrRunAwayEndWithAStatus) {
    nuv::Options o = nuvtest::test_options();
    o.max_instructions = 2'000'000;
    GuestRun r = run_image("pipeline", {"pipeline", "/bin/hello", "-spin"}, o);
    EXPECT_EQ(r.result.stop, Stop::Exited) << nuv::report::what(r.result);
    EXPECT_EQ(r.out, "child said: child 2 ended with 124\n");
    r = run_image("pipeline", {"pipeline", "/bin/ver", "-h"});
    EXPECT_EQ(r.out, "child said: Usage: ver\nchild 2 ended with 0\n");
    // Not an image.
    r = run_image("pipeline", {"pipeline", "/bin/../CMakeCache.txt"});
    EXPECT_EQ(r.out, "pipeline: cannot start /bin/../CMakeCache.txt: -8\n");
}

TEST_F(Kernel, SpawnedChildInheritsTheDescriptorsItIsGiven) {
    // The child's 0 and 1 are two pipes; it copies one to the other.
    auto [in_r, in_w] = make_pipe();
    auto [out_r, out_w] = make_pipe();
    EXPECT_EQ(icall("fd_set_stdio", {in_r, out_w, 0xFFFFFFFF}), 0);
    int32_t pid = icall("spawn", {str("/bin/hello"), argv({"hello", "-cat"}), 2});
    EXPECT_EQ(pid, 2);
    EXPECT_EQ(icall("fd_set_stdio", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}), 0);
    icall("close", {in_r});
    icall("close", {out_w});
    EXPECT_EQ(write_text(in_w, "round trip"), 10);
    int32_t n = 0;
    EXPECT_EQ(read_text(out_r, 100, n), "round trip");
    icall("close", {in_w});
    read_text(out_r, 100, n);
    EXPECT_EQ(n, 0);
    uint32_t status = buf(4);
    EXPECT_EQ(icall("waitpid", {pid, status, 0}), pid);
    EXPECT_EQ(g().u32(status), 0u);
    EXPECT_EQ(icall("waitpid", {pid, status, 0}), -NUV_ECHILD);

    EXPECT_EQ(icall("fd_set_stdio", {0, 1, 50}), -NUV_EBADF);
    EXPECT_EQ(icall("fd_set_inherit", {1}), 0);
    EXPECT_TRUE(g().kernel().stdio(g().task()).inherit_all);
}

TEST_F(Kernel, SpawnExGivesThisChildItsOwnDescriptors) {
    auto [r, w] = make_pipe();
    // Output to the pipe for this spawn only, standard input left alone.
    int32_t pid = icall(
        "spawn_ex", {str("/bin/hello"), argv({"hello", "ex"}), 2, 0xFFFFFFFF, w, 0xFFFFFFFF, 0});
    EXPECT_EQ(pid, 2);
    icall("close", {w});
    EXPECT_EQ(icall("waitpid", {0xFFFFFFFF, 0u, 0}), pid);
    int32_t n = 0;
    EXPECT_EQ(read_text(r, 100, n), "ex\n");
    EXPECT_EQ(g().output(), "");
    EXPECT_EQ(icall("spawn_ex", {str("/bin/hello"), 0u, 0, 33, 0xFFFFFFFF, 0xFFFFFFFF, 0}),
              -NUV_EBADF);
    EXPECT_EQ(icall("probe_trap", {NUV_SYS_spawn_ex, 0x30000000, 0, 0}), -NUV_EFAULT);
}

TEST_F(Kernel, PollingANonBlockingPipeLetsTheWriterRun) {
    auto [r, w] = make_pipe();
    EXPECT_EQ(icall("fd_set_nonblock", {r, 1}), 0);
    int32_t pid = icall("spawn_ex", {str("/bin/hello"), argv({"hello", "polled"}), 2, 0xFFFFFFFF, w,
                                     0xFFFFFFFF, 0});
    ASSERT_EQ(pid, 2);
    icall("close", {w});
    // Each empty read gives the child a turn; it has written by the second.
    std::vector<int32_t> results;
    std::string got;
    for (int i = 0; i < 4 && got.empty(); ++i) {
        int32_t n = 0;
        got = read_text(r, 100, n);
        results.push_back(n);
    }
    EXPECT_EQ(got, "polled\n");
    EXPECT_EQ(results.front(), -NUV_EAGAIN);
    EXPECT_LE(results.size(), 2u);
    EXPECT_EQ(icall("waitpid", {pid, 0u, 1}), pid);
}

TEST_F(Kernel, WaitpidRules) {
    uint32_t status = buf(4);
    EXPECT_EQ(icall("waitpid", {0xFFFFFFFF, status, 0}), -NUV_ECHILD);
    EXPECT_EQ(icall("waitpid", {0u, status, 0}), -NUV_EINVAL);
    int32_t pid = icall("spawn", {str("/bin/hello"), argv({"hello", "x", "300"}), 3});
    ASSERT_EQ(pid, 2);
    // Not yet run, and no waiting asked for.
    EXPECT_EQ(icall("waitpid", {pid, status, 1}), 0);
    EXPECT_EQ(icall("waitpid", {pid, 0x400000u, 0}), -NUV_EFAULT);
    EXPECT_EQ(icall("waitpid", {pid + 1, status, 0}), -NUV_ECHILD);
    EXPECT_EQ(icall("waitpid", {pid, status, 0}), pid);
    EXPECT_EQ(g().u32(status), 300u);  // the whole status, not 8 bits of it
    EXPECT_EQ(g().output(), "x\n");
}

TEST_F(Kernel, WaitingForAChildThatWaitsForUsFailsTheChildsCall) {
    // The child drains its input, a pipe whose writing end stays with us.
    auto [r, w] = make_pipe();
    EXPECT_EQ(icall("fd_set_stdio", {r, 0xFFFFFFFF, 0xFFFFFFFF}), 0);
    int32_t pid = icall("spawn", {str("/bin/hello"), argv({"hello", "-drain"}), 2});
    EXPECT_EQ(write_text(w, "abc"), 3);
    uint32_t status = buf(4);
    EXPECT_EQ(icall("waitpid", {pid, status, 0}), pid);
    EXPECT_EQ(g().output(), "3\n");  // its read failed with a deadlock and it stopped
}

TEST_F(Kernel, ProcessCountIsBounded) {
    // Children that wait on our pipe stay alive.
    auto [r, w] = make_pipe();
    EXPECT_EQ(icall("fd_set_stdio", {r, 0xFFFFFFFF, 0xFFFFFFFF}), 0);
    uint32_t path = str("/bin/hello"), v = argv({"hello", "-drain"});
    std::vector<int32_t> pids;
    for (;;) {
        int32_t pid = icall("spawn", {path, v, 2});
        if (pid < 0) {
            EXPECT_EQ(pid, -NUV_EAGAIN);
            break;
        }
        pids.push_back(pid);
        ASSERT_LT(pids.size(), 100u);
    }
    EXPECT_EQ(pids.size(), static_cast<size_t>(nuv::Kernel::kMaxProcesses - 1));
    EXPECT_EQ(g().kernel().live_processes(), nuv::Kernel::kMaxProcesses);
    // Closing our ends lets them all finish.
    icall("close", {w});
    icall("close", {r});
    for (int32_t pid : pids) EXPECT_EQ(icall("waitpid", {pid, 0u, 0}), pid);
    EXPECT_EQ(g().kernel().live_processes(), 1);
    EXPECT_EQ(g().kernel().entries(), 1u);
}

TEST_F(Kernel, SpawnChecksItsArguments) {
    uint32_t path = str("/bin/hello");
    struct Case {
        std::vector<uint32_t> words;
        int32_t result;
    };
    const Case cases[] = {
        {{131, 0x30000000, 0, 0}, -NUV_EFAULT},             // unmapped path
        {{131, str(""), 0, 0}, -NUV_ENOENT},                // empty path
        {{131, path, 0, 1}, -NUV_EFAULT},                   // no vector
        {{131, path, argv({"a"}) + 0, 2}, -NUV_EFAULT},     // null entry (the terminator)
        {{131, path, 0, 0xFFFFFFFF}, -NUV_EINVAL},          // negative count
        {{131, path, 0, 5000}, -NUV_EINVAL},                // too many
        {{131, str("/bin/hello\x01"), 0, 0}, -NUV_ENOENT},  // no such image file
        {{131, str("/bin/."), 0, 0}, -NUV_ENOEXEC},         // a directory
    };
    for (const Case& c : cases) {
        ASSERT_EQ(g().call_words(sym("probe_trap"), c.words).stop, Stop::Returned);
        EXPECT_EQ(static_cast<int32_t>(g().eax()), c.result) << g().read_string(c.words[1], 20);
    }
    EXPECT_EQ(g().kernel().live_processes(), 1);
}

}  // namespace

namespace {

// A child works in the root its parent was started with, even after the host
// directory of that name has been moved away and replaced by another: before
// the run, or while the child is being spawned (its image found, the child
// not made yet).
TEST(KernelProcesses, ChildKeepsItsParentsRootAfterTheHostDirectoryIsReplaced) {
    for (bool during_spawn : {false, true}) {
        SCOPED_TRACE(during_spawn ? "during the spawn" : "before the run");
        nuvtest::ScratchDir scratch;
        ASSERT_FALSE(scratch.path().empty());
        const std::filesystem::path root = scratch.path() + "/root";
        const std::filesystem::path moved = scratch.path() + "/moved";
        std::filesystem::create_directory(root);
        nuv::Options o = nuvtest::test_options();
        o.root = root.string();
        auto m = nuvtest::load_image("pipeline", o);
        ASSERT_TRUE(m);
        auto replace = [&] {
            std::filesystem::rename(root, moved);
            std::filesystem::create_directory(root);
            // A fresh root would refuse mkdir work.
            nuvtest::write_file(root / "work", "in the way\n");
        };
        int spawns = 0;
        m->kernel().set_image_resolver(
            [&](nuv::Task&, const std::string& path, std::vector<uint8_t>& image) {
                if (during_spawn && spawns == 0) replace();
                ++spawns;
                if (path.rfind("/bin/", 0) != 0) return -NUV_ENOENT;
                return nuv::Kernel::read_image(nuvtest::image_path(path.substr(5)), image);
            });
        if (!during_spawn) replace();

        nuv::RunResult r = m->run({"pipeline", "/bin/dirs"});
        EXPECT_EQ(r.stop, Stop::Exited) << nuv::report::what(r);
        EXPECT_EQ(spawns, 1);
        EXPECT_EQ(m->output().rfind("child said: mkdir work = 0\nmkdir work again = -17\n", 0), 0u)
            << m->output();
        EXPECT_NE(m->output().find("rmdir work = 0\n"), std::string::npos) << m->output();
        EXPECT_EQ(nuvtest::read_file(root / "work"), "in the way\n");
        EXPECT_TRUE(std::filesystem::is_empty(moved));
    }
}

}  // namespace

namespace {

TEST(KernelProcesses, ChildProcessTakesItsParentsRootDirectoryAndGivenDescriptors) {
    nuvtest::ScratchDir scratch;
    std::filesystem::create_directories(scratch.path() + "/a/b");
    auto parent = nuv::Process::first(scratch.path(), std::string("in"), true);
    ASSERT_TRUE(parent) << parent.error().message;
    nuv::Process& p = **parent;
    EXPECT_EQ(p.pid(), 1);
    ASSERT_EQ(p.sandbox().change_dir("/a/b"), 0);
    ASSERT_EQ(p.install_file(p.file(1), 7), 7);

    auto child = nuv::Process::child(5, p, {p.file(2), nullptr, p.file(7)});
    ASSERT_TRUE(child) << child.error().message;
    nuv::Process& c = **child;
    EXPECT_EQ(c.pid(), 5);
    EXPECT_EQ(c.ppid(), 1);
    EXPECT_EQ(c.sandbox().cwd(), "/a/b");
    EXPECT_NE(c.sandbox().root_fd(), p.sandbox().root_fd());  // its own handle on the same root
    EXPECT_EQ(c.file(0), p.file(2));
    EXPECT_EQ(c.file(1), nullptr);
    EXPECT_EQ(c.file(2), p.file(1));
    EXPECT_EQ(c.state(), nuv::RunState::Runnable);
    // The child's table is its own: the lowest free descriptor, and the bounds.
    EXPECT_EQ(c.install_file(c.file(0)), 1);
    EXPECT_EQ(c.install_file(c.file(0), nuv::Process::kMaxFiles), -NUV_EBADF);
    EXPECT_TRUE(c.close_file(0));
    EXPECT_FALSE(c.close_file(0));
    EXPECT_NE(p.file(2), nullptr);
    // Changing directory in the child leaves the parent where it was.
    ASSERT_EQ(c.sandbox().change_dir("/"), 0);
    EXPECT_EQ(p.sandbox().cwd(), "/a/b");
}

}  // namespace
