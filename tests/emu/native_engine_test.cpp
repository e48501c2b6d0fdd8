// The native engine on its own: guests as traced host processes. Every case
// runs twice: as the real 32-bit engine (skipped where the host cannot run
// 32-bit programs) and as the 64-bit stand-in, which runs the same machinery
// with code that means the same in both modes.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "hex.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "elf32.hpp"
#include "direct_call.h"
#include "filter.h"
#include "guest.hpp"
#include "native_engine.hpp"

namespace nuv {
namespace {

constexpr uint32_t kCode = 0x400000, kData = 0x600000, kStackTop = 0xC0000000;
using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

int count_entries(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

using nuv::hex;

volatile sig_atomic_t g_usr1 = 0;

// The real engine with the guest's calls on the direct path or as
// notifications, and the stand-in.
enum class Mode { Direct, Notified, StandIn64 };

class NativeEngineTest : public ::testing::TestWithParam<Mode> {
  protected:
    static bool stand_in() { return GetParam() == Mode::StandIn64; }

    void SetUp() override { start(NativeOptions{}); }

    // Skips where the host lacks what the engine needs; the stand-in must
    // start on any x86-64 Linux host, except for a host-dependent setting.
    void start(NativeOptions o) {
        o.stand_in_64 = stand_in();
        o.direct_calls = GetParam() == Mode::Direct;
        Result<std::unique_ptr<NativeEngine>> started = NativeEngine::start(o);
        if (started) {
            e_ = std::move(*started);
            return;
        }
        const std::string& err = started.error().message;
        if (stand_in() && err.find("RDTSC") == std::string::npos) FAIL() << err;
        NUVTEST_NATIVE_UNAVAILABLE(err);
    }

    // Code at kCode, a data page and a small stack; eip at the code.
    void load(const Bytes& code) {
        ASSERT_TRUE(e_->map(kCode, 0x1000, kPermRead | kPermExec));
        ASSERT_TRUE(e_->write(kCode, code.data(), code.size()));
        ASSERT_TRUE(e_->map(kData, 0x1000, kPermRead | kPermWrite));
        ASSERT_TRUE(e_->map(kStackTop - 0x10000, 0x10000, kPermRead | kPermWrite));
        Registers r;
        r.eip = kCode;
        r.esp = kStackTop - 16;
        e_->set_registers(r);
        e_->reset_fpu();
    }

    // Every call the engine can run in the guest's process, on these
    // descriptors, within the kernel's own limits.
    void grant(std::vector<InProcessPolicy::Descriptor> descriptors) {
        InProcessPolicy p;
        p.calls = InProcessPolicy::kRead | InProcessPolicy::kWrite | InProcessPolicy::kSeek;
        p.descriptors = std::move(descriptors);
        p.max_file_size = p.max_position;
        e_->in_process(p);
    }

    EngineEvent run(RunLimits l = {}) {
        l.return_address = 0xFFFFF000;
        return e_->run(l);
    }

    std::unique_ptr<NativeEngine> e_;
};

TEST_P(NativeEngineTest, GuestSeesOnlyWhatWasMappedAndNoHostDescriptor) {
    // A descriptor the host leaves open across exec, far above the standard ones.
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, 100), 100);
    start(NativeOptions{});
    close(100);
    close(fd);
    std::string maps = slurp("/proc/" + std::to_string(e_->pid()) + "/maps");
    std::istringstream lines(maps);
    std::string line;
    while (std::getline(lines, line)) {
        uint64_t begin = std::stoull(line.substr(0, line.find('-')), nullptr, 16);
        if (begin >= 0xffff800000000000ull) continue;  // the 64-bit kernel's fixed page
        EXPECT_GE(begin, e_->gate()) << maps;
        EXPECT_LT(begin, e_->gate() + NativeEngine::kGateSize) << maps;
    }
    // Nothing but the wake-up descriptor of the direct call path and the
    // socket the engine hands descriptors over through.
    std::string fds = "/proc/" + std::to_string(e_->pid()) + "/fd";
    EXPECT_EQ(count_entries(fds), e_->direct() ? 2 : 0);
    for (const auto& ent : std::filesystem::directory_iterator(fds)) {
        std::string what = std::filesystem::read_symlink(ent.path()).string();
        EXPECT_TRUE(what == "anon_inode:[eventfd]" ||
                    (ent.path().filename() == "3" && what.rfind("socket:", 0) == 0))
            << ent.path() << " " << what;
    }
}

TEST_P(NativeEngineTest, PagesKeepTheirPermissionsAndNeverWritableAndExecutable) {
    EXPECT_FALSE(e_->map(0x700000, 0x1000, kPermRead | kPermWrite | kPermExec));
    ASSERT_TRUE(e_->map(0x700000, 0x2000, kPermRead | kPermWrite));
    EXPECT_FALSE(e_->map(0x701000, 0x1000, kPermRead));  // taken
    EXPECT_FALSE(e_->protect(0x700000, 0x1000, kPermWrite | kPermExec));
    EXPECT_FALSE(e_->map(e_->gate(), 0x1000, kPermRead));
    // The kernel's view ignores the guest's permissions, never the mapping.
    ASSERT_TRUE(e_->protect(0x701000, 0x1000, 0));
    const char text[] = "kept";
    EXPECT_TRUE(e_->write(0x701ffc, text, 4));
    char back[4] = {};
    EXPECT_TRUE(e_->read(0x701ffc, back, 4));
    EXPECT_EQ(std::string(back, 4), "kept");
    EXPECT_FALSE(e_->read(0x701ffe, back, 4));  // runs off the end
    EXPECT_FALSE(e_->read(e_->gate(), back, 4));
    ASSERT_TRUE(e_->unmap(0x700000, 0x2000));
    EXPECT_FALSE(e_->read(0x700000, back, 1));
}

struct FaultCase {
    const char* name;
    Bytes code;
    EngineStop stop;
    const char* message;
};

TEST_P(NativeEngineTest, FaultsAndEscapesEndAsGuestFaults) {
    const FaultCase cases[] = {
        {"ud2", {0x0F, 0x0B}, EngineStop::Fault, "invalid instruction at 0x00400000"},
        {"cli", {0xFA}, EngineStop::Fault, "protection fault at eip 0x00400000"},
        {"hlt", {0xF4}, EngineStop::Fault, "guest halted at eip 0x00400000"},
        {"int 0x81", {0xCD, 0x81}, EngineStop::Fault, "unexpected interrupt 129"},
        {"int3", {0xCC}, EngineStop::Fault, "unexpected interrupt 3"},
        {"divide by zero",
         {0x31, 0xC9, 0xF7, 0xF1},
         EngineStop::Fault,
         "division by zero at eip 0x00400002"},
        {"sysenter", {0x0F, 0x34}, EngineStop::Fault, ""},
        {"store to code",
         {0xC7, 0x04, 0x25, 0x00, 0x00, 0x40, 0x00, 0, 0, 0, 0},
         EngineStop::Fault,
         "write to protected memory at 0x00400000 (eip 0x00400000)"},
        {"load unmapped",
         {0x8B, 0x04, 0x25, 0x00, 0x00, 0x00, 0x30},
         EngineStop::Fault,
         "read of unmapped memory at 0x30000000"},
        {"store unmapped",
         {0x89, 0x04, 0x25, 0x00, 0x00, 0x00, 0x30},
         EngineStop::Fault,
         "write to unmapped memory at 0x30000000"},
        {"run data",
         {0xB8, 0, 0, 0x60, 0, 0xFF, 0xE0},
         EngineStop::Fault,
         "execution of non-executable memory at 0x00600000"},
        {"return", {0xB8, 0, 0xF0, 0xFF, 0xFF, 0xFF, 0xE0}, EngineStop::Returned, ""},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        start(NativeOptions{});
        load(c.code);
        EngineEvent ev = run();
        EXPECT_EQ(ev.stop, c.stop) << nuvtest::event_text(ev);
        EXPECT_NE(nuvtest::event_text(ev).find(c.message), std::string::npos)
            << nuvtest::event_text(ev);
    }
}

// Ways past int 0x80 that need the gate page or the 64-bit code selector.
TEST_P(NativeEngineTest, NoWayOutThroughTheGateOr64BitCode) {
    const uint32_t gate = e_->gate();
    auto absolute = [](uint8_t op, uint32_t v) {
        Bytes b = {op};
        put32(b, v);
        return b;
    };
    auto jump_to = [&](uint32_t to) {
        Bytes b = absolute(0xB8, to);  // mov eax, to; jmp eax
        b.insert(b.end(), {0xFF, 0xE0});
        return b;
    };
    // ljmp 0x33:next, then `tail` as 64-bit code.
    auto in_64bit = [](Bytes tail) {
        Bytes b = {0xEA};
        put32(b, kCode + 7);
        b.insert(b.end(), {0x33, 0x00});
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    struct Case {
        const char* name;
        Bytes code;
        std::string message;
        EngineStop stop = EngineStop::Fault;
    };
    std::vector<Case> cases = {
        {"store to the gate", absolute(0xA3, gate), "write to protected memory at " + hex(gate)},
        {"call through the gate", jump_to(gate), "system call other than int 0x80"},
        {"run the start-up code", jump_to(gate - 0x1000), "execution of unmapped memory"},
    };
    if (!stand_in()) {
        // int 0x80 is the i386 interface even from 64-bit code: the kernel
        // answers it like any call, from the registers' low halves.
        cases.push_back({"64-bit int 0x80", in_64bit({0xCD, 0x80}), "", EngineStop::Trap});
        cases.push_back({"64-bit sysenter", in_64bit({0x0F, 0x34}), ""});
        // mov rax, the vsyscall page; call rax
        cases.push_back(
            {"vsyscall page",
             in_64bit({0x48, 0xB8, 0, 0, 0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xD0}), ""});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(NativeOptions{});
        ASSERT_EQ(e_->gate(), gate);
        load(c.code);
        EngineEvent ev = run();
        EXPECT_EQ(ev.stop, c.stop) << nuvtest::event_text(ev);
        EXPECT_NE(nuvtest::event_text(ev).find(c.message), std::string::npos)
            << nuvtest::event_text(ev);
    }
}

// A call changes eax and nothing else: not the other registers, the flags,
// the x87 stack or the SSE registers, however the answer comes back.
TEST_P(NativeEngineTest, ACallKeepsEveryOtherRegister) {
    if (stand_in()) GTEST_SKIP() << "i386 code";
    Bytes code;
    const uint32_t values[] = {0x77,       0x11111111, 0x22222222, 0x33333333,
                               0x44444444, 0x55555555, 0x66666666};
    const uint8_t movs[] = {0xB8, 0xBB, 0xB9, 0xBA,
                            0xBE, 0xBF, 0xBD};  // eax ebx ecx edx esi edi ebp
    for (int i = 0; i < 7; ++i) code.push_back(movs[i]), put32(code, values[i]);
    code.insert(code.end(),
                {0xD9, 0xEB, 0x66, 0x0F, 0x6E, 0xC3, 0xFD, 0xF9,  // fldpi; movd xmm0, ebx; std; stc
                 0xCD, 0x80});
    // Then each register to the data page: esp, eax, ebx, ecx, edx, esi, edi, ebp.
    const uint8_t stores[] = {0x25, 0x05, 0x1D, 0x0D, 0x15, 0x35, 0x3D, 0x2D};
    for (int i = 0; i < 8; ++i)
        code.insert(code.end(), {0x89, stores[i]}), put32(code, kData + 4 * i);
    code.insert(code.end(), {0x9C, 0x8F, 0x05}), put32(code, kData + 32);        // pushfd; pop [..]
    code.insert(code.end(), {0xDD, 0x1D}), put32(code, kData + 36);              // fstp qword [..]
    code.insert(code.end(), {0x66, 0x0F, 0x7E, 0x05}), put32(code, kData + 44);  // movd [..], xmm0
    code.insert(code.end(), {0xFC, 0xCD, 0x80});                                 // cld; int 0x80
    load(code);
    EngineEvent ev = run();
    ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
    Registers r = e_->registers();
    EXPECT_EQ(r.eax, 0x77u);
    EXPECT_EQ(r.ebp, 0x66666666u);
    r.eax = 0x1234;
    e_->set_registers(r);
    ev = run();
    ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
    uint32_t got[12] = {};
    ASSERT_TRUE(e_->read(kData, got, sizeof got));
    EXPECT_EQ(got[0], kStackTop - 16);
    EXPECT_EQ(got[1], 0x1234u);
    for (int i = 1; i < 7; ++i) EXPECT_EQ(got[i + 1], values[i]) << i;
    EXPECT_EQ(got[8] & 0x401, 0x401u);  // direction and carry
    double pi = 0;
    std::memcpy(&pi, &got[9], sizeof pi);
    EXPECT_DOUBLE_EQ(pi, 3.14159265358979323846);
    EXPECT_EQ(got[11], 0x11111111u);
}

// Once its sites are rewritten, a guest's call is answered the same however
// it lands: in the sled, past it (inside the far jump, past the page), on
// the site itself when the call cannot push its return address; anything
// that reaches the sled from elsewhere faults as it would have without it.
TEST_P(NativeEngineTest, RewrittenSitesAnswerEveryWayACallCanLand) {
    if (GetParam() != Mode::Direct) GTEST_SKIP() << "sites are rewritten on the direct path";
    const uint32_t regs[6] = {0x11111111, 0x22222222, 0x33333333,
                              0x44444444, 0x55555555, 0x66666666};
    // mov eax, number; ebx..ebp; [mov esp, ...]; int 0x80; mov [kData], eax; jmp back
    auto looped = [&](uint32_t number, uint32_t esp) {
        Bytes b = {0xB8};
        put32(b, number);
        const uint8_t movs[] = {0xBB, 0xB9, 0xBA, 0xBE, 0xBF, 0xBD};
        for (int i = 0; i < 6; ++i) b.push_back(movs[i]), put32(b, regs[i]);
        if (esp != 0) b.push_back(0xBC), put32(b, esp);
        b.insert(b.end(), {0xCD, 0x80, 0xA3});
        put32(b, kData);
        b.push_back(0xE9), put32(b, static_cast<uint32_t>(-static_cast<int32_t>(b.size() + 4)));
        return b;
    };

    struct Case {
        const char* name;
        uint32_t number, esp;
    };
    const Case calls[] = {
        {"in the sled", 4, 0},
        {"in the landing zone", NUV_SLED_LANDING + 0x40, 0},
        {"in the zeros after the far jump", 0xF00, 0},
        {"on the far jump", NUV_SLED_JUMP, 0},
        {"inside the far jump", NUV_SLED_JUMP + 1, 0},
        {"on the far jump's selector", NUV_SLED_JUMP + 5, 0},
        {"on the page's last byte", 0xFFF, 0},
        {"past the page", 0x5000, 0},
        {"at a data page", kData, 0},
        {"far away", 0x90000000, 0},
        {"with a stack it cannot push to", 4, 0x1000},
    };
    NativeOptions o;
    o.rewrite_sites_after = 1;
    for (const Case& c : calls) {
        SCOPED_TRACE(c.name);
        start(o);
        load(looped(c.number, c.esp));
        const uint32_t esp = c.esp != 0 ? c.esp : kStackTop - 16;
        const uint32_t site_at = 35 + (c.esp != 0 ? 5 : 0);
        for (int round = 0; round < 3; ++round) {
            RunLimits l;
            l.deadline = RunLimits::Clock::now() + std::chrono::seconds(5);
            EngineEvent ev = run(l);
            ASSERT_EQ(ev.stop, EngineStop::Trap) << round << ": " << nuvtest::event_text(ev);
            Registers r = e_->registers();
            EXPECT_EQ(r.eip, kCode + site_at + 2);
            EXPECT_EQ(r.eax, c.number);
            EXPECT_EQ(r.esp, esp);
            EXPECT_EQ((std::array{r.ebx, r.ecx, r.edx, r.esi, r.edi, r.ebp}),
                      (std::array{regs[0], regs[1], regs[2], regs[3], regs[4], regs[5]}));
            uint32_t answered = 0;
            ASSERT_TRUE(e_->read(kData, &answered, 4));
            EXPECT_EQ(answered, round == 0 ? 0u : 0x1000u + round - 1);
            r.eax = 0x1000 + round;
            e_->set_registers(r);
        }
        uint8_t site[2] = {};
        ASSERT_TRUE(e_->read(kCode + site_at, site, 2));
        EXPECT_EQ(site[0], 0xFF);
        EXPECT_EQ(site[1], 0xD0);
    }
    // What reaches the sled from elsewhere: after one call that turns the
    // sites on, a call through a pointer to 4; the same bytes as a rewritten
    // site in a page mapped anew where one was; a jump into the entry with
    // a return address that is no site; a write to the sled page.
    const uint32_t sled_jump = NUV_SLED_ENTRY;
    struct Stray {
        const char* name;
        Bytes then;
        bool remap;
        uint32_t eip;
        const char* message;
    };
    Bytes entry_jump = {0x68};  // push kCode + 40; jmp far 0x23:entry
    put32(entry_jump, kCode + 40);
    entry_jump.push_back(0xEA), put32(entry_jump, sled_jump),
        entry_jump.insert(entry_jump.end(), {0x23, 0});
    Bytes sled_write = {0xA3};
    put32(sled_write, NUV_SLED_BASE);
    const Stray strays[] = {
        {"call through a pointer",
         {0xBA, 4, 0, 0, 0, 0xFF, 0xD2},
         false,
         4,
         "execution of unmapped memory at 0x00000004"},
        {"remapped page",
         {0xB8, 4, 0, 0, 0, 0xFF, 0xD0},
         true,
         4,
         "execution of unmapped memory at 0x00000004"},
        {"jump into the entry", entry_jump, false, 0, "execution of unmapped memory"},
        {"write to the sled", sled_write, false, 0, "write to protected memory"},
    };
    for (const Stray& c : strays) {
        SCOPED_TRACE(c.name);
        start(o);
        Bytes b = {0xB8, 1, 0, 0, 0, 0xCD, 0x80};  // mov eax, 1; int 0x80
        b.insert(b.end(), c.then.begin(), c.then.end());
        load(b);
        RunLimits l;
        l.deadline = RunLimits::Clock::now() + std::chrono::seconds(5);
        ASSERT_EQ(run(l).stop, EngineStop::Trap);
        if (c.remap) {
            // The page goes and comes back: the same address now holds the
            // guest's own call *%eax, made with eax 4.
            Bytes again = {0x90, 0x90, 0xB8, 4, 0, 0, 0, 0xFF, 0xD0};
            ASSERT_TRUE(e_->unmap(kCode, 0x1000));
            ASSERT_TRUE(e_->map(kCode, 0x1000, kPermRead | kPermExec));
            ASSERT_TRUE(e_->write(kCode, again.data(), again.size()));
            Registers r = e_->registers();
            r.eip = kCode;
            e_->set_registers(r);
        }
        EngineEvent ev = run(l);
        EXPECT_EQ(ev.stop, EngineStop::Fault);
        EXPECT_NE(nuvtest::event_text(ev).find(c.message), std::string::npos)
            << nuvtest::event_text(ev);
        if (c.eip != 0) {
            Registers r = e_->registers();
            EXPECT_EQ(r.eip, c.eip);
            uint32_t back = 0;
            ASSERT_TRUE(e_->read(r.esp, &back, 4));
            EXPECT_EQ(back, kCode + (c.remap ? 9 : 7 + static_cast<uint32_t>(c.then.size())));
        }
    }
}

// Sites go back to int 0x80 when the engine must stop using them (a mapping
// where the sled or a shadow is) or their page may no longer run, and the
// guest's calls go on as before.
TEST_P(NativeEngineTest, SitesTurnedOffAreTheGuestsOwnCodeAgain) {
    if (GetParam() != Mode::Direct) GTEST_SKIP() << "sites are rewritten on the direct path";
    struct Case {
        const char* name;
        uint32_t map_at;  // 0: the code page made read-only instead
    };
    const Case cases[] = {
        {"a mapping after the sled page", NUV_SLED_BASE + 0x1000},
        {"a mapping over the code's shadow", kCode + NUV_SLED_BASE},
        {"the code no longer executable", 0},
    };
    NativeOptions o;
    o.rewrite_sites_after = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(o);
        load({0xB8, 4, 0, 0, 0, 0xCD, 0x80, 0xEB, 0xF7});  // mov eax, 4; int 0x80; jmp back
        uint8_t site[2] = {};
        for (int i = 0; i < 2; ++i) ASSERT_EQ(run().stop, EngineStop::Trap);
        ASSERT_TRUE(e_->read(kCode + 5, site, 2));
        ASSERT_EQ(site[0], 0xFF);
        if (c.map_at != 0) {
            ASSERT_TRUE(e_->map(c.map_at, 0x1000, kPermRead | kPermWrite));
        } else {
            ASSERT_TRUE(e_->protect(kCode, 0x1000, kPermRead));
        }
        ASSERT_TRUE(e_->read(kCode + 5, site, 2));
        EXPECT_EQ(site[0], 0xCD);
        EXPECT_EQ(site[1], 0x80);
        if (c.map_at == 0) continue;
        for (int i = 0; i < 2; ++i) {
            EngineEvent ev = run();
            ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
            EXPECT_EQ(e_->registers().eip, kCode + 7);
            EXPECT_EQ(e_->registers().eax, 4u);
        }
    }
}

// The guest may reach its call handler's pieces itself: every int 0x80 in
// the gate page but the engine's own lets through only a wake-up write to the
// handler's descriptor and a futex wait on its page, and a scribbled call
// page or a handler run without a signal gets a call answered or a fault:
// never a host call, a hang or a failed engine.
TEST_P(NativeEngineTest, AGuestMisusingItsCallHandlerOnlyHurtsItself) {
    if (stand_in()) GTEST_SKIP() << "the stand-in has no call handler";
    const uint32_t gate = e_->gate(), page = gate + 0x1000;
    Bytes text(0x1000);
    std::ifstream mem("/proc/" + std::to_string(e_->pid()) + "/mem", std::ios::binary);
    mem.seekg(gate);
    mem.read(reinterpret_cast<char*>(text.data()), static_cast<std::streamsize>(text.size()));
    ASSERT_TRUE(mem.good());
    // mov eax/ebx/ecx/edx/esi/edi, ...; jmp edi
    auto jump = [](std::array<uint32_t, 6> regs) {
        Bytes b;
        const uint8_t ops[] = {0xB8, 0xBB, 0xB9, 0xBA, 0xBE, 0xBF};
        for (int i = 0; i < 6; ++i) b.push_back(ops[i]), put32(b, regs[i]);
        b.insert(b.end(), {0xFF, 0xE7});
        return b;
    };
    struct Case {
        std::string name;
        Bytes code;
        EngineStop stop;
        std::string message;
    };
    std::vector<Case> cases;
    int sites = 0;
    for (uint32_t i = 2; i + 1 < text.size(); ++i) {
        if (text[i] != 0xCD || text[i + 1] != 0x80) continue;
        ++sites;
        // fork; write to another descriptor; futex wake; futex wait elsewhere
        for (std::array<uint32_t, 4> c : {std::array<uint32_t, 4>{2, 0, 0, 0},
                                          {4, 0, kData, 8},
                                          {240, page + NUV_DIRECT_DONE, 1, 1},
                                          {240, kData, 0, 0}}) {
            cases.push_back({hex(gate + i) + " eax " + std::to_string(c[0]),
                             jump({c[0], c[1], c[2], c[3], 0, gate + i}), EngineStop::Fault,
                             "system call other than int 0x80"});
        }
    }
    ASSERT_EQ(sites, 2);  // the wake-up and the sleep
    if (e_->direct()) {
        // mov edi, page; mov ecx, 96; mov eax, 0xdeadbeef; rep stosd; mov eax, 0x42;
        // int 0x80; jmp $
        Bytes scribble = {0xBF};
        put32(scribble, page);
        scribble.insert(scribble.end(), {0xB9, 96,   0,    0, 0, 0xB8, 0xEF, 0xBE, 0xAD, 0xDE, 0xF3,
                                         0xAB, 0xB8, 0x42, 0, 0, 0,    0xCD, 0x80, 0xEB, 0xFE});
        cases.push_back({"scribbled page, then a call", scribble, EngineStop::Trap, ""});
        cases.push_back({"the handler run without a signal", jump({0, 0, 0, 0, 0, gate + 4}),
                         EngineStop::Fault, ""});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start(NativeOptions{});
        load(c.code);
        RunLimits l;
        l.deadline = RunLimits::Clock::now() + std::chrono::seconds(5);
        EngineEvent ev = run(l);
        // A scribbled post is taken for a call or for an outside signal.
        for (int i = 0; i < 4 && ev.stop == EngineStop::Trap && e_->registers().eax != 0x42; ++i) {
            ev = run(l);
        }
        std::string kids = "/proc/" + std::to_string(e_->pid()) + "/task/" +
                           std::to_string(e_->pid()) + "/children";
        EXPECT_EQ(slurp(kids), "");
        EXPECT_EQ(ev.stop, c.stop) << nuvtest::event_text(ev);
        EXPECT_NE(nuvtest::event_text(ev).find(c.message), std::string::npos)
            << nuvtest::event_text(ev);
        if (c.stop == EngineStop::Trap) {
            EXPECT_EQ(e_->registers().eax, 0x42u);
        }
    }
}

// A host started with every readable page executable must not pass that on.
TEST_P(NativeEngineTest, ReadImpliesExecIsNotInherited) {
    int persona = personality(0xffffffff);
    ASSERT_NE(persona, -1);
    personality(static_cast<unsigned long>(persona) | READ_IMPLIES_EXEC);
    start(NativeOptions{});
    personality(static_cast<unsigned long>(persona));
    load({0xB8, 0, 0, 0x60, 0, 0xFF, 0xE0});  // mov eax, data; jmp eax
    EngineEvent ev = run();
    EXPECT_EQ(ev.stop, EngineStop::Fault);
    EXPECT_NE(nuvtest::event_text(ev).find("execution of non-executable memory"), std::string::npos)
        << nuvtest::event_text(ev);
}

TEST_P(NativeEngineTest, LinuxCallsComeBackAsTrapsAndDoNothing) {
    std::string path = "/tmp/nuv_native_escape_" + std::to_string(getpid());
    std::filesystem::remove(path);
    g_usr1 = 0;
    signal(SIGUSR1, [](int) { g_usr1 = 1; });
    Bytes code;
    auto call = [&](uint32_t nr, uint32_t ebx, uint32_t ecx, uint32_t edx) {
        code.push_back(0xB8), put32(code, nr);
        code.push_back(0xBB), put32(code, ebx);
        code.push_back(0xB9), put32(code, ecx);
        code.push_back(0xBA), put32(code, edx);
        code.insert(code.end(), {0xCD, 0x80});
    };
    call(5, kData, 0x41, 0644);                             // open(path, O_CREAT|O_WRONLY)
    call(2, 0, 0, 0);                                       // fork
    call(37, static_cast<uint32_t>(getpid()), SIGUSR1, 0);  // kill(test, SIGUSR1)
    // A 64-bit open: in the 32-bit engine after a far jump to the 64-bit selector.
    if (!stand_in()) {
        uint32_t next = kCode + static_cast<uint32_t>(code.size()) + 7;
        code.push_back(0xEA);  // ljmp 0x33:next
        put32(code, next);
        code.insert(code.end(), {0x33, 0x00});
    }
    code.insert(code.end(), {0xB8, 2, 0, 0, 0, 0xBF}), put32(code, kData);
    code.insert(code.end(), {0xBE, 0x41, 0, 0, 0, 0x0F, 0x05});
    load(code);
    ASSERT_TRUE(e_->write(kData, path.c_str(), path.size() + 1));
    for (uint32_t nr : {5u, 2u, 37u}) {
        EngineEvent ev = run();
        ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
        Registers r = e_->registers();
        EXPECT_EQ(r.eax, nr);
        r.eax = static_cast<uint32_t>(-38);
        e_->set_registers(r);
    }
    EngineEvent ev = run();
    EXPECT_EQ(ev.stop, EngineStop::Fault);
    EXPECT_NE(nuvtest::event_text(ev).find("system call other than int 0x80"), std::string::npos)
        << nuvtest::event_text(ev);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(g_usr1, 0);
    std::string kids =
        "/proc/" + std::to_string(e_->pid()) + "/task/" + std::to_string(e_->pid()) + "/children";
    EXPECT_EQ(slurp(kids), "");
    signal(SIGUSR1, SIG_DFL);
}

// A guest waiting in a call takes its answer however it left the wait: at
// once, after a signal took it out, or stopped so that more registers than
// the answer can change.
TEST_P(NativeEngineTest, AWaitingCallGetsItsAnswerAfterASignalAndRegisterChanges) {
    Bytes code = {0xCD, 0x80, 0xBF};  // int 0x80; mov edi, kData
    put32(code, kData);
    code.insert(code.end(),
                {0x89, 0x07, 0x89, 0x5F, 0x04, 0xCD, 0x80});  // [edi], eax; [edi+4], ebx
    load(code);
    auto stored = [&] {
        uint32_t v[2] = {};
        EXPECT_TRUE(e_->read(kData, v, sizeof v));
        return std::make_pair(v[0], v[1]);
    };
    ASSERT_EQ(run().stop, EngineStop::Trap);
    Registers r = e_->registers();
    r.eax = 1234;
    e_->set_registers(r);
    kill(e_->pid(), SIGUSR1);  // never delivered; the answer still arrives
    usleep(20000);
    EngineEvent ev = run();
    ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
    EXPECT_EQ(ev.eip, kCode + 14);
    EXPECT_EQ(stored().first, 1234u);
    r = e_->registers();
    r.eax = 77;
    r.ebx = 0x99;
    r.eip = kCode + 2;
    e_->set_registers(r);
    ev = run();
    ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
    EXPECT_EQ(ev.eip, kCode + 14);
    EXPECT_EQ(stored(), std::make_pair(77u, 0x99u));
}

TEST_P(NativeEngineTest, DeadlineStopsALoopThatCanGoOnAfterwards) {
    load({0xEB, 0xFE, 0xCD, 0x80});  // jmp $; int 0x80
    RunLimits l;
    l.deadline = RunLimits::Clock::now() + std::chrono::milliseconds(50);
    EngineEvent ev = run(l);
    ASSERT_EQ(ev.stop, EngineStop::Timeout) << nuvtest::event_text(ev);
    EXPECT_EQ(ev.eip, kCode);
    Registers r = e_->registers();
    r.eip = kCode + 2;
    e_->set_registers(r);
    ev = run();
    EXPECT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
    EXPECT_EQ(ev.eip, kCode + 4);
}

// Every processor kept busy by another thread, a burst of calls, some after
// a pause long enough for guest and engine to give up waiting for each other
// on the page: each call arrives once, in order, and its own answer comes
// back, none lost on the way between spinning and sleeping.
TEST_P(NativeEngineTest, ABurstOfCallsCompletesWhileEveryProcessorIsBusy) {
    constexpr uint32_t kCalls = 3000, kDone = 0xFFFF;
    Bytes code = {0x31, 0xDB, 0xBE};  // xor ebx, ebx; mov esi, kCalls
    put32(code, kCalls);
    // loop: test esi, 63; jnz call; mov ecx, 200000; loop $
    code.insert(code.end(), {0xF7, 0xC6, 63, 0, 0, 0, 0x75, 0x07, 0xB9});
    put32(code, 200000);
    code.insert(code.end(), {0xE2, 0xFE});
    // call: mov eax, esi; int 0x80; add ebx, eax; dec esi; jnz loop; mov eax, kDone; int 0x80
    code.insert(code.end(), {0x89, 0xF0, 0xCD, 0x80, 0x01, 0xC3, 0xFF, 0xCE, 0x75, 0xE7, 0xB8});
    put32(code, kDone);
    code.insert(code.end(), {0xCD, 0x80});
    load(code);
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency()); ++i) {
        busy.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
            }
        });
    }
    RunLimits l;
    l.deadline = RunLimits::Clock::now() + std::chrono::seconds(20);
    uint32_t want = kCalls, sum = 0;
    EngineEvent ev;
    for (;;) {
        ev = run(l);
        if (ev.stop != EngineStop::Trap) break;
        Registers r = e_->registers();
        if (r.eax == kDone) break;
        if (r.eax != want) break;
        r.eax = r.eax * 3 + 1;
        sum += r.eax;
        --want;
        e_->set_registers(r);
    }
    stop = true;
    for (std::thread& t : busy) t.join();
    ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
    EXPECT_EQ(want, 0u);
    EXPECT_EQ(e_->registers().ebx, sum);
}

// A time limit may stop the guest anywhere, even as its call is on the way
// to the kernel: it then goes on as if never stopped, and the call arrives
// once, whole.
TEST_P(NativeEngineTest, StoppedAnywhereTheGuestGoesOnAsBefore) {
    // mov ecx, N; loop $; mov eax, 0x42; int 0x80; jmp $
    uint32_t seed = 12345;
    for (int trial = 0; trial < 60; ++trial) {
        seed = seed * 1103515245 + 12345;
        uint32_t n = 20000 + (seed >> 8) % 200000;
        Bytes code = {0xB9, 0, 0, 0, 0, 0xE2, 0xFE, 0xB8, 0x42, 0, 0, 0, 0xCD, 0x80, 0xEB, 0xFE};
        std::memcpy(&code[1], &n, sizeof n);
        SCOPED_TRACE(trial);
        start(NativeOptions{});
        load(code);
        RunLimits l;
        l.deadline = RunLimits::Clock::now() + std::chrono::microseconds(50 + seed % 400);
        EngineEvent ev = run(l);
        if (ev.stop == EngineStop::Timeout) {
            EXPECT_TRUE(ev.eip >= kCode && ev.eip < kCode + code.size())
                << hex(ev.eip) << ": " << nuvtest::event_text(ev);
            ev = run();
        }
        ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
        EXPECT_EQ(ev.eip, kCode + 14);
        EXPECT_EQ(e_->registers().eax, 0x42u);
        EXPECT_EQ(e_->registers().ecx, 0u);
    }
}

TEST_P(NativeEngineTest, FixedTimeStampCounter) {
    NativeOptions o;
    o.tsc = 0x1122334455667788ull;
    start(o);
    if (IsSkipped()) return;
    load({0x0F, 0x31, 0xCD, 0x80, 0x0F, 0x31, 0xCD, 0x80});
    for (uint64_t want : {0x1122334455667788ull, 0x1122334455667789ull}) {
        EngineEvent ev = run();
        ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
        Registers r = e_->registers();
        EXPECT_EQ((uint64_t{r.edx} << 32) | r.eax, want);
    }
}

// A full x87 stack would turn the sum into the invalid-result NaN: the reset
// between the two runs must have emptied it.
TEST_P(NativeEngineTest, FpuResetAndTopOfStack) {
    Bytes code;
    for (int i = 0; i < 8; ++i) code.insert(code.end(), {0xD9, 0xE8});  // fld1
    code.insert(code.end(), {0xCD, 0x80, 0xD9, 0xE8, 0xD9, 0xE8, 0xDE, 0xC1, 0xCD, 0x80});
    load(code);
    ASSERT_EQ(run().stop, EngineStop::Trap);
    e_->reset_fpu();
    ASSERT_EQ(run().stop, EngineStop::Trap);
    const std::array<uint8_t, 10> two = {0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0x40};
    EXPECT_EQ(e_->st0(), two);
}

TEST_P(NativeEngineTest, EndsItsProcessAndLeaksNothing) {
    load({0xEB, 0xFE});
    pid_t pid = e_->pid();
    kill(pid, SIGKILL);
    EngineEvent ev = run();
    EXPECT_EQ(ev.stop, EngineStop::Failed);
    EXPECT_EQ(ev.message, "guest process killed by signal 9");
    start(NativeOptions{});
    pid = e_->pid();
    e_.reset();
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// ptrace belongs to one thread: when it ends, its guest ends too, and the
// engine neither runs it from elsewhere nor leaves a zombie behind.
TEST_P(NativeEngineTest, GuestEndsWithItsTracerThread) {
    std::unique_ptr<NativeEngine> orphan;
    std::string err;
    std::thread([&] {
        NativeOptions o;
        o.stand_in_64 = stand_in();
        o.direct_calls = GetParam() == Mode::Direct;
        Result<std::unique_ptr<NativeEngine>> started = NativeEngine::start(o);
        if (started) {
            orphan = std::move(*started);
        } else {
            err = started.error().message;
        }
    }).join();
    ASSERT_TRUE(orphan) << err;
    pid_t pid = orphan->pid();
    EXPECT_EQ(orphan->run({}).stop, EngineStop::Failed);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(info.si_code, CLD_KILLED);
    EXPECT_EQ(info.si_status, SIGKILL);
    orphan.reset();
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
}

// A guest that knows its call handler inside out: a forged answer that sends
// it to the gate's own int 0x80 with a host call in its registers, sleeping
// or spinning in the handler with nothing posted, a forged post with the trap
// flag set. No host call runs, and a time limit ends every run within a
// second of its deadline, as a time limit.
class HandlerAdversary {
  public:
    explicit HandlerAdversary(NativeEngine& e) : gate_(e.gate()), page_(e.gate() + 0x1000) {
        Bytes text(0x1000);
        std::ifstream mem("/proc/" + std::to_string(e.pid()) + "/mem", std::ios::binary);
        mem.seekg(gate_);
        mem.read(reinterpret_cast<char*>(text.data()), static_cast<std::streamsize>(text.size()));
        auto find = [&](Bytes pattern, uint32_t skip) {
            auto at = std::search(text.begin(), text.end(), pattern.begin(), pattern.end());
            return at == text.end() ? 0 : gate_ + static_cast<uint32_t>(at - text.begin()) + skip;
        };
        sleep_ = find({0x31, 0xF6, 0xCD, 0x80}, 2);               // xor esi, esi; int 0x80
        wake_ = find({0xBA, 8, 0, 0, 0, 0xCD, 0x80}, 5);          // mov edx, 8; int 0x80
        spin_ = find({0x8B, 0x8F, NUV_DIRECT_SPIN, 0, 0, 0}, 0);  // mov ecx, [edi+spin]
    }
    bool found() const { return sleep_ != 0 && wake_ != 0 && spin_ != 0; }

    // The handler sends the guest to the gate's int 0x80 with mkdir(path)
    // once a futex wait on its page ends: after `wait_ns`, or never (0).
    Bytes forged_answer(uint32_t path, uint32_t wait_ns) {
        Bytes b;
        answer(b, NUV_CTX_EIP, gate_);
        answer(b, NUV_CTX_EAX, 39);
        answer(b, NUV_CTX_EBX, path);
        answer(b, NUV_CTX_ECX, 0755);
        answer(b, NUV_CTX_EFLAGS, 0x202);
        answer(b, NUV_CTX_ESP, kStackTop - 64);
        for (uint32_t w : {NUV_CTX_DS, NUV_CTX_ES})
            store(b, page_ + NUV_DIRECT_CTX + 4 * w, NUV_USER_DS32);
        store(b, kTimespec, 0);
        store(b, kTimespec + 4, wait_ns);
        b.push_back(0xA1), put32(b, page_ + NUV_DIRECT_DONE);  // mov eax, [done]
        b.insert(b.end(), {0x89, 0xC2, 0x89, 0xC5});           // mov edx, eax; mov ebp, eax
        mov(b, 0, 240);
        mov(b, 3, page_ + NUV_DIRECT_DONE);
        mov(b, 1, 0);
        mov(b, 6, wait_ns != 0 ? kTimespec : 0);
        mov(b, 7, page_);
        go(b, sleep_);
        return b;
    }
    // The handler's wait loop, for as long as it likes, with nothing posted.
    Bytes spin() {
        Bytes b;
        store(b, page_ + NUV_DIRECT_SPIN, 0xFFFFFFFF);
        b.push_back(0xA1), put32(b, page_ + NUV_DIRECT_DONE);
        b.insert(b.end(), {0x40, 0x89, 0xC5});  // inc eax; mov ebp, eax
        mov(b, 7, page_);
        go(b, spin_);
        return b;
    }
    // A call posted by hand with the trap flag set, the engine woken; once
    // the post is taken, unlink(path) through the gate's int 0x80 again and
    // again: each post the breakpoint after the gate raises is answered at
    // once by the guest itself, back to the loop.
    Bytes forged_post(uint32_t path, uint32_t site, uint32_t loop = 0) {
        Bytes b;
        const std::pair<uint32_t, uint32_t> ctx[] = {
            {NUV_CTX_EIP, site + 2},     {NUV_CTX_CS, NUV_USER_CS32},  {NUV_CTX_SS, NUV_USER_DS32},
            {NUV_CTX_DS, NUV_USER_DS32}, {NUV_CTX_ES, NUV_USER_DS32},  {NUV_CTX_EFLAGS, 0x302},
            {NUV_CTX_EAX, 0x42},         {NUV_CTX_ESP, kStackTop - 64}};
        for (auto [w, v] : ctx) store(b, page_ + NUV_DIRECT_CTX + 4 * w, v);
        store(b, page_ + NUV_DIRECT_SIGNO, SIGSYS);
        store(b, page_ + NUV_DIRECT_CODE, 1);
        store(b, page_ + NUV_DIRECT_NR, 0x42);
        store(b, page_ + NUV_DIRECT_ARCH, NUV_AUDIT_ARCH_I386);
        store(b, kOne, 1);
        // The answer to the breakpoint's posts: back to the loop below.
        answer(b, NUV_CTX_EIP, loop);
        answer(b, NUV_CTX_ESP, kStackTop - 64);
        answer(b, NUV_CTX_EFLAGS, 0x202);
        answer(b, NUV_CTX_EDI, page_);
        b.push_back(0xA1),
            put32(b, page_ + NUV_DIRECT_SEQ);  // mov eax, [seq]; inc eax; mov [seq], eax
        b.push_back(0x40), b.push_back(0xA3), put32(b, page_ + NUV_DIRECT_SEQ);
        mov(b, 0, NUV_DIRECT_NR_WRITE);
        mov(b, 3, 1);
        mov(b, 1, kOne);
        mov(b, 2, 8);
        mov(b, 6, wake_);
        // push back; push 0; push 0; jmp esi (the wake-up drops 8 bytes, then returns)
        b.push_back(0x68), put32(b, kCode + static_cast<uint32_t>(b.size()) + 10);
        b.insert(b.end(), {0x6A, 0, 0x6A, 0, 0xFF, 0xE6});
        mov(b, 3, path);
        size_t wait = b.size();
        b.push_back(0xA1), put32(b, page_ + NUV_DIRECT_TAKEN);  // mov eax, [taken]; cmp eax, [seq]
        b.insert(b.end(), {0x3B, 0x05}), put32(b, page_ + NUV_DIRECT_SEQ);
        b.insert(b.end(), {0x75, static_cast<uint8_t>(wait - b.size() - 2)});  // jne wait
        if (kCode + b.size() != loop)
            return forged_post(path, site, kCode + static_cast<uint32_t>(b.size()));
        // loop: mov eax, [seq]; inc eax; mov [done], eax; unlink(path) at the gate
        b.push_back(0xA1), put32(b, page_ + NUV_DIRECT_SEQ);
        b.push_back(0x40), b.push_back(0xA3), put32(b, page_ + NUV_DIRECT_DONE);
        mov(b, 0, 10);
        mov(b, 3, path);
        go(b, gate_);
        return b;
    }

  private:
    static constexpr uint32_t kTimespec = kData + 0x100, kOne = kData + 0x200;
    static void mov(Bytes& b, int reg, uint32_t v) {
        b.push_back(static_cast<uint8_t>(0xB8 + reg));
        put32(b, v);
    }
    static void store(Bytes& b, uint32_t at, uint32_t v) {
        b.insert(b.end(), {0xC7, 0x05});
        put32(b, at);
        put32(b, v);
    }
    static void go(Bytes& b, uint32_t to) {
        b.push_back(0x68);  // push to; ret
        put32(b, to);
        b.push_back(0xC3);
    }
    void answer(Bytes& b, uint32_t word, uint32_t v) {
        store(b, page_ + NUV_DIRECT_ANSWER + 4 * word, v);
    }
    uint32_t gate_, page_, sleep_ = 0, wake_ = 0, spin_ = 0;
};

TEST_P(NativeEngineTest, NoHostCallAndNoHangWhateverTheGuestDoesAtItsHandler) {
    if (!e_->direct()) GTEST_SKIP() << "no call handler";
    nuvtest::ScratchDir dir;
    const std::string made = dir.path() + "/made", canary = dir.path() + "/canary";
    using Clock = RunLimits::Clock;
    auto late = Clock::duration::zero();
    // One run of a guest: it ends as `want` within a second of its deadline,
    // and the host is as it was.
    // A guest stopped by its deadline is resumed, under a later one.
    auto check = [&](const std::string& name, auto code, int deadline_us,
                     std::initializer_list<EngineStop> want) {
        SCOPED_TRACE(name + " under a deadline of " + std::to_string(deadline_us) + " us");
        start(NativeOptions{});
        HandlerAdversary adv(*e_);
        ASSERT_TRUE(adv.found());
        Bytes b = code(adv);
        ASSERT_FALSE(b.empty());
        b.insert(b.end(), {0xCD, 0x80});  // the site a forged post names
        load(b);
        std::string path = made + '\0' + canary;
        ASSERT_TRUE(e_->write(kData, path.data(), path.size() + 1));
        nuvtest::write_file(canary, "x");
        RunLimits l;
        l.deadline = Clock::now() + std::chrono::microseconds(deadline_us);
        EngineEvent ev = run(l);
        for (int i = 0; i < 6 && (ev.stop == EngineStop::Trap ||
                                  (ev.stop == EngineStop::Timeout && e_->alive() && i < 2));
             ++i) {
            auto over = Clock::now() - l.deadline;
            late = std::max(late, over);
            EXPECT_LT(over, std::chrono::seconds(1));
            if (ev.stop == EngineStop::Timeout)
                l.deadline = Clock::now() + std::chrono::milliseconds(50);
            ev = run(l);
        }
        auto over = Clock::now() - l.deadline;
        late = std::max(late, over);
        EXPECT_LT(over, std::chrono::seconds(1));
        EXPECT_NE(std::find(want.begin(), want.end(), ev.stop), want.end())
            << static_cast<int>(ev.stop) << " " << nuvtest::event_text(ev);
        if (ev.stop == EngineStop::Timeout) {
            EXPECT_EQ(nuvtest::event_text(ev).rfind("time limit reached", 0), 0u)
                << nuvtest::event_text(ev);
        }
        EXPECT_FALSE(std::filesystem::exists(made));
        EXPECT_TRUE(std::filesystem::exists(canary));
    };
    const uint32_t path = kData, canary_path = kData + static_cast<uint32_t>(made.size()) + 1;
    for (int deadline_us : {30000, 300000}) {
        // The futex wait ends before, after or never.
        for (uint32_t wait_ns : {1000000u, 600000000u, 0u}) {
            check("forged answer, wait " + std::to_string(wait_ns) + " ns",
                  [&](HandlerAdversary& a) { return a.forged_answer(path, wait_ns); }, deadline_us,
                  {EngineStop::Timeout, EngineStop::Fault});
        }
        check("spin", [](HandlerAdversary& a) { return a.spin(); }, deadline_us,
              {EngineStop::Timeout});
    }
    // Without a deadline that comes first, a guest sent to the gate faults.
    check("forged answer, no deadline",
          [&](HandlerAdversary& a) { return a.forged_answer(path, 1000000); }, 5000000,
          {EngineStop::Fault});
    // Then stopped and resumed at random moments around the handler: the
    // forged post races the engine's attach, the forged answer its steps.
    // For a few seconds here, longer by hand (NUV_ADVERSARY_SECONDS).
    const char* env = std::getenv("NUV_ADVERSARY_SECONDS");
    auto until = Clock::now() + std::chrono::seconds(env != nullptr ? std::atoi(env) : 3);
    uint32_t seed = 2024;
    int rounds = 0;
    for (; Clock::now() < until && !HasFailure(); ++rounds) {
        seed = seed * 1103515245 + 12345;
        int deadline_us = rounds % 3 == 0 ? 2000000 : static_cast<int>(50 + (seed >> 8) % 5000);
        if (rounds % 2 == 0) {
            check("forged post, round " + std::to_string(rounds),
                  [&](HandlerAdversary& a) {
                      // The named site is the int 0x80 after the code.
                      Bytes probe = a.forged_post(canary_path, 0);
                      return a.forged_post(canary_path,
                                           kCode + static_cast<uint32_t>(probe.size()));
                  },
                  deadline_us, {EngineStop::Timeout, EngineStop::Fault, EngineStop::Trap});
        } else {
            uint32_t wait_ns = 100000 + (seed >> 4) % 3000000;
            check("forged answer, round " + std::to_string(rounds),
                  [&](HandlerAdversary& a) { return a.forged_answer(path, wait_ns); }, deadline_us,
                  {EngineStop::Timeout, EngineStop::Fault});
        }
    }
    std::printf("%d random rounds; the latest end after a deadline: %.1f ms\n", rounds,
                std::chrono::duration<double, std::milli>(late).count());
}

// The guest's own process reads and writes the host descriptors behind its
// descriptors through Linux's fast entry, which the guest can reach itself
// however it likes: through the entry's address from the flat code or from
// the site segment, or with the entry's own instruction from anywhere. Only
// a read or write on a descriptor the engine installed goes through, and
// only as that descriptor's open file allows; every other Linux call there
// is a fault or a call for the kernel above, never anything on the host.
// A post the guest forges names its own eip: it is a call only where an
// int 0x80 stands just before it, whether or not the engine has found a
// call site yet; anywhere else it is a system call fault at that eip.
TEST_P(NativeEngineTest, AForgedPostIsACallOnlyAfterAnInt0x80) {
    if (!e_->direct()) GTEST_SKIP() << "no call handler";
    struct Case {
        const char* name;
        uint32_t site;  // the post's eip is the site's plus 2
        EngineStop want;
    };
    const uint32_t path = kData;
    for (const Case& c : {Case{"eip 0", 0xFFFFFFFEu, EngineStop::Fault},
                          Case{"eip in the code", kCode, EngineStop::Fault},
                          Case{"eip after the int 0x80", 0, EngineStop::Trap}}) {
        SCOPED_TRACE(c.name);
        start(NativeOptions{});
        HandlerAdversary adv(*e_);
        ASSERT_TRUE(adv.found());
        // The int 0x80 after the code is the last case's site.
        uint32_t site = c.site;
        if (c.want == EngineStop::Trap) {
            site = kCode + static_cast<uint32_t>(adv.forged_post(path, 0).size());
        }
        Bytes b = adv.forged_post(path, site);
        b.insert(b.end(), {0xCD, 0x80});
        load(b);
        RunLimits l;
        l.deadline = RunLimits::Clock::now() + std::chrono::seconds(5);
        EngineEvent ev = run(l);
        ASSERT_EQ(ev.stop, c.want) << nuvtest::event_text(ev);
        EXPECT_EQ(ev.eip, site + 2);
        if (c.want == EngineStop::Fault) {
            EXPECT_EQ(ev.fault.kind, FaultKind::SystemCall) << nuvtest::event_text(ev);
            EXPECT_EQ(ev.fault.eip, site + 2);
        }
    }
}

TEST_P(NativeEngineTest, LinuxsFastEntryReachesOnlyTheGuestsOwnDescriptors) {
    if (GetParam() != Mode::Direct) GTEST_SKIP() << "only the direct path reads and writes itself";
    nuvtest::ScratchDir dir;
    const std::string in = dir.path() + "/in", out = dir.path() + "/out",
                      made = dir.path() + "/made";
    nuvtest::write_file(in, "secret");
    g_usr1 = 0;
    signal(SIGUSR1, [](int) { g_usr1 = 1; });
    const uint32_t page = e_->gate() + NUV_GATE_CALL_PAGE, result = kData + 0x800,
                   buf = kData + 0x400, path = kData, msg = kData + 0x200;
    enum How { Flat, SiteSegment, OwnInstruction };
    constexpr int32_t kRefused = 1, kBadf = -9;
    struct Case {
        const char* name;
        uint32_t nr, ebx, ecx, edx;
        int32_t want;  // the result, or kRefused
    };
    const uint32_t pid = static_cast<uint32_t>(getpid());
    const Case cases[] = {
        {"read what it may read", 3, 64, buf, 6, 6},
        {"write what it may write", 4, 65, buf, 3, 3},
        {"write what it may only read", 4, 64, buf, 1, kBadf},
        {"read what it may only write", 3, 65, buf, 1, kBadf},
        {"read an empty slot", 3, 66, buf, 1, kBadf},
        {"read the hand-over socket", 3, NUV_DIRECT_FD_SOCKET, buf, 1, kRefused},
        {"write the hand-over socket", 4, NUV_DIRECT_FD_SOCKET, buf, 1, kRefused},
        {"write the wake-up descriptor", 4, 1, buf, 8, kRefused},
        {"write below the slots", 4, 63, buf, 1, kRefused},
        {"read above the slots", 3, 128, buf, 1, kRefused},
        {"write a negative descriptor", 4, 0xFFFFFFFF, buf, 1, kRefused},
        {"write with the x32 bit", 0x40000004, 65, buf, 1, kRefused},
        {"open", 5, path, 0x41, 0644, kRefused},
        {"fork", 2, 0, 0, 0, kRefused},
        {"kill", 37, pid, SIGUSR1, 0, kRefused},
        {"mprotect", 125, kCode, 0x1000, 7, kRefused},
        {"modify_ldt", 123, 1, msg, 16, kRefused},
        {"recvmsg on the socket", 372, NUV_DIRECT_FD_SOCKET, msg, 0, kRefused},
        {"socketcall recvmsg", 102, 17, msg, 0, kRefused},
        {"dup2 into the slots", 63, NUV_DIRECT_FD_SOCKET, 70, 0, kRefused},
        {"dup2 out of the slots", 63, 64, 100, 0, kRefused},
        {"close a slot", 6, 64, 0, 0, kRefused},
        {"readv", 145, 64, msg, 1, kRefused},
        {"pwrite64", 181, 65, buf, 1, kRefused},
    };
    NativeOptions o;
    o.rewrite_sites_after = 1;
    for (How how : {Flat, SiteSegment, OwnInstruction}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (how == Flat          ? " (flat)"
                                                : how == SiteSegment ? " (site segment)"
                                                                     : " (own instruction)"));
            std::filesystem::remove(out);
            std::filesystem::remove(made);
            start(o);
            int rfd = open(in.c_str(), O_RDONLY | O_CLOEXEC);
            int wfd = open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(rfd, 0);
            ASSERT_GE(wfd, 0);
            // The first call turns the sites on; the code then runs through
            // the site segment.
            Bytes b = {0xB8, 1, 0, 0, 0, 0xCD, 0x80};
            auto mov = [&](int reg, uint32_t v) {
                b.push_back(static_cast<uint8_t>(0xB8 + reg));
                put32(b, v);
            };
            auto here = [&](size_t more) { return kCode + static_cast<uint32_t>(b.size() + more); };
            if (how == Flat || how == OwnInstruction) {
                b.push_back(0xEA), put32(b, here(6)), b.insert(b.end(), {NUV_USER_CS32, 0});
            }
            b.insert(b.end(), {0x8B, 0x35}), put32(b, page + NUV_DIRECT_VSYSCALL);  // mov esi, [..]
            if (how == SiteSegment) b.insert(b.end(), {0x81, 0xEE}), put32(b, NUV_SLED_BASE);
            mov(0, c.nr), mov(3, c.ebx), mov(1, c.ecx), mov(2, c.edx);
            size_t own = 0;  // where the entry's own code goes
            if (how == OwnInstruction) {
                // The return address, then the entry's code up to its fast
                // instruction (copied below).
                b.push_back(0x68), put32(b, 0);
                own = b.size();
            } else {
                b.insert(b.end(), {0xFF, 0xD6});  // call esi
            }
            b.push_back(0xA3), put32(b, result);  // mov [result], eax
            mov(0, 0x42);
            b.insert(b.end(), {0xCD, 0x80});
            load(b);
            // The engine's pages, as the guest reads them.
            std::ifstream mem("/proc/" + std::to_string(e_->pid()) + "/mem", std::ios::binary);
            auto peek = [&](uint32_t at, void* to, size_t n) {
                mem.seekg(at);
                mem.read(static_cast<char*>(to), static_cast<std::streamsize>(n));
                return mem.good();
            };
            uint32_t entry = 0;
            ASSERT_TRUE(peek(page + NUV_DIRECT_VSYSCALL, &entry, 4));
            if (how == OwnInstruction) {
                // Up to sysenter or syscall, whichever the entry holds.
                uint8_t code[32] = {};
                ASSERT_TRUE(peek(entry, code, sizeof code));
                size_t n = 0;
                for (size_t i = 0; i + 1 < sizeof code && n == 0; ++i) {
                    if (code[i] == 0x0F && (code[i + 1] == 0x34 || code[i + 1] == 0x05)) n = i + 2;
                }
                ASSERT_NE(n, 0u) << "no fast entry in Linux's code";
                b.insert(b.begin() + static_cast<std::ptrdiff_t>(own), code, code + n);
                const uint32_t back = kCode + static_cast<uint32_t>(own + n);
                std::memcpy(&b[own - 4], &back, 4);
                ASSERT_TRUE(e_->write(kCode, b.data(), b.size()));
            }
            ASSERT_TRUE(e_->write(path, made.c_str(), made.size() + 1));
            ASSERT_TRUE(e_->write(buf, "xyzxyz", 6));
            uint32_t garbage = 0xAAAAAAAA;
            ASSERT_TRUE(e_->write(result, &garbage, 4));
            RunLimits l;
            l.deadline = RunLimits::Clock::now() + std::chrono::seconds(5);
            EngineEvent ev = run(l);
            ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
            ASSERT_NE(entry, 0u);
            int a = 0, w = 0;
            grant({{}, {}, {}, {}, {}, {}});  // nothing yet
            grant({InProcessPolicy::Descriptor{&a, rfd, true, false},
                   InProcessPolicy::Descriptor{&w, wfd, false, true}});
            close(rfd);
            close(wfd);
            ev = run(l);
            const std::string fds = "/proc/" + std::to_string(e_->pid()) + "/fd";
            std::vector<std::string> open_fds;
            std::error_code gone;
            for (const auto& ent : std::filesystem::directory_iterator(fds, gone)) {
                open_fds.push_back(ent.path().filename().string());
            }
            std::sort(open_fds.begin(), open_fds.end());
            EXPECT_EQ(open_fds, (std::vector<std::string>{"1", "3", "64", "65"}));
            EXPECT_FALSE(std::filesystem::exists(made));
            EXPECT_EQ(g_usr1, 0);
            EXPECT_EQ(slurp("/proc/" + std::to_string(e_->pid()) + "/task/" +
                            std::to_string(e_->pid()) + "/children"),
                      "");
            std::string maps = slurp("/proc/" + std::to_string(e_->pid()) + "/maps");
            EXPECT_NE(maps.find(hex(kCode).substr(2) + "-"), std::string::npos) << maps;
            EXPECT_EQ(maps.find("rwx"), std::string::npos) << maps;
            EXPECT_EQ(nuvtest::read_file(out), c.want == 3 ? "xyz" : "");
            if (c.want == kRefused) {
                // A fault where Linux's entry returns, or a call for the
                // kernel above with the number the guest gave.
                if (ev.stop == EngineStop::Trap) {
                    EXPECT_EQ(e_->registers().eax, c.nr);
                } else {
                    EXPECT_EQ(ev.stop, EngineStop::Fault) << nuvtest::event_text(ev);
                    EXPECT_NE(nuvtest::event_text(ev).find("system call other than int 0x80"),
                              std::string::npos)
                        << nuvtest::event_text(ev);
                }
                continue;
            }
            ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
            EXPECT_EQ(e_->registers().eax, 0x42u);
            int32_t got = 0;
            ASSERT_TRUE(e_->read(result, &got, 4));
            EXPECT_EQ(got, c.want);
            char read_back[7] = {};
            ASSERT_TRUE(e_->read(buf, read_back, 6));
            EXPECT_EQ(std::string(read_back), c.want == 6 ? "secret" : "xyzxyz");
        }
    }
    signal(SIGUSR1, SIG_DFL);
}

// A host descriptor may stand for more than the guest's descriptor allows:
// a terminal or socket that reads as well as writes behind an output, a file
// open for both behind an input. The guest process reaches whatever it holds
// through Linux's fast entry, past anything its handler checks, so it must
// hold only what its descriptor allows; and a read it forces on a
// descriptor that waits still ends at the deadline.
TEST_P(NativeEngineTest, InstalledDescriptorsGrantNoMoreThanTheGuestsOwn) {
    if (GetParam() != Mode::Direct) GTEST_SKIP() << "only the direct path reads and writes itself";
    nuvtest::ScratchDir dir;
    const std::string both = dir.path() + "/both";
    const uint32_t page = e_->gate() + NUV_GATE_CALL_PAGE, result = kData + 0x800,
                   buf = kData + 0x400;
    // mov eax, 1; int 0x80 (the sites go on); ljmp 0x23:flat; then nr(64, buf, n)
    // through the entry's address; mov [result], eax; mov eax, 0x42; int 0x80
    auto guest = [&](uint32_t nr, uint32_t n) {
        Bytes b = {0xB8, 1, 0, 0, 0, 0xCD, 0x80, 0xEA};
        put32(b, kCode + 14), b.insert(b.end(), {NUV_USER_CS32, 0});
        b.insert(b.end(), {0x8B, 0x35}), put32(b, page + NUV_DIRECT_VSYSCALL);
        for (auto [op, v] :
             {std::pair<uint8_t, uint32_t>{0xB8, nr}, {0xBB, 64}, {0xB9, buf}, {0xBA, n}}) {
            b.push_back(op), put32(b, v);
        }
        b.insert(b.end(), {0xFF, 0xD6, 0xA3}), put32(b, result);
        b.insert(b.end(), {0xB8, 0x42, 0, 0, 0, 0xCD, 0x80});
        return b;
    };
    enum Kind { Socket, File, Fifo };  // the file and the fifo open for reading and writing
    struct Case {
        const char* name;
        Kind kind;
        bool read, write;
        uint32_t nr;
        int32_t result;
    };
    const Case cases[] = {
        {"read a socket the guest may only write", Socket, false, true, 3, -9},
        {"write a file the guest may only read", File, true, false, 4, -9},
        // Given an open file of its own, for writing alone.
        {"read a fifo the guest may only write", Fifo, false, true, 3, -9},
        {"write a fifo the guest may only write", Fifo, false, true, 4, 4},
    };
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        nuvtest::write_file(both, "host");
        int s[2] = {-1, -1};
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s), 0);
        ASSERT_EQ(write(s[1], "host", 4), 4);
        int fd = c.kind == Socket ? s[0]
                                  : open(c.kind == File ? both.c_str() : fifo.c_str(),
                                         O_RDWR | O_CLOEXEC | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        if (c.kind == Fifo) {
            ASSERT_EQ(write(fd, "host", 4), 4);
        }
        NativeOptions o;
        o.rewrite_sites_after = 1;
        start(o);
        load(guest(c.nr, 4));
        ASSERT_TRUE(e_->write(buf, "gues", 4));
        RunLimits l;
        l.deadline = RunLimits::Clock::now() + std::chrono::seconds(5);
        ASSERT_EQ(run(l).stop, EngineStop::Trap);
        int id = 0;
        grant({InProcessPolicy::Descriptor{&id, fd, c.read, c.write}});
        EngineEvent ev = run(l);
        ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
        int32_t got = 0;
        ASSERT_TRUE(e_->read(result, &got, 4));
        EXPECT_EQ(got, c.result);
        char seen[5] = {};
        ASSERT_TRUE(e_->read(buf, seen, 4));
        EXPECT_EQ(std::string(seen), "gues");
        EXPECT_EQ(nuvtest::read_file(both), "host");
        if (c.kind == Fifo) {
            // What the host put there is still there, then the guest's write.
            char in[9] = {};
            EXPECT_EQ(read(fd, in, 8), c.result > 0 ? 8 : 4);
            EXPECT_EQ(std::string(in), c.result > 0 ? "hostgues" : "host");
        }
        if (c.kind != Socket) close(fd);
        close(s[0]);
        close(s[1]);
    }
    // Writes the handler makes itself to a pipe that nobody empties: the
    // one that waits ends at the deadline like any other wait.
    int p[2] = {-1, -1};
    ASSERT_EQ(pipe2(p, O_CLOEXEC | O_NONBLOCK), 0);
    char fill[4096] = {};
    while (write(p[1], fill, sizeof fill) > 0) {
    }
    ASSERT_EQ(fcntl(p[1], F_SETFL, 0), 0);
    NativeOptions o;
    o.rewrite_sites_after = 1;
    start(o);
    // mov eax, 1; int 0x80; then again and again: write(0, buf, 4)
    Bytes b = {0xB8, 1, 0, 0, 0, 0xCD, 0x80};
    for (auto [op, v] :
         {std::pair<uint8_t, uint32_t>{0xB8, 1}, {0xBB, 0}, {0xB9, buf}, {0xBA, 4}}) {
        b.push_back(op), put32(b, v);
    }
    b.insert(b.end(), {0xCD, 0x80, 0xEB, static_cast<uint8_t>(-24)});
    load(b);
    RunLimits l;
    l.deadline = RunLimits::Clock::now() + std::chrono::seconds(5);
    ASSERT_EQ(run(l).stop, EngineStop::Trap);
    int id = 0;
    grant({InProcessPolicy::Descriptor{&id, p[1], false, true}});
    ASSERT_EQ(run(l).stop, EngineStop::Trap);  // the site, before it is rewritten
    Registers r = e_->registers();
    r.eax = 4;
    e_->set_registers(r);
    l.deadline = RunLimits::Clock::now() + std::chrono::milliseconds(200);
    EngineEvent ev = run(l);
    EXPECT_EQ(ev.stop, EngineStop::Timeout) << nuvtest::event_text(ev);
    close(p[0]);
    close(p[1]);
}

// The rewritten sites' entry and the handler's reads and writes, fed at
// random: a forged call page (the descriptors the handler may use, the fast
// entry's address, the posted registers), random registers and stack, and
// any way into the entry (the sled's far jump, the sled through the site
// segment, the entry itself). Every run ends, and nothing on the host
// changes. A few seconds here, longer by hand (NUV_ADVERSARY_SECONDS).
TEST_P(NativeEngineTest, NothingAtTheSiteEntryReachesTheHost) {
    if (GetParam() != Mode::Direct) GTEST_SKIP() << "sites are rewritten on the direct path";
    nuvtest::ScratchDir dir;
    const std::string canary = dir.path() + "/canary", made = dir.path() + "/made";
    const uint32_t gate = e_->gate(), page = gate + NUV_GATE_CALL_PAGE;
    std::ifstream mem("/proc/" + std::to_string(e_->pid()) + "/mem", std::ios::binary);
    uint32_t vsyscall = 0;
    mem.seekg(page + NUV_DIRECT_VSYSCALL);
    mem.read(reinterpret_cast<char*>(&vsyscall), 4);
    ASSERT_TRUE(mem.good());
    ASSERT_NE(vsyscall, 0u);
    const char* env = std::getenv("NUV_ADVERSARY_SECONDS");
    using Clock = RunLimits::Clock;
    auto until = Clock::now() + std::chrono::seconds(env != nullptr ? std::atoi(env) : 2);
    uint32_t seed = 77;
    auto next = [&] {
        seed = seed * 1103515245 + 12345;
        return seed >> 8 | (seed << 24);
    };
    auto pick = [&](std::initializer_list<uint32_t> from) {
        return from.begin()[next() % from.size()];
    };
    const uint32_t path = kData, buf = kData + 0x100;
    int rounds = 0, outcomes[8] = {};
    for (; Clock::now() < until && !HasFailure(); ++rounds) {
        SCOPED_TRACE("round " + std::to_string(rounds) + ", seed " + std::to_string(seed));
        nuvtest::write_file(canary, "x");
        NativeOptions o;
        o.rewrite_sites_after = 1;
        start(o);
        Bytes b = {0xB8, 1, 0, 0, 0, 0xCD, 0x80};  // the sites go on
        auto store = [&](uint32_t at, uint32_t v) {
            b.insert(b.end(), {0xC7, 0x05});
            put32(b, at);
            put32(b, v);
        };
        for (int i = 0; i < 4; ++i) {
            uint32_t at = page + (next() % 2 == 0 ? NUV_DIRECT_FDS + 4 * (next() % 16)
                                                  : NUV_DIRECT_CTX + 4 * (next() % 22));
            store(at, next() % 2 == 0 ? 0xFFFFFFFF : next());
        }
        const uint32_t vdso = gate + NUV_GATE_VDSO;
        store(page + NUV_DIRECT_VSYSCALL, pick({vsyscall, vsyscall, gate, gate + 4, vdso, vdso + 8,
                                                kCode, 0, next(), vsyscall + next() % 32}));
        // A return address: the int 0x80 at the end, a site or anywhere.
        uint32_t esp = pick({kStackTop - 64, kData + 0xFF0, gate + NUV_GATE_STACK + 0x10,
                             gate + NUV_GATE_STACK + NUV_GATE_STACK_SIZE - 8, 0x1000, next()});
        b.push_back(0xBC), put32(b, esp);
        const uint32_t regs[7] = {pick({1, 3, 1, 3, 5, 2, 37, next()}),
                                  pick({0, 1, 2, 3, 63, 64, 65, next()}),
                                  pick({buf, path, kCode, gate, page, vdso, next()}),
                                  pick({4, 1, 0x100000, 0xFFFFFFFF, next()}),
                                  next(),
                                  next(),
                                  next()};
        const uint8_t movs[7] = {0xB8, 0xBB, 0xB9, 0xBA, 0xBE, 0xBF, 0xBD};
        for (int i = 0; i < 7; ++i) b.push_back(movs[i]), put32(b, regs[i]);
        switch (next() % 3) {
            case 0:  // jmp far 0x23:entry
                b.push_back(0xEA), put32(b, NUV_SLED_ENTRY), b.insert(b.end(), {0x23, 0});
                break;
            case 1:  // jmp far 7:anywhere in the sled
                b.push_back(0xEA), put32(b, next() % 0x1000), b.insert(b.end(), {7, 0});
                break;
            default:  // jmp to the gate page's entry
                b.push_back(0xEA), put32(b, gate + NUV_GATE_SITE_ENTRY),
                    b.insert(b.end(), {0x23, 0});
        }
        b.insert(b.end(), {0xB8, 0x42, 0, 0, 0, 0xCD, 0x80, 0xEB, 0xF7});
        load(b);
        // Mostly the first site's return address: the entry takes it for a
        // call from there, and the guest goes round again after its answer.
        const uint32_t back = next() % 4 != 0 ? kCode + 7 : kCode + static_cast<uint32_t>(b.size());
        if ((esp >= kStackTop - 0x10000 && esp < kStackTop) ||
            (esp >= kData && esp < kData + 0xFFC)) {
            ASSERT_TRUE(e_->write(esp, &back, 4));
        }
        ASSERT_TRUE(e_->write(path, made.c_str(), made.size() + 1));
        RunLimits l;
        l.deadline = Clock::now() + std::chrono::milliseconds(300);
        EngineEvent ev = run(l);
        ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
        int id = 0;
        int fd = open(canary.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        grant({InProcessPolicy::Descriptor{&id, fd, true, false}, {}, {}, {}});
        close(fd);
        for (int i = 0; i < 8 && ev.stop == EngineStop::Trap; ++i) ev = run(l);
        // A fault, a time limit, or a guest the host kernel ended because
        // its stack pointer left no room for its handler: never the engine
        // failing.
        if (ev.stop == EngineStop::Failed) {
            EXPECT_EQ(nuvtest::event_text(ev).rfind("guest process killed by signal", 0), 0u)
                << nuvtest::event_text(ev);
        } else {
            EXPECT_TRUE(ev.stop == EngineStop::Fault || ev.stop == EngineStop::Timeout ||
                        ev.stop == EngineStop::Trap)
                << static_cast<int>(ev.stop) << " " << nuvtest::event_text(ev);
        }
        ++outcomes[static_cast<int>(ev.stop)];
        EXPECT_FALSE(std::filesystem::exists(made));
        EXPECT_EQ(nuvtest::read_file(canary), "x");
        if (e_->alive()) {
            EXPECT_EQ(slurp("/proc/" + std::to_string(e_->pid()) + "/task/" +
                            std::to_string(e_->pid()) + "/children"),
                      "");
        }
    }
    std::printf("%d random rounds: %d calls, %d faults, %d time limits, %d killed\n", rounds,
                outcomes[0], outcomes[2], outcomes[4], outcomes[5]);
}

INSTANTIATE_TEST_SUITE_P(Engines, NativeEngineTest,
                         ::testing::Values(Mode::Direct, Mode::Notified, Mode::StandIn64),
                         [](const auto& info) {
                             return info.param == Mode::Direct     ? "I386"
                                    : info.param == Mode::Notified ? "I386Notified"
                                                                   : "StandIn64";
                         });

TEST(NativeEngineStart, AStubThatCannotRunLeavesNoProcessOrDescriptor) {
    int fds = count_entries("/proc/self/fd");
    NativeOptions o;
    o.stub_path = "/nonexistent/nuvstub";
    Result<std::unique_ptr<NativeEngine>> started = NativeEngine::start(o);
    ASSERT_FALSE(started);
    const std::string& err = started.error().message;
    EXPECT_NE(err.find("/nonexistent/nuvstub"), std::string::npos) << err;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);
}

// Without a tracer the filter still lets no call run. The child cannot even
// report through a call, so the instruction it dies on says what it saw.
TEST(NativeEngineFilter, NoCallRunsWithoutTheTracer) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t pid = fork();
    if (pid == 0) {
        static sock_filter insns[] = NUV_FILTER_PROGRAM(0, NUV_FILTER_I386_NOTIFY, 1, 0x1000);
        sock_fprog prog{static_cast<unsigned short>(sizeof insns / sizeof insns[0]), insns};
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0) _exit(1);
        long r = syscall(SYS_write, p[1], "x", 1);
        if (r == -1 && errno == ENOSYS) __builtin_trap();  // SIGILL
        __asm__ volatile("int3");                          // SIGTRAP
    }
    close(p[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGILL);
    char c;
    EXPECT_EQ(read(p[0], &c, 1), 0);
    close(p[0]);
}

}  // namespace
}  // namespace nuv
