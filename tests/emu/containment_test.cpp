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
#include <set>
#include <vector>

#include "fault_report.hpp"
#include "containment.hpp"
#include "hex.hpp"
#include "engine_factory.hpp"
#include "insn_sweep.hpp"
#include "guest.hpp"
#include "sandbox.hpp"
#include "sandbox_tree.hpp"
#include "translation_budget.hpp"
#include "unicorn_engine.hpp"

namespace {

using nuv::Stop;
using nuvtest::LibTest;

using nuv::hex;

TEST_F(LibTest, PrivilegedInstructionsFaultAtTheirAddress) {
    for (const char* fn : {"probe_cli", "probe_lidt", "probe_inb", "probe_outb"}) {
        SetUp();
        nuv::RunResult r = g().call_words(sym(fn), {});
        EXPECT_EQ(r.stop, Stop::Fault) << fn;
        EXPECT_EQ(nuv::report::what(r), "protection fault at eip " + hex(sym(fn))) << fn;
        EXPECT_EQ(r.fault.kind, nuv::FaultKind::Privileged) << fn;
    }
}

TEST_F(LibTest, MishandledEncodingsFaultAsInvalidWhereTheyBegin) {
    nuv::RunResult far = g().call_words(sym("probe_far_register"), {});
    EXPECT_EQ(far.stop, Stop::Fault);
    EXPECT_EQ(nuv::report::what(far), "invalid instruction at " + hex(sym("probe_far_register")) +
                                          " (far call or jump through a register)");
    SetUp();
    // In the middle of a block, after two instructions that do run.
    nuv::RunResult lock = g().call_words(sym("probe_lock_compare"), {});
    EXPECT_EQ(lock.stop, Stop::Fault);
    EXPECT_EQ(lock.fault.kind, nuv::FaultKind::Invalid);
    EXPECT_EQ(lock.fault.eip, sym("probe_lock_compare_at"));
    EXPECT_EQ(nuv::report::what(lock).rfind(
                  "invalid instruction at " + hex(sym("probe_lock_compare_at")), 0),
              0u)
        << nuv::report::what(lock);
    // The machine goes on serving calls after the fault.
    EXPECT_EQ(g().call("probe_long_double", {1, 2}).stop, Stop::Returned);
}

// A guest that makes more translated code than the engine allows itself runs
// on to its right result: the cache of translated code is emptied on the way,
// and not before the code reaches the limit.
TEST_F(LibTest, TranslatedCodeIsBoundedAndTheGuestRunsOn) {
    auto* u = dynamic_cast<nuv::UnicornEngine*>(&g().engine());
    ASSERT_NE(u, nullptr);
    ASSERT_TRUE(u->measures_translation());
    // probe_many_blocks makes 4,096 blocks.
    EXPECT_EQ(call("probe_many_blocks", {}), 4096u);
    EXPECT_EQ(u->translation_flushes(), 0u);
    const uint64_t made = u->translated_bytes();
    EXPECT_GT(made, 4096u * 64) << "the blocks are not seen in the buffer";
    // A limit the code passes, looked at on every run.
    u->set_translation_limit(made / 2, std::chrono::microseconds(0));
    EXPECT_EQ(call("probe_many_blocks", {}), 4096u);
    EXPECT_GE(u->translation_flushes(), 1u);
    // The pages went back: what is in use now is what was made again.
    EXPECT_LT(u->translated_bytes(), made * 3 / 2);
    EXPECT_EQ(call("strlen", {str("abc")}), 3u);
}

// Which blocks count as new: once per address until forgotten or emptied.
TEST(TranslationBudget, ABlockIsNewOncePerAddressUntilForgottenOrEmptied) {
    const uint64_t unit = nuv::TranslationBudget::kBlockCost + nuv::TranslationBudget::kByteCost;
    nuv::TranslationBudget b(4 * unit);  // four one-byte blocks fill it
    enum Op { Note, Forget, Empty };
    struct Step {
        Op op;
        uint64_t a, z;  // address (Note) or range [a, z) (Forget)
        bool full;      // what Note returns
        uint64_t blocks;
    };
    const Step steps[] = {
        {Note, 0x1000, 0, false, 1},
        {Note, 0x1000, 0, false, 1},  // known
        {Note, 0x1FFF, 0, false, 2},  // last byte of the page
        {Forget, 0x1001, 0x1FFF, false, 2},
        {Note, 0x1000, 0, false, 2},  // outside the forgotten range on both sides
        {Note, 0x1FFF, 0, false, 2},
        {Forget, 0x1FFF, 0x2000, false, 2},  // dropped blocks do not give room back
        {Note, 0x1FFF, 0, false, 3},
        {Forget, 0, 0x10000000, false, 3},  // whole pages, directories absent
        {Note, 0x1000, 0, true, 4},
        {Note, 0x1000, 0, false, 4},  // a known block makes no code
        {Empty, 0, 0, false, 0},
        {Note, 0xFFFFFFFF, 0, false, 1},
        {Forget, 0xFFFFF000, uint64_t{1} << 33, false, 1},
        {Note, 0xFFFFFFFF, 0, false, 2},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step& s = steps[i];
        if (s.op == Note) {
            EXPECT_EQ(b.note(static_cast<uint32_t>(s.a), 1), s.full) << "step " << i;
        } else if (s.op == Forget) {
            b.forget(s.a, s.z);
        } else {
            b.emptied();
        }
        EXPECT_EQ(b.blocks(), s.blocks) << "step " << i;
    }
    EXPECT_EQ(b.estimate(), 2 * unit);
    EXPECT_EQ(b.times_emptied(), 1u);
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
    EXPECT_EQ(status, nuv::kStatusEngine);
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
    EXPECT_EQ(status, nuv::kStatusLimit);
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
                auto sandbox =
                    nuv::Sandbox::open_root(dir.path(), &nuv::containment::temporaries());
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
        EXPECT_EQ(status, nuv::kStatusEngine) << c.when << ": " << err;
        EXPECT_EQ(nuvtest::listing(dir.path()), std::set<std::string>{"target"}) << c.when;
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
                                              auto sandbox = nuv::Sandbox::open_root(
                                                  dir.path(), &nuv::containment::temporaries());
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
    EXPECT_EQ(nuvtest::listing(dir.path()), std::set<std::string>{"target"});
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

// How a run of nuvemu ended, told by its status and message.
enum class Ending { Completed, GuestExit, GuestFault, Limit, EngineFailed, Defect };

const char* ending_name(Ending e) {
    static const char* const names[] = {"completed", "guest exit",    "guest fault",
                                        "limit",     "engine failed", "defect"};
    return names[static_cast<int>(e)];
}

Ending ending_of(const nuvtest::ToolRun& r) {
    bool said = r.err.find("nuvemu: ") != std::string::npos;
    if (r.status == 139 && r.err.find("guest fault: ") != std::string::npos)
        return Ending::GuestFault;
    if (r.status == 124 && r.err.find("stopped: ") != std::string::npos) return Ending::Limit;
    if (r.status == nuv::kStatusEngine && said) return Ending::EngineFailed;
    // A signal, an abort, a refused image or a status with a message that
    // does not go with it.
    if (r.status < 0 || r.status > 255 || r.status == 125 || r.status == 134 || said) {
        return Ending::Defect;
    }
    return r.status == 0 ? Ending::Completed : Ending::GuestExit;
}

// ver with its entry point replaced by a two-byte encoding, the fill of the
// instruction sweep and exit(0), run through the nuvemu command: no encoding
// may end it any other way than a guest's exit, a guest fault or a limit.
// NUV_SWEEP_ALL runs all 65,536 (or a range) instead of a sample.
class EntryPointSweep : public ::testing::TestWithParam<nuv::EngineKind> {};

TEST_P(EntryPointSweep, NoEncodingAtTheEntryPointTakesNuvemuDown) {
    std::string engine = std::string("--engine ") + nuv::engine_kind_name(GetParam()) + " ";
    if (GetParam() == nuv::EngineKind::Native) {
        NUVTEST_NEED_NATIVE_ENGINE();
        engine += "--timeout 1 ";
    } else {
        engine += "--max-insns 200000 ";
    }
    std::ifstream in(nuvtest::image_path("ver"), std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(image.size(), 0x100u);
    auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, image.data() + at, 4);
        return v;
    };
    // The encoding, 14 bytes of fill, then exit(0).
    std::vector<uint8_t> code(16, nuvtest::sweep::Config{}.tail);
    code.insert(code.end(), {0xB8, 0x02, 0x00, 0x00, 0x00, 0x31, 0xDB, 0xCD, 0x80});
    uint32_t entry = u32(24), phoff = u32(28);
    uint16_t phnum;
    std::memcpy(&phnum, image.data() + 44, 2);
    size_t at = 0;
    for (uint16_t i = 0; i < phnum; ++i) {
        size_t ph = phoff + 32u * i;
        uint32_t off = u32(ph + 4), vaddr = u32(ph + 8), filesz = u32(ph + 16);
        if (u32(ph) == 1 && entry >= vaddr && entry + code.size() <= vaddr + filesz) {
            at = off + entry - vaddr;
        }
    }
    ASSERT_NE(at, 0u);
    // NUV_SWEEP_ALL=1: every encoding; NUV_SWEEP_ALL=FIRST-LAST (hexadecimal):
    // every encoding in that range.
    const char* all = std::getenv("NUV_SWEEP_ALL");
    unsigned first = 0, last = 0xFFFF;
    if (all != nullptr && std::sscanf(all, "%x-%x", &first, &last) != 2) first = 0, last = 0xFFFF;
    std::vector<uint16_t> encodings;
    for (unsigned e = first; e <= last && e <= 0xFFFF; ++e) {
        if (all || e >> 8 == 0xFF || e >> 8 == 0xF0 || e % 509 == 0) encodings.push_back(e);
    }
    nuvtest::ScratchDir dir("sweep");
    std::string path = dir.path() + "/image";
    std::map<Ending, int> endings;
    std::map<int, int> statuses;
    for (uint16_t e : encodings) {
        code[0] = static_cast<uint8_t>(e >> 8);
        code[1] = static_cast<uint8_t>(e & 0xFF);
        std::memcpy(image.data() + at, code.data(), code.size());
        std::ofstream(path, std::ios::binary).write(image.data(), image.size());
        nuvtest::ToolRun r = nuvtest::run_nuvemu(engine + path);
        Ending how = ending_of(r);
        ++endings[how];
        ++statuses[r.status];
        EXPECT_NE(how, Ending::Defect)
            << std::hex << e << ": " << std::dec << r.status << " " << r.err;
        EXPECT_NE(how, Ending::EngineFailed) << std::hex << e << ": " << r.err;
        // The encodings that Unicorn cannot translate fault as invalid.
        bool far = (e & 0xFFF8) == 0xFFD8 || (e & 0xFFF8) == 0xFFE8;
        bool lock_compare = e == 0xF038 || e == 0xF039 || e == 0xF0A6 || e == 0xF0A7;
        if (far || lock_compare) {
            EXPECT_EQ(how, Ending::GuestFault) << std::hex << e;
            EXPECT_NE(r.err.find("invalid instruction at"), std::string::npos) << std::hex << e;
        }
    }
    std::string counts;
    for (const auto& [how, n] : endings)
        counts += std::string(" ") + ending_name(how) + ":" + std::to_string(n);
    counts += "; status:count";
    for (const auto& [status, n] : statuses)
        counts += " " + std::to_string(status) + ":" + std::to_string(n);
    std::printf("%s: %zu encodings,%s\n", nuv::engine_kind_name(GetParam()), encodings.size(),
                counts.c_str());
}

INSTANTIATE_TEST_SUITE_P(Engines, EntryPointSweep,
                         ::testing::Values(nuv::EngineKind::Unicorn, nuv::EngineKind::Native),
                         [](const ::testing::TestParamInfo<nuv::EngineKind>& i) {
                             return std::string(nuv::engine_kind_name(i.param));
                         });

}  // namespace
