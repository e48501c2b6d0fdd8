#include "native_engine.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#ifndef NUV_NATIVE_STUB
#define NUV_NATIVE_STUB "nuvstub"
#define NUV_NATIVE_STUB64 "nuvstub64"
#endif

namespace nuv {
namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint32_t kHandoverMagic = 0x4E55564F;

// What differs between a 32-bit guest process and the 64-bit stand-in: the
// code selector, the numbers of the calls the engine makes there, and which
// registers carry their arguments.
struct Abi {
    uint16_t code_selector;
    uint32_t getpid, munmap, setitimer, mprotect, mmap;
    unsigned long long user_regs_struct::*args[6];
    bool wide;
};

constexpr Abi kI386 = {0x23,
                       20,
                       91,
                       104,
                       125,
                       192,  // mmap2
                       {&user_regs_struct::rbx, &user_regs_struct::rcx, &user_regs_struct::rdx,
                        &user_regs_struct::rsi, &user_regs_struct::rdi, &user_regs_struct::rbp},
                       false};
constexpr Abi kX86_64 = {0x33,
                         39,
                         11,
                         38,
                         10,
                         9,
                         {&user_regs_struct::rdi, &user_regs_struct::rsi, &user_regs_struct::rdx,
                          &user_regs_struct::r10, &user_regs_struct::r8, &user_regs_struct::r9},
                         true};

const Abi& abi_of(const NativeOptions& o) {
    return o.stand_in_64 ? kX86_64 : kI386;
}

constexpr uint32_t kProtRead = 1, kProtWrite = 2, kProtExec = 4;
constexpr uint32_t kMapPrivate = 0x02, kMapAnonymous = 0x20, kMapFixedNoreplace = 0x100000;

constexpr uint64_t kKernelHalf = 0xffff800000000000ull;

// Where in the gate page the timer's setting is written.
constexpr uint32_t kGateScratch = 0x100;

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%08llx", static_cast<unsigned long long>(v));
    return buf;
}

uint32_t linux_prot(uint32_t perms) {
    uint32_t p = 0;
    if (perms & kPermRead) p |= kProtRead;
    if (perms & kPermWrite) p |= kProtWrite;
    if (perms & kPermExec) p |= kProtExec;
    return p;
}

bool page_range(uint32_t begin, uint32_t size) {
    return size != 0 && begin % kPage == 0 && size % kPage == 0 &&
           uint64_t{begin} + size <= NativeEngine::kSpaceEnd;
}

struct MapsLine {
    uint64_t begin, end;
    std::string perms;
};

std::vector<MapsLine> read_maps(pid_t pid) {
    std::vector<MapsLine> out;
    std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(in, line)) {
        MapsLine m{};
        char dash = 0;
        std::istringstream ls(line);
        ls >> std::hex >> m.begin >> dash >> m.end >> m.perms;
        if (ls && dash == '-') out.push_back(m);
    }
    return out;
}

pid_t this_thread() {
    thread_local pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    return tid;
}

bool is_seccomp_stop(int status) {
    return WIFSTOPPED(status) && (status >> 8) == (SIGTRAP | (PTRACE_EVENT_SECCOMP << 8));
}

bool is_syscall_stop(int status) {
    return WIFSTOPPED(status) && WSTOPSIG(status) == (SIGTRAP | 0x80);
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

NativeEngine::NativeEngine(const NativeOptions& opts) : opts_(opts) {
    if (opts_.stub_path.empty()) opts_.stub_path = default_stub_path(opts_.stand_in_64);
    if (opts_.tsc) tsc_next_ = *opts_.tsc;
}

NativeEngine::~NativeEngine() {
    end_process();
}

void NativeEngine::end_process() {
    if (mem_fd_ >= 0) {
        close(mem_fd_);
        mem_fd_ = -1;
    }
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, __WALL);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || WIFEXITED(status) || WIFSIGNALED(status)) break;
    }
    pid_ = -1;
}

std::unique_ptr<NativeEngine> NativeEngine::start(const NativeOptions& opts, std::string& err) {
    std::unique_ptr<NativeEngine> e(new NativeEngine(opts));
    // Everything the child needs is made before fork: it only makes system calls.
    std::vector<std::string> args = {
        e->opts_.stub_path, std::to_string(opts.max_files), std::to_string(opts.max_processes),
        std::to_string(opts.max_address_space / 1024), opts.tsc ? "1" : "0"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char* envp[] = {nullptr};
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        err = std::string("cannot start a native guest process: ") + std::strerror(errno);
        return nullptr;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        int why = errno;
        close(report[0]);
        close(report[1]);
        err = std::string("cannot start a native guest process: ") + std::strerror(why);
        return nullptr;
    }
    if (pid == 0) {
        // The guest dies with the thread that traces it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
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
    e->pid_ = pid;
    e->tracer_ = this_thread();
    close(report[1]);
    int why = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &why, sizeof why);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof why)) {
        err = "cannot start a native guest process: " + e->opts_.stub_path + ": " +
              std::strerror(why);
        if (why == ENOEXEC) err += " (this host does not run 32-bit x86 programs)";
        return nullptr;  // the destructor reaps the child
    }
    if (!e->handover(err) || !e->clear_address_space(err)) return nullptr;
    if (opts.tsc && !e->rdtsc_traps()) {
        err =
            "this host does not let RDTSC be trapped; a fixed time-stamp counter needs "
            "another engine";
        return nullptr;
    }
    return e;
}

bool NativeEngine::rdtsc_traps() {
    // Some hypervisors ignore the setting: one RDTSC in the gate page shows it.
    const uint8_t probe[] = {0x0F, 0x31, 0xCC};  // rdtsc; int3
    uint32_t at = gate_ + kGateScratch;
    user_regs_struct saved = regs_;
    regs_.rip = at;
    regs_dirty_ = true;
    int status = 0;
    bool traps = pwrite(mem_fd_, probe, sizeof probe, at) == sizeof probe && flush_regs() &&
                 ptrace(PTRACE_CONT, pid_, nullptr, nullptr) == 0 && wait_stop(status) &&
                 WIFSTOPPED(status) && WSTOPSIG(status) == SIGSEGV;
    regs_ = saved;
    regs_dirty_ = true;
    return traps && pid_ > 0;
}

bool NativeEngine::wait_stop(int& status) {
    for (;;) {
        pid_t r = waitpid(pid_, &status, __WALL);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            pid_ = -1;
            return false;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            pid_ = -1;
            return false;
        }
        return true;
    }
}

bool NativeEngine::handover(std::string& err) {
    int status = 0;
    // The stop after exec, then the stub's first filtered call.
    if (!wait_stop(status) || !WIFSTOPPED(status) || WSTOPSIG(status) != SIGTRAP) {
        err = "the native start-up stub did not start";
        return false;
    }
    long options = PTRACE_O_TRACESECCOMP | PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL;
    if (ptrace(PTRACE_SETOPTIONS, pid_, nullptr, reinterpret_cast<void*>(options)) != 0 ||
        ptrace(PTRACE_CONT, pid_, nullptr, nullptr) != 0) {
        err = std::string("cannot trace the native guest process: ") + std::strerror(errno);
        return false;
    }
    if (!wait_stop(status)) {
        err = WIFEXITED(status)
                  ? "the native start-up stub failed at step " + std::to_string(WEXITSTATUS(status))
                  : "the native start-up stub was killed by signal " +
                        std::to_string(WTERMSIG(status));
        return false;
    }
    const Abi& abi = abi_of(opts_);
    if (!is_seccomp_stop(status) || !load_regs() || regs_.orig_rax != abi.getpid ||
        static_cast<uint32_t>(regs_.rbx) != kHandoverMagic ||
        (regs_.cs & 0xffff) != abi.code_selector || regs_.rip >= 0x100000000ull ||
        (regs_.rip - 2) % kPage != 0) {
        err = "the native start-up stub did not hand over";
        return false;
    }
    gate_ = static_cast<uint32_t>(regs_.rip - 2);
    std::string mem = "/proc/" + std::to_string(pid_) + "/mem";
    mem_fd_ = open(mem.c_str(), O_RDWR | O_CLOEXEC);
    if (mem_fd_ < 0) {
        err = "cannot open " + mem + ": " + std::strerror(errno);
        return false;
    }
    regs_dirty_ = true;  // the hand-over call is skipped
    return true;
}

bool NativeEngine::clear_address_space(std::string& err) {
    // Everything Linux and the stub mapped goes, but the gate page. A 32-bit
    // program reaches nothing above 4 GiB; nothing can unmap the 64-bit
    // kernel's fixed page at the top.
    const Abi& abi = abi_of(opts_);
    uint64_t reach = abi.wide ? kKernelHalf : 0x100000000ull;
    for (const MapsLine& m : read_maps(pid_)) {
        if (m.begin >= reach) continue;
        uint64_t end = std::min<uint64_t>(m.end, reach);
        std::pair<uint64_t, uint64_t> parts[2] = {{m.begin, end}, {0, 0}};
        if (m.begin <= gate_ && gate_ < end) {
            parts[0] = {m.begin, gate_};
            parts[1] = {uint64_t{gate_} + kPage, end};
        }
        for (auto [b, e] : parts) {
            if (e <= b) continue;
            int64_t r = 0;
            if (!remote(abi.munmap, {b, e - b}, r) || r != 0) {
                err = "cannot clear the native guest's address space at " + hex(b);
                return false;
            }
        }
    }
    std::vector<MapsLine> left = read_maps(pid_);
    for (const MapsLine& m : left) {
        if (m.begin < reach && (m.begin != gate_ || m.end != uint64_t{gate_} + kPage)) {
            err = "the native guest's address space keeps " + hex(m.begin);
            return false;
        }
    }
    Registers clean;
    clean.eip = gate_;
    set_registers(clean);
    return true;
}

bool NativeEngine::load_regs() {
    return ptrace(PTRACE_GETREGS, pid_, nullptr, &regs_) == 0;
}

bool NativeEngine::flush_regs() {
    if (!regs_dirty_) return true;
    // The process always stands at a skipped or finished call, or at a
    // signal: no call number may survive into the resumed run, or Linux
    // would run or restart it.
    regs_.orig_rax = ~0ull;
    if (ptrace(PTRACE_SETREGS, pid_, nullptr, &regs_) != 0) return false;
    regs_dirty_ = false;
    return true;
}

bool NativeEngine::remote(uint32_t nr, std::initializer_list<uint64_t> args, int64_t& result) {
    if (pid_ <= 0) return false;
    const Abi& abi = abi_of(opts_);
    user_regs_struct saved = regs_;
    user_regs_struct call = regs_;
    size_t i = 0;
    for (uint64_t a : args) call.*abi.args[i++] = abi.wide ? a : static_cast<uint32_t>(a);
    call.rax = nr;
    call.rip = gate_;
    regs_ = call;
    regs_dirty_ = true;
    if (!flush_regs() || ptrace(PTRACE_CONT, pid_, nullptr, nullptr) != 0) return false;
    int status = 0;
    // To the gate's filter stop, past signals such as a stale timer's.
    for (;;) {
        if (!wait_stop(status)) return false;
        if (is_seccomp_stop(status)) break;
        if (ptrace(PTRACE_CONT, pid_, nullptr, nullptr) != 0) return false;
    }
    user_regs_struct at{};
    if (ptrace(PTRACE_GETREGS, pid_, nullptr, &at) != 0 || at.rip != uint64_t{gate_} + 2 ||
        at.orig_rax != nr) {
        return false;
    }
    // This call runs; the next stop is its end.
    if (ptrace(PTRACE_SYSCALL, pid_, nullptr, nullptr) != 0) return false;
    for (;;) {
        if (!wait_stop(status)) return false;
        if (is_syscall_stop(status)) break;
        if (ptrace(PTRACE_SYSCALL, pid_, nullptr, nullptr) != 0) return false;
    }
    if (ptrace(PTRACE_GETREGS, pid_, nullptr, &at) != 0) return false;
    // An i386 result is an address or count up to 4 GiB, or -4095..-1 for an error.
    uint32_t low = static_cast<uint32_t>(at.rax);
    result = abi.wide            ? static_cast<int64_t>(at.rax)
             : low > 0xFFFFF000u ? static_cast<int64_t>(static_cast<int32_t>(low))
                                 : static_cast<int64_t>(low);
    regs_ = saved;
    regs_dirty_ = true;
    return true;
}

bool NativeEngine::guest_range(uint32_t address, uint64_t n) const {
    uint64_t end = uint64_t{address} + n;
    return end <= kSpaceEnd && (end <= gate_ || address >= uint64_t{gate_} + kPage);
}

bool NativeEngine::map(uint32_t begin, uint32_t size, uint32_t perms) {
    // No page is ever both writable and executable.
    if (!page_range(begin, size) || !guest_range(begin, size)) return false;
    if ((perms & kPermWrite) && (perms & kPermExec)) return false;
    const Abi& abi = abi_of(opts_);
    int64_t r = 0;
    if (!remote(abi.mmap,
                {begin, size, linux_prot(perms), kMapPrivate | kMapAnonymous | kMapFixedNoreplace,
                 ~0ull, 0},
                r)) {
        return false;
    }
    if (r == int64_t{begin}) return true;
    // A kernel that ignores the no-replace flag may have placed it elsewhere.
    if (r > 0 || r < -4095) remote(abi.munmap, {static_cast<uint64_t>(r), size}, r);
    return false;
}

bool NativeEngine::protect(uint32_t begin, uint32_t size, uint32_t perms) {
    if (!page_range(begin, size) || !guest_range(begin, size)) return false;
    if ((perms & kPermWrite) && (perms & kPermExec)) return false;
    int64_t r = 0;
    return remote(abi_of(opts_).mprotect, {begin, size, linux_prot(perms)}, r) && r == 0;
}

bool NativeEngine::unmap(uint32_t begin, uint32_t size) {
    if (!page_range(begin, size) || !guest_range(begin, size)) return false;
    int64_t r = 0;
    return remote(abi_of(opts_).munmap, {begin, size}, r) && r == 0;
}

bool NativeEngine::read(uint32_t address, void* out, size_t n) {
    if (n == 0) return true;
    if (pid_ <= 0 || !guest_range(address, n)) return false;
    iovec local{out, n};
    iovec there{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), n};
    if (process_vm_readv(pid_, &local, 1, &there, 1, 0) == static_cast<ssize_t>(n)) return true;
    // Pages the guest may not read itself.
    return pread(mem_fd_, out, n, address) == static_cast<ssize_t>(n);
}

bool NativeEngine::write(uint32_t address, const void* data, size_t n) {
    if (n == 0) return true;
    if (pid_ <= 0 || !guest_range(address, n)) return false;
    // Through the process's memory file: it writes read-only pages too.
    return pwrite(mem_fd_, data, n, address) == static_cast<ssize_t>(n);
}

Registers NativeEngine::registers() {
    Registers r;
    r.eax = static_cast<uint32_t>(regs_.rax);
    r.ebx = static_cast<uint32_t>(regs_.rbx);
    r.ecx = static_cast<uint32_t>(regs_.rcx);
    r.edx = static_cast<uint32_t>(regs_.rdx);
    r.esi = static_cast<uint32_t>(regs_.rsi);
    r.edi = static_cast<uint32_t>(regs_.rdi);
    r.ebp = static_cast<uint32_t>(regs_.rbp);
    r.esp = static_cast<uint32_t>(regs_.rsp);
    r.eip = static_cast<uint32_t>(regs_.rip);
    r.eflags = static_cast<uint32_t>(regs_.eflags);
    return r;
}

void NativeEngine::set_registers(const Registers& r) {
    regs_.rax = r.eax;
    regs_.rbx = r.ebx;
    regs_.rcx = r.ecx;
    regs_.rdx = r.edx;
    regs_.rsi = r.esi;
    regs_.rdi = r.edi;
    regs_.rbp = r.ebp;
    regs_.rsp = r.esp;
    regs_.rip = r.eip;
    regs_.eflags = r.eflags;
    regs_dirty_ = true;
}

void NativeEngine::reset_fpu() {
    user_fpregs_struct fp{};
    if (pid_ <= 0 || ptrace(PTRACE_GETFPREGS, pid_, nullptr, &fp) != 0) return;
    // Empty stack, all exceptions masked, extended precision, round to nearest.
    fp.cwd = 0x037F;
    fp.swd = 0;
    fp.ftw = 0;  // the abridged tag word: every register empty
    fp.fop = 0;
    fp.rip = 0;
    fp.rdp = 0;
    fp.mxcsr = 0x1F80;
    std::memset(fp.st_space, 0, sizeof fp.st_space);
    ptrace(PTRACE_SETFPREGS, pid_, nullptr, &fp);
}

std::array<uint8_t, 10> NativeEngine::st0() {
    std::array<uint8_t, 10> out{};
    user_fpregs_struct fp{};
    if (pid_ > 0 && ptrace(PTRACE_GETFPREGS, pid_, nullptr, &fp) == 0) {
        // The save area holds the registers in stack order: ST(0) first.
        std::memcpy(out.data(), fp.st_space, out.size());
    }
    return out;
}

bool NativeEngine::arm_timer(RunLimits::Clock::time_point deadline) {
    if (deadline == armed_) return true;
    // struct itimerval: the interval, then the value, in seconds and microseconds.
    int64_t sec = 0, usec = 0;
    if (deadline != RunLimits::Clock::time_point::max()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                                          RunLimits::Clock::now());
        int64_t us = std::max<int64_t>(left.count(), 1);
        sec = std::min<int64_t>(us / 1000000, INT32_MAX);
        usec = us % 1000000;
    }
    const Abi& abi = abi_of(opts_);
    uint8_t value[32] = {};
    size_t size = 16;
    if (abi.wide) {
        int64_t v[4] = {0, 0, sec, usec};
        std::memcpy(value, v, sizeof v);
        size = sizeof v;
    } else {
        int32_t v[4] = {0, 0, static_cast<int32_t>(sec), static_cast<int32_t>(usec)};
        std::memcpy(value, v, sizeof v);
    }
    uint32_t at = gate_ + kGateScratch;
    int64_t r = 0;
    if (pwrite(mem_fd_, value, size, at) != static_cast<ssize_t>(size) ||
        !remote(abi.setitimer, {0, at, 0}, r) || r != 0) {
        return false;
    }
    armed_ = deadline;
    return true;
}

void NativeEngine::gone(EngineEvent& ev, int status) {
    ev.stop = EngineStop::Failed;
    if (WIFSIGNALED(status)) {
        ev.message = "guest process killed by signal " + std::to_string(WTERMSIG(status));
    } else if (WIFEXITED(status)) {
        ev.message = "guest process exited with " + std::to_string(WEXITSTATUS(status));
    } else {
        ev.message = "guest process is gone";
    }
}

uint32_t NativeEngine::page_perms(uint32_t address) {
    for (const MapsLine& m : read_maps(pid_)) {
        if (address < m.begin || address >= m.end || m.perms.size() < 3) continue;
        uint32_t p = 0;
        if (m.perms[0] == 'r') p |= kPermRead;
        if (m.perms[1] == 'w') p |= kPermWrite;
        if (m.perms[2] == 'x') p |= kPermExec;
        return p;
    }
    return 0;
}

bool NativeEngine::probe_write(uint32_t address, bool unmapped) {
    // A signal does not say whether the access was a read or a write. Made
    // readable for a moment, the page answers it: the instruction, stepped
    // once more, faults there again only if it writes.
    uint32_t page = address & ~(kPage - 1);
    uint32_t perms = unmapped ? 0 : page_perms(address);
    if (!unmapped && (perms & kPermRead)) return true;
    if (!guest_range(page, kPage)) return false;
    int64_t r = 0;
    bool opened = unmapped ? map(page, kPage, kPermRead) : protect(page, kPage, kPermRead);
    if (!opened) return false;
    user_regs_struct saved = regs_;
    bool writes = false;
    int status = 0;
    if (flush_regs() && ptrace(PTRACE_SINGLESTEP, pid_, nullptr, nullptr) == 0 &&
        wait_stop(status)) {
        siginfo_t si{};
        if (WIFSTOPPED(status) && WSTOPSIG(status) == SIGSEGV &&
            ptrace(PTRACE_GETSIGINFO, pid_, nullptr, &si) == 0) {
            uint32_t at = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(si.si_addr));
            writes = (at & ~(kPage - 1)) == page;
        }
    }
    if (pid_ <= 0) return writes;
    regs_ = saved;
    regs_dirty_ = true;
    if (unmapped) {
        remote(abi_of(opts_).munmap, {page, kPage}, r);
    } else {
        remote(abi_of(opts_).mprotect, {page, kPage, linux_prot(perms)}, r);
    }
    return writes;
}

bool NativeEngine::fault_event(int sig, const RunLimits& limits, EngineEvent& ev, bool& go_on) {
    go_on = false;
    uint32_t eip = static_cast<uint32_t>(regs_.rip);
    ev.eip = eip;
    siginfo_t si{};
    if (ptrace(PTRACE_GETSIGINFO, pid_, nullptr, &si) != 0) return false;
    uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(si.si_addr));
    uint8_t code[3] = {0, 0, 0};
    switch (sig) {
        case SIGSEGV:
            if (limits.return_address != 0 && eip == limits.return_address) {
                ev.stop = EngineStop::Returned;
                return true;
            }
            ev.stop = EngineStop::Fault;
            if (si.si_code == SI_KERNEL) {
                // A general protection fault: a privileged instruction, an
                // interrupt other than the kernel's, or RDTSC when it is trapped.
                if (read(eip, code, 1)) read(eip, code, sizeof code);
                if (opts_.tsc && code[0] == 0x0F && (code[1] == 0x31 || code[1] == 0x01)) {
                    bool rdtscp = code[1] == 0x01 && code[2] == 0xF9;
                    if (code[1] == 0x31 || rdtscp) {
                        regs_.rax = static_cast<uint32_t>(tsc_next_);
                        regs_.rdx = static_cast<uint32_t>(tsc_next_ >> 32);
                        if (rdtscp) regs_.rcx = 0;
                        regs_.rip = eip + (rdtscp ? 3 : 2);
                        regs_dirty_ = true;
                        ++tsc_next_;
                        go_on = true;
                        return true;
                    }
                }
                if (opts_.stand_in_64 && code[0] == 0xCD && code[1] == 0x80) {
                    // Without 32-bit support Linux refuses int 0x80 itself.
                    regs_.rip = eip + 2;
                    regs_dirty_ = true;
                    ev.stop = EngineStop::Trap;
                    ev.eip = eip + 2;
                    return true;
                }
                if (code[0] == 0xF4) {
                    ev.message = "guest halted at eip " + hex(eip);
                } else if (code[0] == 0xCD) {
                    ev.message =
                        "unexpected interrupt " + std::to_string(code[1]) + " at eip " + hex(eip);
                } else {
                    ev.message = "privileged instruction at eip " + hex(eip);
                }
                return true;
            }
            ev.address = addr;
            // At the instruction's own address the fetch failed, unless its
            // page is executable and the instruction touched itself.
            if (addr == eip && (si.si_code == SEGV_MAPERR || (page_perms(addr) & kPermExec) == 0)) {
                ev.message =
                    std::string(si.si_code == SEGV_MAPERR ? "execution of unmapped memory"
                                                          : "execution of non-executable memory") +
                    " at " + hex(addr) + " (eip " + hex(eip) + ")";
                return true;
            }
            {
                bool unmapped = si.si_code == SEGV_MAPERR;
                bool writes = probe_write(addr, unmapped);
                const char* what =
                    unmapped ? (writes ? "write to unmapped memory" : "read of unmapped memory")
                             : (writes ? "write to protected memory" : "read of protected memory");
                ev.message = std::string(what) + " at " + hex(addr) + " (eip " + hex(eip) + ")";
            }
            return true;
        case SIGBUS:
            ev.stop = EngineStop::Fault;
            ev.address = addr;
            ev.message = "bus error at " + hex(addr) + " (eip " + hex(eip) + ")";
            return true;
        case SIGILL:
            ev.stop = EngineStop::Fault;
            ev.message = "invalid instruction at " + hex(eip);
            return true;
        case SIGFPE:
            ev.stop = EngineStop::Fault;
            ev.message = std::string("unexpected interrupt ") +
                         (si.si_code == FPE_INTDIV || si.si_code == FPE_INTOVF ? "0" : "16") +
                         " at eip " + hex(eip);
            return true;
        case SIGTRAP:
            ev.stop = EngineStop::Fault;
            read(eip - 1, code, 1);
            ev.message = std::string("unexpected interrupt ") + (code[0] == 0xCC ? "3" : "1") +
                         " at eip " + hex(eip);
            return true;
        case SIGSYS:
            ev.stop = EngineStop::Fault;
            ev.message = "refused system call at eip " + hex(eip);
            return true;
        default:
            return false;
    }
}

EngineEvent NativeEngine::run(const RunLimits& limits) {
    EngineEvent ev;
    if (pid_ <= 0) {
        ev.message = "guest process is gone";
        return ev;
    }
    if (this_thread() != tracer_) {
        ev.message = "native engine used from a thread that does not trace it";
        return ev;
    }
    if (limits.deadline != RunLimits::Clock::time_point::max() &&
        RunLimits::Clock::now() >= limits.deadline) {
        ev.stop = EngineStop::Timeout;
        ev.eip = static_cast<uint32_t>(regs_.rip);
        ev.message = "time limit reached at eip " + hex(ev.eip);
        return ev;
    }
    if (!arm_timer(limits.deadline)) {
        ev.message = "cannot set the guest's time limit";
        return ev;
    }
    int status = 0;
    for (;;) {
        if (!flush_regs() || ptrace(PTRACE_CONT, pid_, nullptr, nullptr) != 0) {
            // Most likely killed from outside: say how it ended.
            ev.message = std::string("cannot resume the guest process: ") + std::strerror(errno);
            if (errno == ESRCH && !wait_stop(status)) gone(ev, status);
            return ev;
        }
        if (!wait_stop(status)) {
            gone(ev, status);
            return ev;
        }
        if (!load_regs()) {
            ev.message = "cannot read the guest's registers";
            return ev;
        }
        ev.eip = static_cast<uint32_t>(regs_.rip);
        if (is_seccomp_stop(status)) {
            // No call runs: the kernel above answers int 0x80 and refuses
            // every other way into Linux.
            // Linux has already put its "no such call" result in eax: the
            // kernel above sees the call number the guest put there.
            regs_.rax = regs_.orig_rax;
            regs_dirty_ = true;
            uint8_t insn[2] = {0, 0};
            if (((regs_.cs & 0xffff) == abi_of(opts_).code_selector || opts_.stand_in_64) &&
                regs_.rip >= 2 && read(static_cast<uint32_t>(regs_.rip - 2), insn, 2) &&
                insn[0] == 0xCD && insn[1] == 0x80) {
                ev.stop = EngineStop::Trap;
                return ev;
            }
            ev.stop = EngineStop::Fault;
            ev.message = "system call other than int 0x80 at eip " + hex(ev.eip);
            return ev;
        }
        if (!WIFSTOPPED(status) || (status >> 16) != 0 || is_syscall_stop(status)) continue;
        int sig = WSTOPSIG(status);
        if (sig == SIGALRM) {
            if (limits.deadline != RunLimits::Clock::time_point::max() &&
                RunLimits::Clock::now() >= limits.deadline) {
                armed_ = RunLimits::Clock::time_point::max();
                ev.stop = EngineStop::Timeout;
                ev.message = "time limit reached at eip " + hex(ev.eip);
                return ev;
            }
            continue;
        }
        bool go_on = false;
        if (fault_event(sig, limits, ev, go_on)) {
            if (go_on) continue;
            return ev;
        }
        // Any other signal comes from outside and is not delivered.
    }
}

}  // namespace nuv
