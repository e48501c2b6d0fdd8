// Nothing a guest runs takes nuvemu down or runs with more privilege than a
// command has: privileged instructions, encodings the CPU emulator mishandles,
// engine crashes and runaway memory all end with a message and a status.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <vector>

#include "containment.hpp"
#include "guest.hpp"
#include "sandbox.hpp"

namespace {

using nuv::Stop;
using nuvtest::LibTest;

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

TEST_F(LibTest, PrivilegedInstructionsFaultAtTheirAddress) {
    for (const char* fn : {"probe_cli", "probe_lidt", "probe_inb", "probe_outb"}) {
        SetUp();
        nuv::RunResult r = g().call_words(sym(fn), {});
        EXPECT_EQ(r.stop, Stop::Fault) << fn;
        EXPECT_EQ(r.message, "protection fault at eip " + hex(sym(fn))) << fn;
    }
}

TEST_F(LibTest, MishandledEncodingsFaultAsInvalidWhereTheyBegin) {
    nuv::RunResult far = g().call_words(sym("probe_far_register"), {});
    EXPECT_EQ(far.stop, Stop::Fault);
    EXPECT_EQ(far.message, "invalid instruction at " + hex(sym("probe_far_register")) +
                               " (far call or jump through a register)");
    SetUp();
    // In the middle of a block, after two instructions that do run.
    nuv::RunResult lock = g().call_words(sym("probe_lock_compare"), {});
    EXPECT_EQ(lock.stop, Stop::Fault);
    EXPECT_EQ(lock.message.rfind("invalid instruction at " + hex(sym("probe_lock_compare_at")), 0),
              0u)
        << lock.message;
    // The machine goes on serving calls after the fault.
    EXPECT_EQ(g().call("probe_long_double", {1, 2}).stop, Stop::Returned);
}

int supervised(const std::function<int()>& body, const nuv::containment::Limits& limits,
               std::string& err) {
    testing::internal::CaptureStderr();
    int status = nuv::containment::supervise("nuvemu: test", body, limits);
    err = testing::internal::GetCapturedStderr();
    return status;
}

TEST(Containment, EngineCrashEndsWithItsOwnStatusAndPlacesItInTheGuest) {
    auto m = nuvtest::load_image("libtest", nuvtest::test_options());
    std::string err;
    int status = supervised(
        [&] {
            nuv::Registers r = m->engine().registers();
            r.eip = m->symbol("probe_cli");
            m->engine().set_registers(r);
            nuv::containment::RunningEngine running(&m->engine());
            raise(SIGSEGV);
            return 0;
        },
        {}, err);
    EXPECT_EQ(status, nuv::containment::kExitEngine);
    std::string expect =
        "nuvemu: test: the emulator failed (SIGSEGV) while running guest code at eip " +
        hex(m->symbol("probe_cli")) + " (bytes fa c3";
    EXPECT_EQ(err.rfind(expect, 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(supervised([] { return 7; }, {}, err), 7);
    EXPECT_EQ(err, "");
}

TEST(Containment, MemoryBeyondTheLimitStopsTheRun) {
    nuv::containment::Limits limits;
    limits.max_resident = 32u << 20;
    std::string err;
    int status = supervised(
        [] {
            // Grows until the supervisor ends it.
            std::vector<char*> blocks;
            for (;;) {
                auto* p = static_cast<volatile char*>(std::malloc(1u << 20));
                if (p == nullptr) continue;
                for (size_t i = 0; i < (1u << 20); i += 4096) p[i] = 1;
                blocks.push_back(const_cast<char*>(p));
                if (blocks.size() > 4096) pause();
            }
            return 0;
        },
        limits, err);
    EXPECT_EQ(status, nuv::containment::kExitLimit);
    EXPECT_EQ(err, "nuvemu: test: stopped: host memory limit of 32 MiB reached\n");
}

// Stops this process at its first rename (by default killing it): the engine
// dying at an exact point of its own work.
void die_at_rename(uint32_t action = SECCOMP_RET_KILL_PROCESS) {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_rename, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, action),
    };
    sock_fprog prog{static_cast<unsigned short>(std::size(code)), code};
    prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog);
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> v;
    for (const auto& e : std::filesystem::directory_iterator(dir)) v.push_back(e.path().filename());
    std::sort(v.begin(), v.end());
    return v;
}

TEST(Containment, AKilledEngineLeavesNoWritefileTemporaryBehind) {
    // Replacing a file: its new content is unnamed while written, then named
    // beside the target for the moment before the rename.
    struct Case {
        const char* when;
        std::function<void()> arm;  // before the write
        bool kill_in_fill;
    };
    const Case cases[] = {
        {"while the content is written", [] {}, true},
        {"at the rename", [] { die_at_rename(); }, false},
    };
    for (const Case& c : cases) {
        nuvtest::ScratchDir dir("temps");
        nuvtest::write_file(dir.path() + "/target", "old");
        std::string err;
        int status = supervised(
            [&] {
                auto sandbox = nuv::Sandbox::open_root(dir.path());
                if (!sandbox) return 1;
                c.arm();
                (*sandbox)->replace_file("target", 3, [&](uint64_t, std::span<uint8_t> chunk) {
                    if (c.kill_in_fill) raise(SIGKILL);
                    std::fill(chunk.begin(), chunk.end(), 'n');
                    return true;
                });
                return 0;
            },
            {}, err);
        EXPECT_EQ(status, nuv::containment::kExitEngine) << c.when << ": " << err;
        EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"target"}) << c.when;
        EXPECT_EQ(nuvtest::read_file(dir.path() + "/target"), "old") << c.when;
    }
}

// SIGTERM sent to nuvemu just as the engine is about to rename a temporary
// over its target: nuvemu ends by SIGTERM, and the temporary goes first.
TEST(Containment, SigtermAtTheRenameLeavesNoTemporaryBehind) {
    nuvtest::ScratchDir dir("sigterm");
    nuvtest::write_file(dir.path() + "/target", "old");
    std::fflush(nullptr);
    pid_t nuvemu = fork();
    ASSERT_GE(nuvemu, 0);
    if (nuvemu == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);
        _exit(nuv::containment::supervise("nuvemu: test",
                                          [&] {
                                              auto sandbox = nuv::Sandbox::open_root(dir.path());
                                              if (!sandbox) return 1;
                                              // At the rename the engine asks for SIGTERM, then
                                              // waits for it.
                                              struct sigaction sa {};
                                              sa.sa_handler = [](int) {
                                                  kill(getppid(), SIGTERM);
                                                  for (;;) pause();
                                              };
                                              sigaction(SIGSYS, &sa, nullptr);
                                              die_at_rename(SECCOMP_RET_TRAP);
                                              (*sandbox)->replace_file(
                                                  "target", 3, [](uint64_t, std::span<uint8_t> c) {
                                                      std::fill(c.begin(), c.end(), 'n');
                                                      return true;
                                                  });
                                              return 0;
                                          },
                                          {}));
    }
    int status = 0;
    ASSERT_EQ(waitpid(nuvemu, &status, 0), nuvemu);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"target"});
    EXPECT_EQ(nuvtest::read_file(dir.path() + "/target"), "old");
}

TEST(Containment, OnlyTheHeldTemporaryItselfIsRemoved) {
    struct Case {
        const char* what;
        bool same_file;     // the name still belongs to the file held
        uint64_t held_ino;  // 0: held before the file was made
        bool released;
        bool removed;
    };
    const Case cases[] = {
        {"held", true, 1, false, true},
        {"held before it was made", false, 0, false, true},
        {"replaced by another file", false, 1, false, false},
        {"released", true, 1, true, false},
    };
    for (const Case& c : cases) {
        nuvtest::ScratchDir dir("held");
        std::string path = dir.path() + "/.tmp";
        std::string err;
        supervised(
            [&] {
                nuvtest::write_file(path, "x");
                struct stat st {};
                stat(path.c_str(), &st);
                int d = open(dir.path().c_str(), O_PATH | O_DIRECTORY);
                nuv::containment::hold_temporary(d, ".tmp", c.held_ino == 0 ? 0 : st.st_ino);
                if (!c.same_file) {
                    nuvtest::write_file(path + ".new", "y");
                    std::rename((path + ".new").c_str(), path.c_str());
                }
                if (c.released) nuv::containment::release_temporary();
                raise(SIGKILL);
                return 0;
            },
            {}, err);
        EXPECT_EQ(std::filesystem::exists(path), !c.removed) << c.what;
    }
}

// ver with two bytes of its entry point replaced, run through nuvemu: no
// encoding may end it any other way than a guest's exit, a guest fault or a
// limit. NUV_SWEEP_ALL=1 runs all 65,536 instead of a sample.
TEST(Containment, NoEncodingAtTheEntryPointTakesNuvemuDown) {
    std::ifstream in(nuvtest::image_path("ver"), std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(image.size(), 0x100u);
    auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, image.data() + at, 4);
        return v;
    };
    uint32_t entry = u32(24), phoff = u32(28);
    uint16_t phnum;
    std::memcpy(&phnum, image.data() + 44, 2);
    size_t at = 0;
    for (uint16_t i = 0; i < phnum; ++i) {
        size_t ph = phoff + 32u * i;
        uint32_t off = u32(ph + 4), vaddr = u32(ph + 8), filesz = u32(ph + 16);
        if (u32(ph) == 1 && entry >= vaddr && entry + 2 <= vaddr + filesz) at = off + entry - vaddr;
    }
    ASSERT_NE(at, 0u);
    std::vector<uint16_t> encodings;
    bool all = std::getenv("NUV_SWEEP_ALL") != nullptr;
    for (unsigned e = 0; e <= 0xFFFF; ++e) {
        if (all || e >> 8 == 0xFF || e >> 8 == 0xF0 || e % 509 == 0) encodings.push_back(e);
    }
    nuvtest::ScratchDir dir("sweep");
    std::string path = dir.path() + "/image";
    std::map<int, int> statuses;
    for (uint16_t e : encodings) {
        image[at] = static_cast<char>(e >> 8);
        image[at + 1] = static_cast<char>(e & 0xFF);
        std::ofstream(path, std::ios::binary).write(image.data(), image.size());
        nuvtest::ToolRun r = nuvtest::run_nuvemu("--max-insns 200000 " + path);
        ++statuses[r.status];
        EXPECT_TRUE(r.status >= 0 && r.status != nuv::containment::kExitEngine && r.status != 134)
            << std::hex << e << ": " << r.status << " " << r.err;
        if ((e & 0xFFF8) == 0xFFD8 || (e & 0xFFF8) == 0xFFE8) {
            EXPECT_NE(r.err.find("invalid instruction at"), std::string::npos) << std::hex << e;
        }
    }
    std::string counts;
    for (const auto& [status, n] : statuses) {
        counts += " " + std::to_string(status) + ":" + std::to_string(n);
    }
    std::printf("%zu encodings, status:count%s\n", encodings.size(), counts.c_str());
}

}  // namespace
