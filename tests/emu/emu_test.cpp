// The emulator's own behaviour: calls, results, faults, limits and traps.
#include <unicorn/unicorn.h>

#include <cstdio>
#include <cstring>

#include "fault_report.hpp"
#include "guest.hpp"

namespace {

using nuv::Stop;
using nuvtest::LibTest;

TEST_F(LibTest, CallReturnsX87TopOfStackAndSurvivesManyCalls) {
    // More calls than the x87 stack has registers: each call starts from an empty stack.
    for (int i = 1; i <= 12; ++i) {
        ASSERT_EQ(g().call("probe_long_double", {i, 4}).stop, Stop::Returned);
        EXPECT_EQ(g().st0(), static_cast<long double>(i) / 4) << i;
    }
    ASSERT_EQ(g().call("probe_long_double", {1, 3}).stop, Stop::Returned);
    long double third = 1.0L / 3;
    std::array<uint8_t, 10> expect{};
    std::memcpy(expect.data(), &third, 10);
    EXPECT_EQ(g().st0_bytes(), expect);
}

TEST_F(LibTest, SixtyFourBitArgumentsAndResultUseLibgcc) {
    ASSERT_EQ(g().call("probe_u64", {nuv::Arg::u64(0x1234567890ull), nuv::Arg::u64(16)}).stop,
              Stop::Returned);
    EXPECT_EQ(g().edx_eax(), 0x1234567890ull / 16 + 1);
}

TEST(Scratch, EachMachineStartsAFreshRegionEvenWhereAnOldOneLived) {
    uint32_t first = 0;
    for (int i = 0; i < 3; ++i) {
        auto m = nuvtest::load_image("libtest", nuvtest::test_options());
        ASSERT_TRUE(m);
        uint32_t a = nuvtest::alloc(*m, 3, 1);
        uint32_t b = nuvtest::alloc(*m, 4, 16);
        if (i == 0) first = a;
        EXPECT_EQ(a, first) << i;
        EXPECT_EQ(b, (a + 3 + 15) & ~15u);
        uint32_t s = nuvtest::put_string(*m, "ok");
        EXPECT_EQ(m->read_string(s), "ok");
    }
}

struct FaultCase {
    const char* fn;
    std::vector<uint32_t> args;
    const char* message_part;
};

TEST_F(LibTest, GuestFaultsEndTheCallWithAMessage) {
    const FaultCase cases[] = {
        {"probe_load", {0}, "read of unmapped memory at 0x00000000"},
        {"probe_store", {0x400000, 1}, "write to protected memory at 0x00400000"},
        {"probe_store", {0xDEAD0000, 1}, "write to unmapped memory at 0xdead0000"},
        {"probe_invalid", {}, "invalid instruction"},
        {"probe_int3", {}, "unexpected interrupt 3"},
        {"probe_jump", {0x30000000}, "unmapped memory at 0x30000000"},
        {"probe_jump", {nuv::Harness::kStackTop - 64}, "non-executable"},
    };
    for (const FaultCase& c : cases) {
        SetUp();
        nuv::RunResult r = g().call_words(sym(c.fn), c.args);
        EXPECT_EQ(r.stop, Stop::Fault) << c.fn;
        std::string words = nuv::report::what(r);
        EXPECT_NE(words.find(c.message_part), std::string::npos) << c.fn << ": " << words;
    }
}

TEST_F(LibTest, HaltEndsTheRunAsAFault) {
    nuv::RunResult r = g().call("probe_halt", {});
    EXPECT_EQ(r.stop, Stop::Fault);
    EXPECT_EQ(r.fault.kind, nuv::FaultKind::Halt);
    EXPECT_NE(nuv::report::what(r).find("halt"), std::string::npos) << nuv::report::what(r);
}

TEST(Emulator, InstructionLimitStopsARunawayGuest) {
    nuv::Options o = nuvtest::test_options();
    o.max_instructions = 100000;
    auto m = nuvtest::load_image("libtest", o);
    nuv::RunResult r = m->call("probe_spin", {});
    EXPECT_EQ(r.stop, Stop::Limit);
    EXPECT_GE(m->instructions(), 100000u);
    EXPECT_LT(m->instructions(), 100100u);
}

TEST(Emulator, TimeLimitStopsARunawayGuest) {
    nuv::Options o = nuvtest::test_options();
    o.timeout_us = 50000;
    auto m = nuvtest::load_image("libtest", o);
    EXPECT_EQ(m->call("probe_spin", {}).stop, Stop::Timeout);
}

// A guest whose process ends inside a call is left standing at its trap (the
// Unicorn engine keeps its emulator waiting there for the next run). A host
// call that starts elsewhere, a start of the image from its entry and the
// machine's end each let it go cleanly, and the calls after run as ever.
TEST_F(LibTest, AGuestLeftAtItsTrapGivesWayToTheNextRunAndToTheMachinesEnd) {
    g().set_handler(999, [](nuv::CallContext&, const nuv::SyscallArgs& a) {
        return nuv::Outcome::exit(static_cast<int32_t>(a.ebx));
    });
    for (int i = 0; i < 3; ++i) {
        nuv::RunResult r = g().call("probe_trap", {999, 40 + i, 0, 0});
        ASSERT_EQ(r.stop, Stop::Exited) << nuv::report::what(r);
        EXPECT_EQ(r.status, 40 + i);
        EXPECT_EQ(call("strlen", {str("abcd")}), 4u);
        EXPECT_EQ(icall("probe_trap", {777, 0, 0, 0}), -1);
    }
    ASSERT_EQ(g().call("probe_trap", {999, 5, 0, 0}).stop, Stop::Exited);
    nuv::RunResult again = g().run({"libtest"});
    EXPECT_EQ(again.stop, Stop::Exited) << nuv::report::what(again);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(call("strlen", {str("xyz")}), 3u);
    ASSERT_EQ(g().call("probe_trap", {999, 6, 0, 0}).stop, Stop::Exited);
    m_.reset();
}

TEST_F(LibTest, UnknownCallReturnsMinusOneAndIsRecorded) {
    EXPECT_EQ(icall("probe_trap", {777, 1, 2, 3}), -1);
    ASSERT_EQ(g().traps().size(), 1u);
    const nuv::TrapRecord& t = g().traps()[0];
    EXPECT_EQ(t.args.nr, 777u);
    EXPECT_EQ(t.args.ebx, 1u);
    EXPECT_EQ(t.args.ecx, 2u);
    EXPECT_EQ(t.args.edx, 3u);
    EXPECT_EQ(t.result, -1);
}

TEST_F(LibTest, KernelChecksGuestPointers) {
    // write and read with buffers that are unmapped, read-only or run off the end.
    EXPECT_EQ(icall("probe_trap", {NUV_SYS_write, 1, 0, 5}), -NUV_EFAULT);
    EXPECT_EQ(icall("probe_trap", {NUV_SYS_write, 1, 0xBFFFFFFF, 2}), -NUV_EFAULT);
    EXPECT_EQ(icall("probe_trap", {NUV_SYS_read, 0, 0x400000, 1}), -NUV_EFAULT);
    EXPECT_EQ(icall("probe_trap", {NUV_SYS_read, 0, 0, 1}), -NUV_EFAULT);
    EXPECT_EQ(icall("probe_trap", {NUV_SYS_write, 9, str("x"), 1}), -NUV_EBADF);
    EXPECT_EQ(icall("probe_trap", {NUV_SYS_write, -1, str("x"), 1}), -NUV_EBADF);
    EXPECT_EQ(g().output(), "");
}

TEST_F(LibTest, ReplacedHandlerSeesAllArgumentRegisters) {
    nuv::SyscallArgs seen;
    g().set_handler("write", [&](nuv::CallContext&, const nuv::SyscallArgs& a) {
        seen = a;
        return 0;
    });
    uint32_t s = str("hello");
    EXPECT_EQ(icall("probe_trap", {NUV_SYS_write, 1, s, 5}), 0);
    EXPECT_EQ(seen.nr, NUV_SYS_write);
    EXPECT_EQ(seen.ecx, s);
    EXPECT_EQ(g().output(), "");
}

TEST_F(LibTest, TraceShowsEachCallStraceStyle) {
    nuvtest::TraceLog trace;
    {
        nuv::Options o = nuvtest::test_options();
        o.trace = trace.file();
        auto m = nuvtest::load_image("libtest", o);
        uint32_t s = nuvtest::put_string(*m, "hi\n\"");
        m->call("probe_trap", {NUV_SYS_write, 1, s, 4});
        m->call("probe_trap", {999, 0, 0, 0});
        m->call("probe_trap", {NUV_SYS_exit, -5, 0, 0});
    }
    std::string log = trace.text();
    EXPECT_EQ(log,
              "write(1, \"hi\\n\\\"\", 4) = 4\n"
              "syscall_999(0x00000000, 0x00000000, 0x00000000) = -1 (unknown call)\n"
              "exit(-5) = ?\n+++ exited with -5 +++\n");
}

TEST_F(LibTest, TraceNamesFlagsErrorsAndWhatCallsWrite) {
    nuvtest::TraceLog trace;
    nuv::Options o = nuvtest::test_options();
    o.trace = trace.file();
    auto m = nuvtest::load_image("libtest", o);
    ASSERT_NE(m, nullptr);
    uint32_t fds = nuvtest::alloc(*m, 8), in = nuvtest::alloc(*m, 16),
             status = nuvtest::alloc(*m, 4);
    uint32_t argv = nuvtest::alloc(*m, 8);
    m->set_u32(argv, nuvtest::put_string(*m, "missing"));
    m->set_u32(argv + 4, nuvtest::put_string(*m, "-x"));
    const uint32_t block[7] = {
        nuvtest::put_string(*m, "/bin/missing"), argv, 2, 0xFFFFFFFF, 5, 0xFFFFFFFF, 0};
    uint32_t spawn_block = nuvtest::put_bytes(
        *m, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(block), sizeof block));
    const uint32_t neg1 = 0xFFFFFFFF;
    auto hex = [](uint32_t v) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%x", v);
        return std::string(b);
    };
    struct Case {
        uint32_t nr, a, b, c;
        std::string line;
    } cases[] = {
        {NUV_SYS_open, nuvtest::put_string(*m, "nofile"), NUV_O_RDONLY, 0777,
         "open(\"nofile\", O_RDONLY) = -2 ENOENT (no such file or directory)"},
        {NUV_SYS_open, nuvtest::put_string(*m, "."),
         NUV_O_WRONLY | NUV_O_CREAT | NUV_O_TRUNC | 0x800, 0644,
         "open(\".\", O_WRONLY|O_CREAT|O_TRUNC|0x800, 0644) = -22 EINVAL (invalid argument)"},
        {NUV_SYS_open, nuvtest::put_string(*m, "."), NUV_O_WRONLY | NUV_O_CREAT, 0600,
         "open(\".\", O_WRONLY|O_CREAT, 0600) = -21 EISDIR (is a directory)"},
        {NUV_SYS_pipe, 0x30000000, 0, 0, "pipe(0x30000000) = -14 EFAULT (bad guest address)"},
        {NUV_SYS_pipe, fds, 0, 0, "pipe([3, 4]) = 0"},
        {NUV_SYS_write, 4, nuvtest::put_string(*m, "ab\x01"), 3, "write(4, \"ab\\x01\", 3) = 3"},
        // What read fills is shown after the call, as much as it read.
        {NUV_SYS_read, 3, in, 16, "read(3, \"ab\\x01\", 16) = 3"},
        {NUV_SYS_read, 99, in, 16, "read(99, " + hex(in) + ", 16) = -9 EBADF (bad descriptor)"},
        {NUV_SYS_lseek, 3, 0, NUV_SEEK_END,
         "lseek(3, 0, SEEK_END) = -29 ESPIPE (cannot be positioned)"},
        {NUV_SYS_waitpid, neg1, status, NUV_WNOHANG,
         "waitpid(-1, " + hex(status) + ", WNOHANG) = -10 ECHILD (no such child)"},
        {NUV_SYS_waitpid, neg1, 0, 0, "waitpid(-1, NULL, 0) = -10 ECHILD (no such child)"},
        {NUV_SYS_spawn_ex, spawn_block, 0, 0,
         "spawn_ex({path=\"/bin/missing\", argv=[\"missing\", \"-x\"], fd_in=-1, fd_out=5, "
         "fd_err=-1, inherit_all=0}) = -9 EBADF (bad descriptor)"},
    };
    std::string expected;
    for (const Case& c : cases) {
        m->call("probe_trap", {c.nr, c.a, c.b, c.c});
        expected += c.line;
        expected += '\n';
    }
    // Six arguments, through the library's wrapper; the result is an address.
    m->call("mmap", {0, 4096, NUV_PROT_READ | NUV_PROT_WRITE, NUV_MAP_ANONYMOUS, -1, 0});
    expected +=
        "mmap(NULL, 4096, PROT_READ|PROT_WRITE, MAP_ANONYMOUS, -1, 0) = " + hex(m->eax()) + "\n";
    m->call("mmap", {0, 4096, 0, 0, -1, 0});
    expected += "mmap(NULL, 4096, PROT_NONE, 0, -1, 0) = -1\n";
    EXPECT_EQ(trace.text(), expected);
}

}  // namespace
