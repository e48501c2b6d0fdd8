// Rewritten call sites of the native engine under pressure: the copy of a
// large executable mapping that the guest never touched, and time limits
// that stop the guest on its way through the engine's pages.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "guest.hpp"
#include "hex.hpp"
#include "native_engine.hpp"

namespace nuv {
namespace {

constexpr uint32_t kCode = 0x400000, kStackTop = 0xC0000000;
using Bytes = std::vector<uint8_t>;

class NativeSitesTest : public ::testing::Test {
  protected:
    void start() {
        NativeOptions o;
        o.rewrite_sites_after = 1;
        Result<std::unique_ptr<NativeEngine>> started = NativeEngine::start(o);
        if (!started) NUVTEST_NATIVE_UNAVAILABLE(started.error().message);
        e_ = std::move(*started);
        if (!e_->direct()) GTEST_SKIP() << "no direct call path on this host";
    }

    void load(const Bytes& code) {
        ASSERT_TRUE(e_->map(kCode, 0x1000, kPermRead | kPermExec));
        ASSERT_TRUE(e_->write(kCode, code.data(), code.size()));
        ASSERT_TRUE(e_->map(kStackTop - 0x10000, 0x10000, kPermRead | kPermWrite));
        Registers r;
        r.eip = kCode;
        r.esp = kStackTop - 16;
        e_->set_registers(r);
        e_->reset_fpu();
    }

    EngineEvent run(std::chrono::microseconds budget = std::chrono::seconds(10)) {
        RunLimits l;
        l.deadline = RunLimits::Clock::now() + budget;
        return e_->run(l);
    }

    // The guest process's resident memory, in KiB.
    long resident_kib() const {
        std::ifstream in("/proc/" + std::to_string(e_->pid()) + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        }
        ADD_FAILURE() << "no VmRSS for the guest process";
        return -1;
    }

    std::unique_ptr<NativeEngine> e_;
};

// Sites turn on at the first call, and every executable page then gets its
// shadow. A large executable mapping the guest never touched must not become
// resident through its shadow; the one page of it that holds code must be
// copied, for the guest then runs it through the shadow.
TEST_F(NativeSitesTest, ShadowsCopyOnlyPagesThatHoldSomething) {
    start();
    if (IsSkipped() || HasFatalFailure()) return;
    constexpr uint32_t kBig = 0x10000000, kBigSize = 128u << 20, kFar = kBig + (64u << 20);
    // mov eax, 1; int 0x80; jmp kFar
    Bytes code = {0xB8, 1, 0, 0, 0, 0xCD, 0x80, 0xE9};
    const uint32_t rel = kFar - (kCode + 12);
    for (int i = 0; i < 4; ++i) code.push_back(static_cast<uint8_t>(rel >> (8 * i)));
    load(code);
    ASSERT_TRUE(e_->map(kBig, kBigSize, kPermRead | kPermExec));
    const Bytes far = {0xB8, 2, 0, 0, 0, 0xCD, 0x80, 0xEB, 0xFE};  // mov eax, 2; int 0x80
    ASSERT_TRUE(e_->write(kFar, far.data(), far.size()));

    EngineEvent ev = run();
    ASSERT_EQ(ev.stop, EngineStop::Trap) << ev.message;
    EXPECT_EQ(e_->registers().eax, 1u);
    ev = run();
    ASSERT_EQ(ev.stop, EngineStop::Trap) << ev.message;
    EXPECT_EQ(ev.eip, kFar + 7);
    EXPECT_EQ(e_->registers().eax, 2u);
    // Far less than the mapping: its shadow holds one page.
    EXPECT_LT(resident_kib(), 32 * 1024);
}

// A time limit that stops the guest between a rewritten site and the
// engine's handler (in the sled, its landing zone or the jump to the gate)
// names the site, a guest address, and the guest goes on from there. The
// guest calls lseek in its own process without end, so nearly all of its
// time passes on that way; each of many short runs stops it somewhere.
TEST_F(NativeSitesTest, TimeLimitsNameTheGuestsOwnAddresses) {
    start();
    if (IsSkipped() || HasFatalFailure()) return;
    const std::string path = ::testing::TempDir() + "native_sites_seek";
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    unlink(path.c_str());
    int id = 0;
    InProcessPolicy p;
    p.calls = InProcessPolicy::kRead | InProcessPolicy::kSeek;
    p.descriptors = {{&id, fd, true, false, false}};
    e_->in_process(p);
    // mov eax, 110 (lseek); xor ebx, ebx; xor ecx, ecx; xor edx, edx;
    // int 0x80; jmp back
    const Bytes code = {0xB8, 110,  0,    0,    0,    0x31, 0xDB, 0x31,
                        0xC9, 0x31, 0xD2, 0xCD, 0x80, 0xEB, 0xF1};
    load(code);
    EngineEvent ev = run();
    ASSERT_EQ(ev.stop, EngineStop::Trap) << ev.message;
    Registers r = e_->registers();
    r.eax = 0;
    e_->set_registers(r);
    int stopped = 0;
    for (int round = 0; round < 200 && !HasFailure(); ++round) {
        SCOPED_TRACE(round);
        ev = run(std::chrono::microseconds(1500));
        if (ev.stop == EngineStop::Trap) {
            // A call the handler left to the engine: answered as the kernel would.
            r = e_->registers();
            r.eax = 0;
            e_->set_registers(r);
            continue;
        }
        ASSERT_EQ(ev.stop, EngineStop::Timeout) << ev.message;
        ++stopped;
        r = e_->registers();
        for (uint32_t at : {ev.eip, r.eip}) {
            EXPECT_TRUE(at >= kCode && at < kCode + code.size())
                << "round " << round << ": " << hex(at) << ": " << ev.message;
        }
        EXPECT_EQ(r.esp, kStackTop - 16) << "round " << round;
    }
    EXPECT_GT(stopped, 100);
    close(fd);
}

}  // namespace
}  // namespace nuv
