// Starting a native guest process: the start-up stub, its hand-over at the
// gate, and an address space cleared for the guest.
#include <fcntl.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "direct_call.h"
#include "filter.h"
#include "gate.h"
#include "native_abi.hpp"
#include "native_channel.hpp"
#include "native_engine.hpp"

#ifndef NUV_NATIVE_STUB
#define NUV_NATIVE_STUB "nuvstub"
#define NUV_NATIVE_STUB64 "nuvstub64"
#endif

namespace nuv {
using namespace native;
namespace {

constexpr uint64_t kKernelHalf = 0xffff800000000000ull;

Error failure(std::string message) {
    return Error{HostError::NoEngine, std::move(message)};
}

}  // namespace

std::string NativeEngine::default_stub_path(bool stand_in_64) {
    const char* name = stand_in_64 ? "nuvstub64" : "nuvstub";
    // Next to the running program when it is installed, else where it was built.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        dir.resize(dir.rfind('/') + 1);
        std::string here = dir + name;
        if (access(here.c_str(), X_OK) == 0) return here;
    }
    return stand_in_64 ? NUV_NATIVE_STUB64 : NUV_NATIVE_STUB;
}

Result<std::unique_ptr<NativeEngine>> NativeEngine::start(const NativeOptions& opts) {
    std::unique_ptr<NativeEngine> e(new NativeEngine(opts));
    // Everything the child needs is made before fork: it only makes system calls.
    // The direct call path: its page and the wake-up descriptor, made here
    // and inherited by the stub as descriptors 0 and 1.
    int page_fd = -1, wake_fd = -1, fd_socket = -1;
    if (e->opts_.direct_calls) {
        e->channel_ =
            make_direct_channel(e->proc_, e->space_, e->sites_, page_fd, wake_fd, fd_socket);
    }
    if (e->channel_ == nullptr) {
        e->opts_.direct_calls = false;
        e->channel_ = make_notify_channel(e->proc_, e->space_, e->sites_, e->opts_.debugging);
    }
    // The gate's key, known to the engine and the filter only.
    uint32_t key[2] = {0, 0};
    while (key[0] == 0 || (key[1] & NUV_GATE_KEY1_MASK) == 0) {
        if (getrandom(key, sizeof key, 0) != static_cast<ssize_t>(sizeof key)) {
            return failure(std::string("cannot make the native guest's key: ") +
                           std::strerror(errno));
        }
    }
    e->proc_.set_key(key[0], key[1] & NUV_GATE_KEY1_MASK);
    // Handed over through a pipe the stub reads as descriptor 2: nothing of
    // it in the stub's arguments, which any host process may read.
    int key_pipe[2];
    if (pipe2(key_pipe, O_CLOEXEC) != 0) {
        return failure(std::string("cannot start a native guest process: ") + std::strerror(errno));
    }
    bool key_sent =
        ::write(key_pipe[1], e->proc_.key(), sizeof key) == static_cast<ssize_t>(sizeof key);
    close(key_pipe[1]);
    if (!key_sent) {
        close(key_pipe[0]);
        return failure("cannot hand the native guest its key");
    }
    std::vector<std::string> args = {e->opts_.stub_path,
                                     std::to_string(opts.max_files),
                                     std::to_string(opts.max_processes),
                                     std::to_string(opts.max_address_space / 1024),
                                     opts.tsc ? "1" : "0",
                                     e->opts_.direct_calls ? "1" : "0"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char* envp[] = {nullptr};
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        int why = errno;
        close(key_pipe[0]);
        return failure(std::string("cannot start a native guest process: ") + std::strerror(why));
    }
    pid_t parent = getpid();
    // The child shares our memory until its exec and makes only system
    // calls: no page tables are copied for it.
    pid_t pid = vfork();
    if (pid < 0) {
        int why = errno;
        close(report[0]);
        close(report[1]);
        close(key_pipe[0]);
        return failure(std::string("cannot start a native guest process: ") + std::strerror(why));
    }
    if (pid == 0) {
        // The guest dies with the thread that traces it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        int k = fcntl(key_pipe[0], F_DUPFD_CLOEXEC, 4);
        if (page_fd >= 0) {
            int p = fcntl(page_fd, F_DUPFD_CLOEXEC, 4), w = fcntl(wake_fd, F_DUPFD_CLOEXEC, 4);
            if (p < 0 || w < 0 || dup2(p, 0) != 0 || dup2(w, 1) != 1) _exit(127);
            int s = fd_socket >= 0 ? fcntl(fd_socket, F_DUPFD_CLOEXEC, 4) : -1;
            if (fd_socket >= 0 &&
                (s < 0 || dup2(s, NUV_DIRECT_FD_SOCKET) != NUV_DIRECT_FD_SOCKET)) {
                _exit(127);
            }
        }
        if (k < 0 || dup2(k, 2) != 2) _exit(127);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGALRM, SIG_DFL);
        personality(PER_LINUX);
        int why = 0;
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0) {
            execve(argv[0], argv.data(), envp);
        }
        why = errno;
        ssize_t n = ::write(report[1], &why, sizeof why);
        (void)n;
        _exit(127);
    }
    if (page_fd >= 0) close(page_fd);
    if (fd_socket >= 0) close(fd_socket);
    close(key_pipe[0]);
    e->proc_.started(pid, this_thread());
    close(report[1]);
    int why = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &why, sizeof why);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof why)) {
        std::string err = "cannot start a native guest process: " + e->opts_.stub_path + ": " +
                          std::strerror(why);
        if (why == ENOEXEC) err += " (this host does not run 32-bit x86 programs)";
        return failure(err);  // the destructor reaps the child
    }
    if (Status s = e->handover(); !s) return s.error();
    if (Status s = e->clear_address_space(); !s) return s.error();
    if (opts.tsc && !e->rdtsc_traps()) {
        return failure(
            "this host does not let RDTSC be trapped; a fixed time-stamp counter needs "
            "another engine");
    }
    return e;
}

bool NativeEngine::rdtsc_traps() {
    // Some hypervisors ignore the setting: one RDTSC in the gate page shows it.
    const uint8_t probe[] = {0x0F, 0x31, 0xCC};  // rdtsc; int3
    uint32_t at = proc_.gate() + kGateScratch;
    user_regs_struct saved = proc_.regs();
    proc_.regs().rip = at;
    proc_.mark_dirty();
    int status = 0;
    bool traps = space_.poke(at, probe, sizeof probe) && proc_.resume(ResumeBy::Continue) &&
                 proc_.wait_stop(status) && WIFSTOPPED(status) && WSTOPSIG(status) == SIGSEGV;
    proc_.regs() = saved;
    proc_.mark_dirty();
    return traps && proc_.pid() > 0;
}

Status NativeEngine::handover() {
    int status = 0;
    // The stop after exec, then the stub's first filtered call.
    if (!proc_.wait_stop(status) || !WIFSTOPPED(status) || WSTOPSIG(status) != SIGTRAP) {
        return failure("the native start-up stub did not start");
    }
    void* options = reinterpret_cast<void*>(kTraceOptions);
    if (ptrace(PTRACE_SETOPTIONS, proc_.pid(), nullptr, options) != 0 ||
        !proc_.resume(ResumeBy::Continue)) {
        return failure(std::string("cannot trace the native guest process: ") +
                       std::strerror(errno));
    }
    if (!proc_.wait_stop(status)) {
        return failure(WIFEXITED(status) ? "the native start-up stub failed at step " +
                                               std::to_string(WEXITSTATUS(status))
                                         : "the native start-up stub was killed by signal " +
                                               std::to_string(WTERMSIG(status)));
    }
    const Abi& abi = abi_of(opts_);
    if (!is_seccomp_stop(status) || !proc_.load_regs() || proc_.regs().orig_rax != abi.getpid ||
        static_cast<uint32_t>(proc_.regs().rbx) != NUV_HANDOVER_MAGIC ||
        (proc_.regs().cs & 0xffff) != abi.code_selector || proc_.regs().rip >= 0x100000000ull ||
        (proc_.regs().rip - 2) % kPage != 0) {
        return failure("the native start-up stub did not hand over");
    }
    proc_.set_gate(static_cast<uint32_t>(proc_.regs().rip - 2));
    if (!space_.open()) {
        return failure("cannot open /proc/" + std::to_string(proc_.pid()) +
                       "/mem: " + std::strerror(errno));
    }
    proc_.mark_dirty();  // the hand-over call is skipped
    if (opts_.stand_in_64) return Done{};
    return channel_->take_over(proc_.regs());
}

Status NativeEngine::clear_address_space() {
    // Everything Linux and the stub mapped goes, but the gate area. A 32-bit
    // program reaches nothing above 4 GiB; nothing can unmap the 64-bit
    // kernel's fixed page at the top.
    const Abi& abi = abi_of(opts_);
    uint64_t reach = abi.wide ? kKernelHalf : 0x100000000ull;
    // Two calls, around the gate: unmapping a range with holes in it is fine.
    uint64_t lowest = reach, highest = 0;
    for (const MapsLine& m : read_maps(proc_.pid())) {
        if (m.begin >= reach) continue;
        lowest = std::min(lowest, m.begin);
        highest = std::max(highest, std::min<uint64_t>(m.end, reach));
    }
    std::pair<uint64_t, uint64_t> parts[2] = {{lowest, proc_.gate()},
                                              {uint64_t{proc_.gate()} + kGateSize, highest}};
    for (auto [b, e] : parts) {
        if (e <= b) continue;
        int64_t r = 0;
        if (!proc_.remote(abi.munmap, {b, e - b}, r) || r != 0) {
            return failure("cannot clear the native guest's address space at " + hex(b));
        }
    }
    std::vector<MapsLine> left = read_maps(proc_.pid());
    for (const MapsLine& m : left) {
        if (m.begin < reach &&
            (m.begin < proc_.gate() || m.end > uint64_t{proc_.gate()} + kGateSize)) {
            return failure("the native guest's address space keeps " + hex(m.begin));
        }
    }
    Registers clean;
    clean.eip = proc_.gate();
    set_registers(clean);
    return Done{};
}

}  // namespace nuv
