// The process, file-system and descriptor wrappers: what reaches the kernel,
// what is refused before the trap and how results come back.
#include "guest.hpp"

namespace {

using nuvtest::LibTest;

constexpr uint32_t kNull = 0;
constexpr uint32_t kAll = 0xFFFFFFFFu;
constexpr uint32_t kClamped = 0x7FFFFFFFu;

// A call that must be refused before any trap.
struct Refused {
    const char* fn;
    std::vector<uint32_t> args;
};

TEST_F(LibTest, BadArgumentsAreRefusedWithoutATrap) {
    uint32_t p = str("dir");
    uint32_t b = buf(16);
    const Refused cases[] = {
        {"access", {kNull}},
        {"mkdir", {kNull}},
        {"unlink", {kNull}},
        {"rmdir", {kNull}},
        {"chdir", {kNull}},
        {"mkfifo", {kNull}},
        {"getcwd", {kNull, 16}},
        {"getcwd", {b, 0}},
        {"nuvfs_stream_begin", {kNull}},
        {"nuvfs_stream_write", {3, kNull, 4}},
        {"pipe", {kNull}},
        {"spawn", {kNull, 0, 0}},
        {"spawn", {p, 0, kAll}},
        {"spawn", {p, 0, 0x80000000u}},
        {"spawn_ex", {kNull, 0, 0, 0, 0, 0, 0}},
        {"spawn_ex", {p, 0, kAll, 0, 0, 0, 1}},
        {"mmap", {0, 0, 3, 0x22, kAll, 0}},
    };
    for (const Refused& c : cases) {
        g().clear_traps();
        ASSERT_EQ(g().call_words(sym(c.fn), c.args).stop, nuv::Stop::Returned) << c.fn;
        EXPECT_EQ(static_cast<int32_t>(g().eax()), -1) << c.fn;
        EXPECT_TRUE(g().traps().empty()) << c.fn;
    }
}

// A call that traps once with these registers and hands back the kernel's result.
struct Passed {
    const char* fn;
    std::vector<uint32_t> args;
    uint32_t nr;
    std::vector<uint32_t> regs;  // EBX, ECX, EDX, ... as far as the call defines them
};

TEST_F(LibTest, ArgumentsReachTheKernelInTheirRegisters) {
    uint32_t p = str("some/path");
    uint32_t b = buf(64);
    const Passed cases[] = {
        {"getkey", {}, NUV_SYS_getkey, {}},
        {"usleep", {1234}, NUV_SYS_usleep, {1234}},
        {"usleep", {kAll}, NUV_SYS_usleep, {kAll}},
        {"sleep", {3}, NUV_SYS_usleep, {3000000}},
        {"sleep", {0}, NUV_SYS_usleep, {0}},
        {"sleep", {4294}, NUV_SYS_usleep, {4294000000u}},
        {"mkdir", {p, 0755}, NUV_SYS_mkdir, {p}},
        {"unlink", {p}, NUV_SYS_unlink, {p}},
        {"rmdir", {p}, NUV_SYS_rmdir, {p}},
        {"getcwd", {b, 64}, NUV_SYS_getcwd, {b, 64, 0}},
        {"getcwd", {b, kAll}, NUV_SYS_getcwd, {b, kClamped, 0}},
        {"getcwd", {b, kClamped}, NUV_SYS_getcwd, {b, kClamped, 0}},
        {"nuvfs_stream_begin", {p}, NUV_SYS_nuvfs_stream_begin, {p}},
        {"nuvfs_stream_write", {7, b, 10}, NUV_SYS_nuvfs_stream_write, {7, b, 10}},
        {"nuvfs_stream_write", {7, b, kAll}, NUV_SYS_nuvfs_stream_write, {7, b, kClamped}},
        {"nuvfs_stream_write", {7, b, 0}, NUV_SYS_nuvfs_stream_write, {7, b, 0}},
        {"nuvfs_stream_end", {kAll}, NUV_SYS_nuvfs_stream_end, {kAll}},
        {"chdir", {p}, NUV_SYS_chdir, {p}},
        {"munmap", {0x20000000, kAll}, NUV_SYS_munmap, {0x20000000, kAll, 0}},
        {"pipe", {b}, NUV_SYS_pipe, {b}},
        {"mkfifo", {p}, NUV_SYS_mkfifo, {p}},
        {"dup", {kAll}, NUV_SYS_dup, {kAll}},
        {"dup2", {3, 9}, NUV_SYS_dup2, {3, 9, 0}},
        {"fd_set_inherit", {5}, NUV_SYS_fd_set_inherit, {1}},
        {"fd_set_inherit", {kAll}, NUV_SYS_fd_set_inherit, {1}},
        {"fd_set_inherit", {0}, NUV_SYS_fd_set_inherit, {0}},
        {"fd_set_stdio", {kAll, 7, 0x80000000u}, NUV_SYS_fd_set_stdio, {kAll, 7, 0x80000000u}},
        {"fd_set_nonblock", {4, static_cast<uint32_t>(-7)}, NUV_SYS_fd_set_nonblock, {4, 1, 0}},
        {"fd_set_nonblock", {4, 0}, NUV_SYS_fd_set_nonblock, {4, 0, 0}},
        {"spawn", {p, b, 0}, NUV_SYS_spawn, {p, b, 0}},
        {"spawn", {p, 0, 2}, NUV_SYS_spawn, {p, 0, 2}},
        {"waitpid", {kAll, b, 0x55}, NUV_SYS_waitpid, {kAll, b, 0x55}},
    };
    for (const Passed& c : cases) {
        g().clear_traps();
        script(c.nr, {-77});
        ASSERT_EQ(g().call_words(sym(c.fn), c.args).stop, nuv::Stop::Returned) << c.fn;
        ASSERT_EQ(g().traps().size(), 1u) << c.fn;
        const nuv::TrapRecord& t = g().traps()[0];
        EXPECT_EQ(t.args.nr, c.nr) << c.fn;
        for (size_t i = 0; i < c.regs.size(); ++i) {
            EXPECT_EQ(t.args.arg(static_cast<int>(i)), c.regs[i]) << c.fn << " register " << i;
        }
        bool hides_result = c.nr == NUV_SYS_usleep;
        EXPECT_EQ(static_cast<int32_t>(g().eax()), hides_result ? 0 : -77) << c.fn;
    }
}

TEST_F(LibTest, LongSleepsAreSplitIntoWholeCalls) {
    script(NUV_SYS_usleep, {-1});
    struct Case {
        uint32_t seconds;
        std::vector<uint32_t> chunks;
    };
    const Case cases[] = {
        {4295, {4294000000u, 1000000u}},
        {8588, {4294000000u, 4294000000u}},
        {kAll, {}},  // filled in below
    };
    for (const Case& c : cases) {
        g().clear_traps();
        EXPECT_EQ(icall("sleep", {c.seconds}), 0);
        uint64_t total = 0;
        for (const auto& t : g().traps()) {
            EXPECT_EQ(t.args.nr, NUV_SYS_usleep);
            EXPECT_LE(t.args.ebx, 4294000000u);
            total += t.args.ebx;
        }
        EXPECT_EQ(total, uint64_t{c.seconds} * 1000000u) << c.seconds;
        if (!c.chunks.empty()) {
            ASSERT_EQ(g().traps().size(), c.chunks.size());
            for (size_t i = 0; i < c.chunks.size(); ++i)
                EXPECT_EQ(g().traps()[i].args.ebx, c.chunks[i]);
        } else {
            // 4294967295 s: 1000225 whole calls of 4294 s and one for the rest.
            EXPECT_EQ(g().traps().size(), 1000226u);
        }
    }
}

TEST_F(LibTest, AccessOpensAndClosesOrFailsAfterOneTrap) {
    uint32_t p = str("file");
    script(NUV_SYS_open, {5});
    script(NUV_SYS_close, {-9});
    EXPECT_EQ(icall("access", {p, 4}), 0);
    ASSERT_EQ(trap_numbers(), (std::vector<uint32_t>{NUV_SYS_open, NUV_SYS_close}));
    EXPECT_EQ(g().traps()[0].args.ebx, p);
    EXPECT_EQ(g().traps()[0].args.ecx, 0u);
    EXPECT_EQ(g().traps()[0].args.edx, 0u);
    EXPECT_EQ(g().traps()[1].args.ebx, 5u);

    for (int32_t failure : {-2, -1, static_cast<int32_t>(0x80000000u)}) {
        g().clear_traps();
        script(NUV_SYS_open, {failure});
        EXPECT_EQ(icall("access", {p}), -1);
        EXPECT_EQ(trap_numbers(), std::vector<uint32_t>{NUV_SYS_open});
    }
    g().clear_traps();
    script(NUV_SYS_open, {0});
    EXPECT_EQ(icall("access", {p}), 0);
    EXPECT_EQ(trap_numbers(), (std::vector<uint32_t>{NUV_SYS_open, NUV_SYS_close}));
}

TEST_F(LibTest, MmapPassesSixArgumentsAndFailsOnlyOnMinusOne) {
    nuv::SyscallArgs seen;
    int32_t answer = 0;
    g().set_handler(NUV_SYS_mmap, [&](nuv::CallContext&, const nuv::SyscallArgs& a) {
        seen = a;
        return answer;
    });
    for (int32_t r : {-2, -1, 0x20000000, 0, -4096}) {
        answer = r;
        EXPECT_EQ(icall("mmap", {0x1000, 8192, 3, 0x22, kAll, 0x13579BDF}), r);
        EXPECT_EQ(seen.nr, NUV_SYS_mmap);
        EXPECT_EQ(seen.ebx, 0x1000u);
        EXPECT_EQ(seen.ecx, 8192u);
        EXPECT_EQ(seen.edx, 3u);
        EXPECT_EQ(seen.esi, 0x22u);
        EXPECT_EQ(seen.edi, kAll);
        EXPECT_EQ(seen.ebp, 0x13579BDFu);
    }
    // EBP is the caller's again afterwards: a frame-pointer-using caller would break otherwise.
    EXPECT_EQ(icall("mmap", {0, 1, 0, 0, 0, 0x77}), -4096);
    EXPECT_EQ(seen.ebp, 0x77u);
    EXPECT_EQ(icall("mmap", {0, kAll, 0, 0, 0, 0}), -4096);
    EXPECT_EQ(seen.ecx, kAll);  // the length is not clamped
}

TEST_F(LibTest, SpawnExHandsTheKernelASevenWordBlock) {
    std::vector<uint32_t> block;
    uint32_t block_at = 0;
    g().set_handler(NUV_SYS_spawn_ex, [&](nuv::CallContext& m, const nuv::SyscallArgs& a) {
        block_at = a.ebx;
        block.clear();
        for (uint32_t i = 0; i < 7; ++i) block.push_back(nuvtest::read_u32(m, a.ebx + 4 * i));
        return 42;
    });
    uint32_t p = str("/bin/x");
    uint32_t v = buf(8);
    struct Case {
        uint32_t flag, expect;
    };
    for (Case c : {Case{0, 0}, Case{1, 1}, Case{9, 1}, Case{kAll, 1}, Case{0x80000000u, 1}}) {
        EXPECT_EQ(icall("spawn_ex", {p, v, 0, kAll, 0x12345678, 0, c.flag}), 42);
        EXPECT_EQ(block, (std::vector<uint32_t>{p, v, 0, kAll, 0x12345678, 0, c.expect}));
        // The block is in the wrapper's own frame on the stack.
        EXPECT_GT(block_at, nuv::Harness::kStackTop - nuv::Harness::kStackSize);
        EXPECT_LT(block_at, nuv::Harness::kStackTop);
    }
    EXPECT_EQ(icall("spawn_ex", {p, 0, 3, 4, 5, 6, 0}), 42);
    EXPECT_EQ(block, (std::vector<uint32_t>{p, 0, 3, 4, 5, 6, 0}));
    EXPECT_EQ(trap_numbers(), std::vector<uint32_t>(6, NUV_SYS_spawn_ex));
}

}  // namespace
