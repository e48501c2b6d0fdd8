// The loader and the nuvemu command on bad images and bad usage: each a
// clear error, never a crash.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>

#include "fault_report.hpp"
#include "elf32.hpp"
#include "guest.hpp"

namespace {

std::vector<uint8_t> ver_bytes() {
    std::ifstream in(nuvtest::image_path("ver"), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    std::memcpy(&b[at], &v, 2);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    std::memcpy(&b[at], &v, 4);
}
uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, &b[at], 4);
    return v;
}

// Offset of program header i's field at byte `field`.
size_t ph(const std::vector<uint8_t>& b, int i, size_t field) {
    return get32(b, 28) + 32 * i + field;
}

struct BadImage {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    const char* message;
};

TEST(Loader, RefusesBadImagesWithAReason) {
    const BadImage cases[] = {
        {"empty", [](auto& b) { b.clear(); }, "too short"},
        {"header cut", [](auto& b) { b.resize(40); }, "too short"},
        {"magic", [](auto& b) { b[1] = 'X'; }, "bad magic"},
        {"64-bit class", [](auto& b) { b[4] = 2; }, "not a 32-bit"},
        {"big-endian", [](auto& b) { b[5] = 2; }, "little-endian"},
        {"machine", [](auto& b) { put16(b, 18, 62); }, "not an i386"},
        {"shared object", [](auto& b) { put16(b, 16, 3); }, "not an executable"},
        {"relocatable", [](auto& b) { put16(b, 16, 1); }, "not an executable"},
        {"program headers cut", [](auto& b) { b.resize(60); }, "outside the file"},
        {"program header size", [](auto& b) { put16(b, 42, 40); }, "not 32 bytes"},
        {"program headers beyond", [](auto& b) { put32(b, 28, 0xFFFFFFF0); }, "outside the file"},
        {"interpreter", [](auto& b) { put32(b, ph(b, 1, 0), 3); }, "interpreter"},
        {"dynamic", [](auto& b) { put32(b, ph(b, 2, 0), 2); }, "dynamic"},
        {"overlap", [](auto& b) { put32(b, ph(b, 1, 8), 0x400100); }, "overlap"},
        {"segment beyond file", [](auto& b) { put32(b, ph(b, 0, 4), 0x7FFFFFF0); },
         "outside the file"},
        {"filesz > memsz", [](auto& b) { put32(b, ph(b, 2, 16), get32(b, ph(b, 2, 20)) + 1); },
         "exceeds"},
        {"address overflow",
         [](auto& b) {
             put32(b, ph(b, 2, 8), 0xFFFFF000);
             put32(b, ph(b, 2, 20), 0x2000);
         },
         "overflows"},
        {"huge memory", [](auto& b) { put32(b, ph(b, 2, 20), 0x40000000); }, "256 MiB"},
        {"null page", [](auto& b) { put32(b, ph(b, 0, 8), 0); }, "null page"},
        {"stack area", [](auto& b) { put32(b, ph(b, 2, 8), 0xBFFFF000); }, "stack"},
        {"top page",
         [](auto& b) {
             put32(b, ph(b, 2, 8), 0xFFFFF000);
             put32(b, ph(b, 2, 20), 0x1000);  // the data segment's memory ends at 4 GiB
         },
         "top page"},
        {"writable code", [](auto& b) { put32(b, ph(b, 0, 24), 7); }, "writable and executable"},
        {"data in the constants' page",
         [](auto& b) {
             put32(b, ph(b, 2, 4), get32(b, ph(b, 1, 4)) + 0x800);
             put32(b, ph(b, 2, 8), get32(b, ph(b, 1, 8)) + 0x800);
         },
         "share the page at 0x00401000"},
        {"no segments", [](auto& b) { put16(b, 44, 0); }, "no loadable segment"},
        {"section headers beyond", [](auto& b) { put32(b, 32, 0xFFFFFF00); }, "section headers"},
        {"section name table", [](auto& b) { put16(b, 50, 200); }, "name table"},
    };
    for (const BadImage& c : cases) {
        std::vector<uint8_t> b = ver_bytes();
        ASSERT_GT(b.size(), 4096u);
        c.damage(b);
        std::string err;
        auto m = nuv::Harness::load(std::move(b), nuvtest::test_options(), err);
        EXPECT_EQ(m, nullptr) << c.what;
        EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
        EXPECT_EQ(err.find('\n'), std::string::npos) << c.what;
    }
}

TEST(Loader, EveryTruncationIsRefusedOrRunsSafely) {
    std::vector<uint8_t> whole = ver_bytes();
    for (size_t n = 0; n < whole.size(); n += (n < 128 ? 1 : 97)) {
        std::vector<uint8_t> b(whole.begin(), whole.begin() + static_cast<long>(n));
        std::string err;
        auto m = nuv::Harness::load(std::move(b), nuvtest::test_options(), err);
        EXPECT_EQ(m, nullptr) << n;
        EXPECT_FALSE(err.empty()) << n;
    }
}

TEST(Loader, RandomDamageNeverCrashesTheHost) {
    // Flip bytes in the headers and the code; whatever loads must run to an
    // ordinary end (exit, fault or limit) without harming the host.
    std::vector<uint8_t> whole = ver_bytes();
    std::mt19937 rng(12345);
    int loaded = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> b = whole;
        int flips = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < flips; ++i) {
            size_t at = rng() % 2 ? rng() % 256 : 0x1000 + rng() % 0x300;
            b[at] = static_cast<uint8_t>(rng());
        }
        nuv::Options o = nuvtest::test_options();
        o.max_instructions = 20000;
        std::string err;
        auto m = nuv::Harness::load(std::move(b), o, err);
        if (!m) {
            EXPECT_FALSE(err.empty());
            continue;
        }
        ++loaded;
        nuv::RunResult r = m->run({"ver"});
        EXPECT_TRUE(r.stop == nuv::Stop::Exited ||
                    (r.stop == nuv::Stop::Fault && r.fault.kind != nuv::FaultKind::None) ||
                    !r.message.empty())
            << round;
    }
    EXPECT_GT(loaded, 0);
}

TEST(Loader, BoundsTheNumberOfLiveGuests) {
    std::vector<std::unique_ptr<nuv::Harness>> live;
    std::string err;
    for (int i = 0; i < nuv::Harness::kMaxLiveEmulated; ++i) {
        live.push_back(
            nuv::Harness::load(nuvtest::image_path("ver"), nuvtest::test_options(), err));
        ASSERT_NE(live.back(), nullptr) << err;
    }
    EXPECT_EQ(nuv::Harness::load(nuvtest::image_path("ver"), nuvtest::test_options(), err),
              nullptr);
    EXPECT_NE(err.find("too many live guests"), std::string::npos);
    live.pop_back();
    EXPECT_NE(nuv::Harness::load(nuvtest::image_path("ver"), nuvtest::test_options(), err),
              nullptr);
}

TEST(NuvemuCommand, RunsVerAndReportsTraceAndCount) {
    std::string ver = nuvtest::image_path("ver");
    nuvtest::ToolRun plain = nuvtest::run_nuvemu(ver);
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, "NUV-OS Release 16\n");
    EXPECT_EQ(plain.err, "");
    nuvtest::ToolRun usage = nuvtest::run_nuvemu(ver + " -h");
    EXPECT_EQ(usage.out, "Usage: ver\n");
    nuvtest::ToolRun traced = nuvtest::run_nuvemu("--trace --count " + ver);
    EXPECT_EQ(traced.out, "NUV-OS Release 16\n");
    EXPECT_NE(traced.err.find("write(1, \"NUV-OS Release 16\", 17) = 17\n"
                              "write(1, \"\\n\", 1) = 1\n"
                              "exit(0) = ?\n+++ exited with 0 +++\n"),
              std::string::npos)
        << traced.err;
    EXPECT_NE(traced.err.find(" instructions executed"), std::string::npos);
    std::string trace_file = testing::TempDir() + "trace_" + std::to_string(getpid()) + ".txt";
    EXPECT_EQ(nuvtest::run_nuvemu("--trace=" + trace_file + " " + ver).status, 0);
    std::ifstream t(trace_file);
    std::string logged((std::istreambuf_iterator<char>(t)), {});
    EXPECT_NE(logged.find("exit(0)"), std::string::npos);
}

TEST(NuvemuCommand, ErrorsAreOneLineWithDistinctStatuses) {
    std::string ver = nuvtest::image_path("ver");
    std::string junk = testing::TempDir() + "junk_" + std::to_string(getpid()) + ".img";
    std::ofstream(junk) << std::string(64, 'j');
    struct Case {
        std::string args;
        int status;
        const char* message;
    } cases[] = {
        {"", 125, "usage"},
        {"--bogus " + ver, 125, "unknown option"},
        {"--max-insns 0 " + ver, 125, "--max-insns"},
        {"--max-insns x " + ver, 125, "--max-insns"},
        {"--max-insns", 125, "--max-insns"},
        {junk, 125, "bad magic"},
        {"/nonexistent", 125, "cannot open"},
        {"--max-insns 50 " + ver, 124, "instruction limit of 50"},
        {"--trace=/nonexistent/dir/t " + ver, 125, "cannot write trace file"},
    };
    for (const Case& c : cases) {
        nuvtest::ToolRun r = nuvtest::run_nuvemu(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
    EXPECT_EQ(nuvtest::run_nuvemu("--help").status, 0);
}

// The version, then which engines this host runs: what it says of the
// native engine is what a run that asks for it meets, and auto follows it.
TEST(NuvemuCommand, TellsItsVersionAndTheEnginesThisHostRuns) {
    nuvtest::ToolRun v = nuvtest::run_nuvemu("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("nuvemu (NUV-OS toolkit) ", 0), 0u) << v.out;
    EXPECT_NE(v.out.find("\n  unicorn  yes: an i386 emulated by Unicorn 2."), std::string::npos)
        << v.out;
    nuvtest::ToolRun native = nuvtest::run_nuvemu("--engine native " + nuvtest::image_path("ver"));
    const size_t yes = v.out.find("\n  native   yes: ");
    const size_t no = v.out.find("\n  native   no: ");
    ASSERT_NE(yes == std::string::npos, no == std::string::npos) << v.out;
    if (yes != std::string::npos) {
        EXPECT_EQ(native.status, 0) << native.err;
        EXPECT_NE(v.out.find("\n  auto     runs native\n"), std::string::npos) << v.out;
    } else {
        const size_t from = no + std::strlen("\n  native   no: ");
        const std::string reason = v.out.substr(from, v.out.find('\n', from) - from);
        EXPECT_EQ(native.status, 125);
        EXPECT_NE(native.err.find(reason), std::string::npos) << reason << " / " << native.err;
        EXPECT_NE(v.out.find("\n  auto     runs unicorn\n"), std::string::npos) << v.out;
    }
}

TEST(NuvemuCommand, TraceSaysWhenNuvemuIsKilled) {
    // The guest copies standard input to standard output; once the echo is
    // back it is reading again, and nuvemu is ended by a signal.
    std::string trace_file = testing::TempDir() + "killed_" + std::to_string(getpid()) + ".txt";
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        std::string trace_arg = "--trace=" + trace_file;
        std::string image = nuvtest::image_path("hello");
        execl(NUV_BIN_DIR "/nuvemu", "nuvemu", trace_arg.c_str(), image.c_str(), "-cat",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    ASSERT_EQ(write(in[1], "x\n", 2), 2);
    char echo[2] = {};
    size_t got = 0;
    while (got < 2) {
        ssize_t n = read(out[0], echo + got, 2 - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(std::string(echo, got), "x\n");
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(in[1]);
    close(out[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    std::string log = nuvtest::read_file(trace_file);
    std::remove(trace_file.c_str());
    EXPECT_NE(log.find("read(0, \"x\\n\", 512) = 2\n"), std::string::npos) << log;
    const std::string last = "+++ killed by SIGTERM +++\n";
    ASSERT_GE(log.size(), last.size()) << log;
    EXPECT_EQ(log.substr(log.size() - last.size()), last) << log;
}

}  // namespace
