// The native engine's traced process on its own, with a host child process:
// the one way a stopped process moves on never lets a call stopped for the
// tracer run, and a process that does not stop in time is ended, its owner
// told once.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>

#include "native_abi.hpp"
#include "traced_process.hpp"

namespace nuv::native {
namespace {

// The answer the tracer gives the call it skips.
constexpr long kAnswer = 7;
constexpr int kAnswered = 10, kRefused = 11;

// A child that stops for its tracer, then sends its write calls to it and
// exits with what its write returned: kAnswered for the tracer's answer,
// kRefused for ENOSYS, 1 for one byte written, 2 for anything else.
pid_t traced_writer(int out) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    static sock_filter insns[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_write, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof insns / sizeof insns[0]), insns};
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP) != 0 ||
        prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0) {
        _exit(3);
    }
    long r = syscall(SYS_write, out, "x", 1);
    _exit(r == kAnswer ? kAnswered : r == -1 && errno == ENOSYS ? kRefused : r == 1 ? 1 : 2);
}

TEST(NativeTracedProcess, ACallStoppedForTheTracerNeverRunsHoweverTheProcessMovesOn) {
    using ResumeBy = TracedProcess::ResumeBy;
    struct Case {
        const char* name;
        ResumeBy how;
        bool answered;  // registers set from here, which name the call again
    };
    for (const Case& c :
         {Case{"continued", ResumeBy::Continue, false}, Case{"stepped", ResumeBy::Step, false},
          Case{"detached", ResumeBy::Detach, false},
          Case{"answered and continued", ResumeBy::Continue, true},
          Case{"answered and stepped", ResumeBy::Step, true},
          Case{"answered and detached", ResumeBy::Detach, true}}) {
        SCOPED_TRACE(c.name);
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        TracedProcess proc(kX86_64);
        proc.started(traced_writer(p[1]), this_thread());
        close(p[1]);
        ASSERT_GT(proc.pid(), 0);
        int status = 0;
        ASSERT_TRUE(proc.wait_stop(status));
        ASSERT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGSTOP) << status;
        ASSERT_EQ(
            ptrace(PTRACE_SETOPTIONS, proc.pid(), nullptr, reinterpret_cast<void*>(kTraceOptions)),
            0);
        ASSERT_TRUE(proc.resume(ResumeBy::Continue));
        ASSERT_TRUE(proc.wait_stop(status));
        ASSERT_TRUE(is_seccomp_stop(status)) << status;
        EXPECT_TRUE(proc.at_seccomp_stop());
        // Registers set from here name the call once more: it is skipped all
        // the same, and the guest sees the answer they carry.
        if (c.answered) {
            ASSERT_TRUE(proc.load_regs());
            proc.regs().orig_rax = SYS_write;
            proc.regs().rax = kAnswer;
            proc.mark_dirty();
        }
        ASSERT_TRUE(proc.resume(c.how));
        const pid_t pid = proc.pid();
        if (c.how == ResumeBy::Step) {
            ASSERT_TRUE(proc.wait_stop(status));
            ASSERT_TRUE(proc.resume(ResumeBy::Continue));
        }
        if (c.how == ResumeBy::Detach) {
            ASSERT_EQ(waitpid(pid, &status, __WALL), pid);
            proc.lost();
        } else {
            EXPECT_FALSE(proc.wait_stop(status));
        }
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), c.answered ? kAnswered : kRefused);
        char byte = 0;
        EXPECT_EQ(read(p[0], &byte, 1), 0);
        close(p[0]);
    }
}

TEST(NativeTracedProcess, AProcessThatDoesNotStopInTimeIsEndedAndItsOwnerToldOnce) {
    pid_t pid = fork();
    if (pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP) != 0) _exit(3);
        for (;;) {
        }
    }
    TracedProcess proc(kX86_64);
    int ended = 0;
    proc.set_hooks(nullptr, [&] { ++ended; });
    proc.started(pid, this_thread());
    int status = 0;
    ASSERT_TRUE(proc.wait_stop(status));
    ASSERT_TRUE(proc.resume(TracedProcess::ResumeBy::Continue));
    const auto bound = std::chrono::milliseconds(200);
    const auto begin = TracedProcess::Clock::now();
    EXPECT_FALSE(proc.wait_stop(status, begin + bound));
    const auto took = TracedProcess::Clock::now() - begin;
    EXPECT_GE(took, bound);
    EXPECT_LT(took, TracedProcess::kStopBound);
    EXPECT_FALSE(proc.alive());
    EXPECT_EQ(ended, 1);
    // Reaped: nothing is left of it.
    errno = 0;
    EXPECT_EQ(waitpid(pid, &status, __WALL | WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    // A process no longer there moves nowhere.
    EXPECT_FALSE(proc.resume(TracedProcess::ResumeBy::Continue));
}

}  // namespace
}  // namespace nuv::native
