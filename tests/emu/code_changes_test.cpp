// Memory that changes under a guest, on each engine: code rewritten while its
// page is writable runs as rewritten once it is executable again, a store
// into code faults at the store and changes nothing, a page unmapped and
// mapped anew is read as it is now, and a faulting access names its own
// instruction wherever it stands in straight-line code.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine.hpp"
#include "guest.hpp"
#include "machine_code.hpp"
#include "native_engine.hpp"
#include "unicorn_engine.hpp"

namespace {

using nuv::Engine;
using nuv::EngineEvent;
using nuv::EngineStop;
using nuv::FaultAccess;
using nuv::FaultKind;
using nuv::GuestFault;
using nuv::kPermExec;
using nuv::kPermRead;
using nuv::kPermWrite;
using nuvtest::Bytes;
using nuvtest::cat;
using nuvtest::le32;

constexpr uint32_t kCode = 0x400000, kStore = 0x401000, kData = 0x600000;
constexpr uint32_t kStackTop = 0xC0000000, kReturn = 0xFFFFF000;

const Bytes kTrapThenSpin = {0xCD, 0x80, 0xEB, 0xFE};
// mov eax, 1; int 0x80; jmp $
const Bytes kAnswerOne = cat({{0xB8}, le32(1), kTrapThenSpin});
// mov dword [kCode + 1], 2: the answer above becomes 2; int 0x80; jmp $
const Bytes kMakeItTwo = cat({{0xC7, 0x05}, le32(kCode + 1), le32(2), kTrapThenSpin});
// mov eax, [kData]; int 0x80; jmp $
const Bytes kReadData = cat({{0xA1}, le32(kData), kTrapThenSpin});

class CodeChanges : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "unicorn") {
            e_ = nuv::UnicornEngine::create(false);
            ASSERT_NE(e_, nullptr);
        } else {
            auto started = nuv::NativeEngine::start(nuv::NativeOptions{});
            if (!started) NUVTEST_NATIVE_UNAVAILABLE(started.error().message);
            e_ = std::move(*started);
        }
        ASSERT_TRUE(e_->map(kStackTop - 0x10000, 0x10000, kPermRead | kPermWrite));
    }

    void place(uint32_t at, uint32_t perms, const Bytes& bytes) {
        ASSERT_TRUE(e_->map(at, 0x1000, perms));
        ASSERT_TRUE(e_->write(at, bytes.data(), bytes.size()));
    }

    EngineEvent run_at(uint32_t eip) {
        nuv::Registers r;
        r.eip = eip;
        r.esp = kStackTop - 16;
        e_->set_registers(r);
        nuv::RunLimits l;
        l.return_address = kReturn;
        l.deadline = nuv::RunLimits::Clock::now() + std::chrono::seconds(20);
        return e_->run(l);
    }

    // The answer the code at kCode traps with.
    uint32_t answer() {
        EngineEvent ev = run_at(kCode);
        EXPECT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
        return e_->registers().eax;
    }

    std::unique_ptr<Engine> e_;
};

TEST_P(CodeChanges, CodeRewrittenWhileWritableRunsAsRewritten) {
    place(kCode, kPermRead | kPermExec, kAnswerOne);
    place(kStore, kPermRead | kPermExec, kMakeItTwo);
    EXPECT_EQ(answer(), 1u);
    EXPECT_EQ(answer(), 1u);  // from the blocks translated the first time
    ASSERT_TRUE(e_->protect(kCode, 0x1000, kPermRead | kPermWrite));
    EngineEvent ev = run_at(kStore);
    ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
    ASSERT_TRUE(e_->protect(kCode, 0x1000, kPermRead | kPermExec));
    EXPECT_EQ(answer(), 2u);
}

// A page stored to while only writable, then made writable and executable
// (only a host program can have such a page; the native engine never does):
// stores into its code are seen as such (the TLB may have held it as clean).
TEST_P(CodeChanges, CodeStoredIntoAfterItsPageBecameExecutableRunsAsStored) {
    place(kCode, kPermRead | kPermWrite, kAnswerOne);
    // mov dword [kCode + 0x100], 0
    place(kData, kPermRead | kPermExec,
          cat({{0xC7, 0x05}, le32(kCode + 0x100), le32(0), kTrapThenSpin}));
    place(kStore, kPermRead | kPermExec, kMakeItTwo);
    ASSERT_EQ(run_at(kData).stop, EngineStop::Trap);
    if (!e_->protect(kCode, 0x1000, kPermRead | kPermWrite | kPermExec)) {
        EXPECT_EQ(GetParam(), "native");
        return;
    }
    EXPECT_EQ(answer(), 1u);
    ASSERT_EQ(run_at(kStore).stop, EngineStop::Trap);
    EXPECT_EQ(answer(), 2u);
    // Once no page is both, code stays as it was run.
    ASSERT_TRUE(e_->protect(kCode, 0x1000, kPermRead | kPermExec));
    EXPECT_EQ(answer(), 2u);
}

TEST_P(CodeChanges, AStoreIntoCodeFaultsAtTheStoreAndChangesNothing) {
    place(kCode, kPermRead | kPermExec, kAnswerOne);
    place(kStore, kPermRead | kPermExec, cat({{0x90, 0x90}, kMakeItTwo}));
    EXPECT_EQ(answer(), 1u);
    EngineEvent ev = run_at(kStore);
    EXPECT_EQ(ev.stop, EngineStop::Fault);
    EXPECT_EQ(ev.eip, kStore + 2) << nuvtest::event_text(ev);
    EXPECT_TRUE(nuvtest::same_fault(ev.fault, {.kind = FaultKind::Protection,
                                               .access = FaultAccess::Write,
                                               .size = 4,
                                               .address = 0x00400001,
                                               .eip = 0x00401002}));
    Bytes now(kAnswerOne.size());
    ASSERT_TRUE(e_->read(kCode, now.data(), now.size()));
    EXPECT_EQ(now, kAnswerOne);
}

TEST_P(CodeChanges, APageMappedAnewIsReadAsItIsNow) {
    place(kCode, kPermRead | kPermExec, kReadData);
    place(kData, kPermRead | kPermWrite, le32(5));
    EXPECT_EQ(answer(), 5u);
    ASSERT_TRUE(e_->unmap(kData, 0x1000));
    place(kData, kPermRead | kPermWrite, le32(7));
    EXPECT_EQ(answer(), 7u);
    ASSERT_TRUE(e_->unmap(kData, 0x1000));
    EngineEvent ev = run_at(kCode);
    EXPECT_EQ(ev.stop, EngineStop::Fault);
    EXPECT_TRUE(nuvtest::same_fault(ev.fault, {.kind = FaultKind::Unmapped,
                                               .access = FaultAccess::Read,
                                               .size = 4,
                                               .address = kData,
                                               .eip = kCode}));
}

TEST_P(CodeChanges, AFaultingAccessNamesItsOwnInstruction) {
    const Bytes nops = {0x90, 0x90, 0x90};
    struct Case {
        const char* name;
        Bytes code;       // placed after three no-ops
        uint32_t offset;  // of the faulting instruction in it
        FaultAccess access;
        uint32_t address;
        uint8_t size;
        uint32_t ecx = 0;  // after the fault
    };
    const std::vector<Case> cases = {
        {"load", cat({{0x8B, 0x1D}, le32(0x10)}), 0, FaultAccess::Read, 0x10, 4},
        {"store", cat({{0xC7, 0x05}, le32(0x10), le32(1)}), 0, FaultAccess::Write, 0x10, 4},
        {"load across into an unmapped page", cat({{0x8B, 0x1D}, le32(kData + 0xFFE)}), 0,
         FaultAccess::Read, kData + 0x1000, 4},
        // mov esp, 0x10; push eax
        {"push", cat({{0xBC}, le32(0x10), {0x50}}), 5, FaultAccess::Write, 0x0c, 4},
        // mov esi, kData; mov edi, 0x10; mov ecx, 4; rep movsb
        {"string copy",
         cat({{0xBE}, le32(kData), {0xBF}, le32(0x10), {0xB9}, le32(4), {0xF3, 0xA4}}), 15,
         FaultAccess::Write, 0x10, 1, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        place(kCode, kPermRead | kPermExec, cat({nops, c.code, kTrapThenSpin}));
        place(kData, kPermRead | kPermWrite, le32(5));
        EngineEvent ev = run_at(kCode);
        const uint32_t at = kCode + static_cast<uint32_t>(nops.size()) + c.offset;
        EXPECT_EQ(ev.stop, EngineStop::Fault);
        EXPECT_TRUE(nuvtest::same_fault(ev.fault, {.kind = FaultKind::Unmapped,
                                                   .access = c.access,
                                                   .size = c.size,
                                                   .address = c.address,
                                                   .eip = at}));
        EXPECT_EQ(e_->registers().eip, at);
        if (c.ecx != 0) {
            EXPECT_EQ(e_->registers().ecx, c.ecx);
        }
    }
}

// A fault ends its run wherever it was; the next run's fault, made where the
// emulator's entries for plain accesses are not used (cmpxchg8b), is placed
// by itself.
TEST_P(CodeChanges, AFaultOfAnEarlierRunDoesNotPlaceTheNext) {
    // nop; mov ebx, [0x10]
    place(kCode, kPermRead | kPermExec, cat({{0x90, 0x8B, 0x1D}, le32(0x10), kTrapThenSpin}));
    // cmpxchg8b [0x10]
    place(kStore, kPermRead | kPermExec, cat({{0x0F, 0xC7, 0x0D}, le32(0x10), kTrapThenSpin}));
    EngineEvent ev = run_at(kCode);
    ASSERT_EQ(ev.stop, EngineStop::Fault);
    EXPECT_EQ(ev.eip, kCode + 1) << nuvtest::event_text(ev);
    ev = run_at(kStore);
    ASSERT_EQ(ev.stop, EngineStop::Fault);
    EXPECT_EQ(ev.eip, kStore) << nuvtest::event_text(ev);
    EXPECT_EQ(e_->registers().eip, kStore);
}

// As on the processor, a page that can be written can be read, before and
// after it is stored to; one that can only be run can be read under the
// emulator (natively too, unless the processor has protection keys, with
// which Linux makes such a page execute-only).
TEST_P(CodeChanges, PagesThatCanBeWrittenOrRunCanBeRead) {
    // mov eax, [kData]; int 0x80; jmp $; then mov [kData], 9; the same again
    const Bytes read_store_read = cat({kReadData, {0xC7, 0x05}, le32(kData), le32(9), kReadData});
    place(kCode, kPermExec, read_store_read);
    place(kData, kPermWrite, le32(5));
    EXPECT_EQ(answer(), 5u);
    EngineEvent ev = run_at(kCode + static_cast<uint32_t>(kReadData.size()));
    ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
    EXPECT_EQ(e_->registers().eax, 9u);
    if (GetParam() == "native") return;
    // The code page itself, once it has run: mov eax, [kCode]
    place(kStore, kPermExec, cat({{0xA1}, le32(kCode), kTrapThenSpin}));
    ev = run_at(kStore);
    ASSERT_EQ(ev.stop, EngineStop::Trap) << nuvtest::event_text(ev);
    EXPECT_EQ(e_->registers().eax, 0x600000A1u);
}

INSTANTIATE_TEST_SUITE_P(Engines, CodeChanges, testing::Values("unicorn", "native"),
                         [](const testing::TestParamInfo<std::string>& i) { return i.param; });

}  // namespace
