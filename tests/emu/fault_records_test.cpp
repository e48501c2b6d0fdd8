// Guest faults as data: the same planted fault gives the same record on both
// engines, field by field (kind, access, size, vector, address, eip), both at
// the engine (the native one on both of its fault paths: posted by the
// guest's handler, and seen by the tracer) and through the kernel for
// crash.c's faults; the native engine adds the host's signal. Then the
// words: a table from records to the text that reports show, and the signal
// a core file and the gdb server give.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core_file.hpp"
#include "engine.hpp"
#include "fault_report.hpp"
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

constexpr uint32_t kCode = 0x400000, kData = 0x600000, kReadOnly = 0x601000, kNone = 0x602000;
constexpr uint32_t kNowhere = 0x30000000;
constexpr uint32_t kStackTop = 0xC0000000, kReturn = 0xFFFFF000;

// The engines a fault is planted in: Unicorn, and the native engine with
// its faults posted by the guest's handler (direct calls) or seen by the
// tracer (calls as notifications).
const char* const kEngines[] = {"unicorn", "native", "native traced"};

// One engine with the pages every case uses: code, data, a read-only page,
// a page without access and a stack.
std::unique_ptr<Engine> make(const std::string& kind, const Bytes& code) {
    std::unique_ptr<Engine> e;
    if (kind == "unicorn") {
        e = nuv::UnicornEngine::create(false);
    } else {
        nuv::NativeOptions o;
        o.direct_calls = kind == "native";
        auto started = nuv::NativeEngine::start(o);
        if (started) e = std::move(*started);
    }
    if (e == nullptr) return nullptr;
    bool ok = e->map(kStackTop - 0x10000, 0x10000, kPermRead | kPermWrite) &&
              e->map(kCode, 0x1000, kPermRead | kPermWrite) &&
              e->write(kCode, code.data(), code.size()) &&
              e->protect(kCode, 0x1000, kPermRead | kPermExec) &&
              e->map(kData, 0x1000, kPermRead | kPermWrite) &&
              e->map(kReadOnly, 0x1000, kPermRead) && e->map(kNone, 0x1000, 0);
    return ok ? std::move(e) : nullptr;
}

EngineEvent run(Engine& e) {
    nuv::Registers r;
    r.eip = kCode;
    r.esp = kStackTop - 16;
    e.set_registers(r);
    nuv::RunLimits l;
    l.return_address = kReturn;
    l.deadline = nuv::RunLimits::Clock::now() + std::chrono::seconds(20);
    return e.run(l);
}

struct Planted {
    const char* name;
    Bytes code;
    GuestFault want;
    // Whether the native engine can tell where: a syscall from 32-bit code
    // reaches Linux from a place of Linux's choosing.
    bool placed_natively = true;
};

GuestFault memory(FaultKind kind, FaultAccess access, uint8_t size, uint32_t address,
                  uint32_t eip) {
    return {.kind = kind, .access = access, .size = size, .address = address, .eip = eip};
}

GuestFault at(FaultKind kind, uint32_t eip, uint16_t vector = 0) {
    return {.kind = kind, .vector = vector, .eip = eip};
}

const std::vector<Planted>& planted() {
    using K = FaultKind;
    using A = FaultAccess;
    static const std::vector<Planted> cases = {
        // mov eax, [0x10]
        {"null read", cat({{0xA1}, le32(0x10)}), memory(K::Unmapped, A::Read, 4, 0x10, kCode)},
        // mov byte [0x20], 1
        {"null byte write", cat({{0xC6, 0x05}, le32(0x20), {1}}),
         memory(K::Unmapped, A::Write, 1, 0x20, kCode)},
        // nop; mov word [kReadOnly + 2], 1
        {"store to a read-only page", cat({{0x90, 0x66, 0xC7, 0x05}, le32(kReadOnly + 2), {1, 0}}),
         memory(K::Protection, A::Write, 2, kReadOnly + 2, kCode + 1)},
        // add dword [kReadOnly], 1: read, then the write is refused
        {"read-modify-write of a read-only page", cat({{0x83, 0x05}, le32(kReadOnly), {1}}),
         memory(K::Protection, A::Write, 4, kReadOnly, kCode)},
        // mov eax, [kNone + 8]
        {"read of a page without access", cat({{0xA1}, le32(kNone + 8)}),
         memory(K::Protection, A::Read, 4, kNone + 8, kCode)},
        // mov eax, [kReadOnly + 0xFFE]: the load's last two bytes lie in
        // the page without access
        {"load across into a page without access", cat({{0xA1}, le32(kReadOnly + 0xFFE)}),
         memory(K::Protection, A::Read, 4, kNone, kCode)},
        // mov esp, kNowhere + 0x10; push eax
        {"push to an unmapped stack", cat({{0xBC}, le32(kNowhere + 0x10), {0x50}}),
         memory(K::Unmapped, A::Write, 4, kNowhere + 0xC, kCode + 5)},
        // mov esp, kNowhere; ret
        {"return from an unmapped stack", cat({{0xBC}, le32(kNowhere), {0xC3}}),
         memory(K::Unmapped, A::Read, 4, kNowhere, kCode + 5)},
        // fld qword [kNowhere]
        {"x87 load of eight bytes", cat({{0xDD, 0x05}, le32(kNowhere)}),
         memory(K::Unmapped, A::Read, 8, kNowhere, kCode)},
        // mov esi, kNowhere; mov edi, kData; movsd
        {"string copy from nothing", cat({{0xBE}, le32(kNowhere), {0xBF}, le32(kData), {0xA5}}),
         memory(K::Unmapped, A::Read, 4, kNowhere, kCode + 10)},
        // mov edi, kReadOnly; mov ecx, 2; rep stosw
        {"string store to a read-only page",
         cat({{0xBF}, le32(kReadOnly), {0xB9}, le32(2), {0x66, 0xF3, 0xAB}}),
         memory(K::Protection, A::Write, 2, kReadOnly, kCode + 10)},
        // mov eax, kNowhere; call eax
        {"call into nothing", cat({{0xB8}, le32(kNowhere), {0xFF, 0xD0}}),
         memory(K::Unmapped, A::Execute, 0, kNowhere, kNowhere)},
        // mov eax, kData; jmp eax
        {"jump into data", cat({{0xB8}, le32(kData), {0xFF, 0xE0}}),
         memory(K::Protection, A::Execute, 0, kData, kData)},
        {"ud2", {0x90, 0x0F, 0x0B}, at(K::Invalid, kCode + 1)},
        // call far through a register, which Unicorn would mistranslate
        {"far call through a register", {0xFF, 0xD8}, at(K::Invalid, kCode)},
        // lock add eax, eax
        {"lock on a register", {0xF0, 0x01, 0xC0}, at(K::Invalid, kCode)},
        {"cli", {0x90, 0xFA}, at(K::Privileged, kCode + 1)},
        {"port input", {0x90, 0xE4, 0x60}, at(K::Privileged, kCode + 1)},
        // nop; nop; mov dx, 0x80; out dx, al
        {"port output", {0x90, 0x90, 0x66, 0xBA, 0x80, 0x00, 0xEE}, at(K::Privileged, kCode + 6)},
        {"hlt", {0xF4}, at(K::Halt, kCode)},
        {"int 0x81", {0x90, 0xCD, 0x81}, at(K::Interrupt, kCode + 1, 0x81)},
        // int3: the processor stands after it
        {"int3", {0x90, 0xCC}, at(K::Breakpoint, kCode + 2, 3)},
        // xor ecx, ecx; div ecx
        {"divide by zero", {0x31, 0xC9, 0xF7, 0xF1}, at(K::DivideError, kCode + 2, 0)},
        {"sysenter", {0x90, 0x0F, 0x34}, at(K::SystemCall, kCode + 1)},
        {"syscall", {0x90, 0x0F, 0x05}, at(K::SystemCall, kCode + 1), false},
    };
    return cases;
}

// Each planted fault on both engines: the record each gives is the one the
// case expects, and so the two are equal.
TEST(FaultRecords, EachPlantedFaultIsTheSameRecordOnBothEngines) {
    NUVTEST_NEED_NATIVE_ENGINE();
    for (const Planted& c : planted()) {
        SCOPED_TRACE(c.name);
        GuestFault got[3];
        int i = 0;
        for (const char* kind : kEngines) {
            SCOPED_TRACE(kind);
            std::unique_ptr<Engine> e = make(kind, c.code);
            ASSERT_NE(e, nullptr);
            EngineEvent ev = run(*e);
            ASSERT_EQ(ev.stop, EngineStop::Fault) << nuvtest::event_text(ev);
            if (i > 0 && !c.placed_natively) ev.fault.eip = c.want.eip;
            EXPECT_TRUE(nuvtest::same_fault(ev.fault, c.want));
            // The guest stands on the instruction that faulted (after a
            // breakpoint: after its int3).
            if (c.placed_natively || i == 0) {
                EXPECT_EQ(e->registers().eip, c.want.eip);
            }
            got[i++] = ev.fault;
        }
        EXPECT_TRUE(nuvtest::same_fault(got[0], got[1]));
        EXPECT_TRUE(nuvtest::same_fault(got[1], got[2]));
        // Words differ only by what an engine alone can add.
        if (got[0].detail == nullptr && got[1].detail == nullptr) {
            EXPECT_EQ(nuv::report::words(got[0]), nuv::report::words(got[1]));
        }
        EXPECT_EQ(got[1].host_signal, got[2].host_signal);
        EXPECT_EQ(got[1].host_code, got[2].host_code);
        EXPECT_EQ(got[0].host_signal, 0);  // Unicorn has none
    }
}

// The host's signal and code where the native engine had one.
TEST(FaultRecords, TheNativeEngineKeepsTheHostsSignal) {
    NUVTEST_NEED_NATIVE_ENGINE();
    struct Case {
        const char* name;
        int signal, code;
    };
    const Case cases[] = {
        {"null read", SIGSEGV, SEGV_MAPERR},
        {"store to a read-only page", SIGSEGV, SEGV_ACCERR},
        {"ud2", SIGILL, ILL_ILLOPN},
        {"cli", SIGSEGV, SI_KERNEL},
        {"divide by zero", SIGFPE, FPE_INTDIV},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Planted* p = nullptr;
        for (const Planted& q : planted()) {
            if (std::string(q.name) == c.name) p = &q;
        }
        ASSERT_NE(p, nullptr);
        for (const char* kind : {"native", "native traced"}) {
            SCOPED_TRACE(kind);
            std::unique_ptr<Engine> e = make(kind, p->code);
            ASSERT_NE(e, nullptr);
            EngineEvent ev = run(*e);
            EXPECT_EQ(ev.fault.host_signal, c.signal);
            EXPECT_EQ(ev.fault.host_code, c.code);
        }
    }
}

// crash.c's faults through the kernel: the run's result carries the record,
// the same on both engines.
TEST(FaultRecords, CrashFaultsAreTheSameRecordThroughTheKernel) {
    NUVTEST_NEED_NATIVE_ENGINE();
    std::ifstream in(nuvtest::image_path("crash"), std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    ASSERT_FALSE(image.empty());
    struct Case {
        const char* mode;
        FaultKind kind;
        FaultAccess access;
    };
    const Case cases[] = {
        {"null-read", FaultKind::Unmapped, FaultAccess::Read},
        {"null-write", FaultKind::Unmapped, FaultAccess::Write},
        {"stack", FaultKind::Unmapped, FaultAccess::Write},
        {"divide", FaultKind::DivideError, FaultAccess::None},
        {"invalid", FaultKind::Invalid, FaultAccess::None},
        {"iret", FaultKind::Privileged, FaultAccess::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        GuestFault got[2];
        int i = 0;
        for (nuv::EngineKind kind : {nuv::EngineKind::Unicorn, nuv::EngineKind::Native}) {
            nuv::Options o = nuvtest::test_options();
            o.engine = kind;
            nuv::Result<std::unique_ptr<nuv::Harness>> h = nuv::Harness::open(image, o);
            ASSERT_TRUE(h) << h.error().message;
            nuv::RunResult r = (*h)->run({"crash", c.mode});
            ASSERT_EQ(r.stop, nuv::Stop::Fault) << nuv::report::what(r);
            EXPECT_EQ(r.fault.kind, c.kind) << nuvtest::fault_fields(r.fault);
            EXPECT_EQ(r.fault.access, c.access) << nuvtest::fault_fields(r.fault);
            got[i++] = r.fault;
        }
        EXPECT_TRUE(nuvtest::same_fault(got[0], got[1]));
    }
}

// From a record to the words of a report.
TEST(FaultWords, EachRecordInOneLine) {
    using K = FaultKind;
    using A = FaultAccess;
    constexpr uint32_t kStackBottom = nuv::Layout::kStackTop - nuv::Layout::kStackSize;
    GuestFault refused = at(K::Invalid, 0x401000);
    refused.detail = "far call or jump through a register";
    GuestFault failed = at(K::Emulator, 0x401000);
    failed.detail = "Unhandled CPU exception (UC_ERR_EXCEPTION)";
    struct Case {
        GuestFault f;
        const char* words;
    };
    const Case cases[] = {
        {memory(K::Unmapped, A::Read, 4, 0, 0x40021c),
         "null-pointer read: read of unmapped memory at 0x00000000 (eip 0x0040021c)"},
        {memory(K::Unmapped, A::Write, 4, 0xfff, 0x40021c),
         "null-pointer write: write to unmapped memory at 0x00000fff (eip 0x0040021c)"},
        {memory(K::Unmapped, A::Execute, 0, 0x8, 0x8),
         "call through a null pointer: execution of unmapped memory at 0x00000008 (eip "
         "0x00000008)"},
        // Past the null page, an address is only an address.
        {memory(K::Unmapped, A::Read, 4, 0x1000, 0x40021c),
         "read of unmapped memory at 0x00001000 (eip 0x0040021c)"},
        {memory(K::Protection, A::Read, 1, 0x601000, 0x400000),
         "read of protected memory at 0x00601000 (eip 0x00400000)"},
        {memory(K::Protection, A::Write, 2, 0x400001, 0x401002),
         "write to protected memory at 0x00400001 (eip 0x00401002)"},
        {memory(K::Protection, A::Execute, 0, 0x600000, 0x600000),
         "execution of non-executable memory at 0x00600000 (eip 0x00600000)"},
        {memory(K::Protection, A::None, 0, 0x600000, 0x400000),
         "bad memory access at 0x00600000 (eip 0x00400000)"},
        // Just below the stack, and no further than 64 KiB below it.
        {memory(K::Unmapped, A::Write, 4, kStackBottom - 4, 0x400100),
         "stack overflow: write to unmapped memory at 0xbf7ffffc (eip 0x00400100)"},
        {memory(K::Unmapped, A::Read, 4, kStackBottom - 0x10000, 0x400100),
         "stack overflow: read of unmapped memory at 0xbf7f0000 (eip 0x00400100)"},
        {memory(K::Unmapped, A::Write, 4, kStackBottom - 0x10001, 0x400100),
         "write to unmapped memory at 0xbf7effff (eip 0x00400100)"},
        // A jump there is no overflow of the stack.
        {memory(K::Unmapped, A::Execute, 0, kStackBottom - 4, kStackBottom - 4),
         "execution of unmapped memory at 0xbf7ffffc (eip 0xbf7ffffc)"},
        {memory(K::Bus, A::None, 0, 0x700000, 0x400000),
         "bus error at 0x00700000 (eip 0x00400000)"},
        {at(K::Invalid, 0x400000), "invalid instruction at 0x00400000"},
        {refused, "invalid instruction at 0x00401000 (far call or jump through a register)"},
        {at(K::Privileged, 0x400000), "protection fault at eip 0x00400000"},
        {at(K::Halt, 0x400000), "guest halted at eip 0x00400000"},
        {at(K::DivideError, 0x400002, 0), "division by zero at eip 0x00400002"},
        {at(K::FloatingPoint, 0x400002, 16), "unexpected interrupt 16 at eip 0x00400002"},
        {at(K::Breakpoint, 0x400001, 3), "unexpected interrupt 3 at eip 0x00400001"},
        {at(K::Breakpoint, 0x400001, 1), "unexpected interrupt 1 at eip 0x00400001"},
        {at(K::Interrupt, 0x400000, 0x81), "unexpected interrupt 129 at eip 0x00400000"},
        {at(K::SystemCall, 0x400000), "system call other than int 0x80 at eip 0x00400000"},
        {at(K::RefusedCall, 0x400000), "refused system call at eip 0x00400000"},
        {failed, "Unhandled CPU exception (UC_ERR_EXCEPTION) at eip 0x00401000"},
        {at(K::Killed, 0x400000), "killed by the debugger"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nuv::report::words(c.f), c.words);
    }
}

// A run's end in words: the fault's, else the message.
TEST(FaultWords, ARunsEndSaysTheFaultElseItsMessage) {
    nuv::RunResult r;
    r.stop = nuv::Stop::Fault;
    r.fault = at(FaultKind::Halt, 0x400000);
    EXPECT_EQ(nuv::report::what(r), "guest halted at eip 0x00400000");
    r.fault = GuestFault{};
    r.message = "guest process killed by signal 9";
    EXPECT_EQ(nuv::report::what(r), "guest process killed by signal 9");
    r.message.clear();
    EXPECT_EQ(nuv::report::what(r), "the guest returned from its entry point");
    r.stop = nuv::Stop::Timeout;
    r.message = "time limit reached at eip 0x00400000";
    EXPECT_EQ(nuv::report::what(r), "time limit reached at eip 0x00400000");
}

// The signal a core file and the gdb server give each kind, with si_code
// and si_addr as Linux would fill them.
TEST(FaultWords, EachKindHasTheSignalLinuxWouldSend) {
    using K = FaultKind;
    using A = FaultAccess;
    struct Case {
        GuestFault f;
        int signo, code;
        uint32_t address;
    };
    const Case cases[] = {
        {memory(K::Unmapped, A::Read, 4, 0x10, 0x400000), SIGSEGV, SEGV_MAPERR, 0x10},
        {memory(K::Protection, A::Write, 4, 0x601000, 0x400000), SIGSEGV, SEGV_ACCERR, 0x601000},
        {memory(K::Bus, A::None, 0, 0x700000, 0x400000), SIGBUS, BUS_ADRERR, 0x700000},
        {at(K::Invalid, 0x400004), SIGILL, ILL_ILLOPN, 0x400004},
        {at(K::DivideError, 0x400002, 0), SIGFPE, FPE_INTDIV, 0x400002},
        {at(K::FloatingPoint, 0x400002, 16), SIGFPE, FPE_FLTINV, 0x400002},
        {at(K::Breakpoint, 0x400001, 3), SIGTRAP, TRAP_BRKPT, 0x400001},
        {at(K::Breakpoint, 0x400001, 1), SIGTRAP, TRAP_TRACE, 0x400001},
        {at(K::Privileged, 0x400000), SIGSEGV, SI_KERNEL, 0},
        {at(K::Halt, 0x400000), SIGSEGV, SI_KERNEL, 0},
        {at(K::Interrupt, 0x400000, 0x81), SIGSEGV, SI_KERNEL, 0},
        {at(K::SystemCall, 0x400000), SIGSEGV, SI_KERNEL, 0},
        {at(K::Killed, 0x400000), SIGKILL, SI_USER, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(nuv::report::words(c.f));
        nuv::FaultSignal s = nuv::fault_signal(c.f);
        EXPECT_EQ(s.signo, c.signo);
        EXPECT_EQ(s.code, c.code);
        EXPECT_EQ(s.address, c.address);
    }
}

}  // namespace
