#include "containment.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine.hpp"

namespace nuv::containment {
namespace {

// Where the engine was in the guest when it crashed; written by the dying
// child into memory the supervisor shares.
struct Site {
    volatile uint32_t known;
    uint32_t eip;
    uint32_t count;
    uint8_t bytes[15];
};

// The temporary the dying child held, for the supervisor to remove.
struct Temporary {
    volatile uint32_t held;
    uint64_t dir_dev, dir_ino, file_ino;
    char dir[PATH_MAX];  // the directory's host path
    char name[NAME_MAX + 1];
};

// The memory the supervisor shares with its child.
struct Shared {
    Site site;
    Temporary temp;
};

Engine* g_running = nullptr;
Site* g_site = nullptr;
Temporary* g_temp = nullptr;

// Removes the temporary a dead child held: only the name in the very
// directory it was made in, and only while it is still that file.
void remove_temporary(const Temporary& t) {
    if (t.held == 0) return;
    int dir = open(t.dir, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return;
    struct stat d {
    }, f{};
    if (fstat(dir, &d) == 0 && d.st_dev == t.dir_dev && d.st_ino == t.dir_ino &&
        fstatat(dir, t.name, &f, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(f.st_mode) &&
        (t.file_ino == 0 || f.st_ino == t.file_ino)) {
        unlinkat(dir, t.name, 0);
    }
    close(dir);
}

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};

void on_crash(int sig) {
    // Best effort while dying: the engine's state may be broken, so a second
    // fault here just ends the child with the default action.
    Engine* e = g_running;
    if (e != nullptr && g_site != nullptr && g_site->known == 0) {
        uint32_t eip = e->registers().eip;
        g_site->eip = eip;
        uint32_t n = sizeof g_site->bytes;
        while (n > 0 && !e->read(eip, g_site->bytes, n)) --n;
        g_site->count = n;
        g_site->known = 1;
    }
    std::signal(sig, SIG_DFL);
    raise(sig);
}

void install_crash_handlers() {
    static std::array<char, 64 * 1024> alt_stack;
    stack_t ss{};
    ss.ss_sp = alt_stack.data();
    ss.ss_size = alt_stack.size();
    sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_handler = on_crash;
    sa.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : kCrashSignals) sigaction(sig, &sa, nullptr);
}

const char* signal_name(int sig) {
    switch (sig) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
        case SIGKILL:
            return "SIGKILL";
        case SIGTRAP:
            return "SIGTRAP";
        case SIGSYS:
            return "SIGSYS";
        default:
            return "a signal";
    }
}

uint64_t resident_bytes(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/statm", static_cast<int>(pid));
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    unsigned long long size = 0, resident = 0;
    int got = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    if (got != 2) return 0;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

// The engine's process, while it runs: the signals that end a command are
// passed on to it, so that it can say so in its trace before it ends.
volatile pid_t g_engine_process = 0;

// The signal passed on last: the child reports where its processes stood and
// ends by it; one that has not ended a while later is passed it again, which
// ends it at once.
volatile sig_atomic_t g_passed = 0;

void pass_on(int sig) {
    g_passed = sig;
    if (g_engine_process > 0) kill(g_engine_process, sig);
}

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::string where(const Site* site) {
    if (site == nullptr || site->known == 0) return "";
    char text[96];
    std::snprintf(text, sizeof text, " while running guest code at eip 0x%08x", site->eip);
    std::string out = text;
    if (site->count > 0) {
        out += " (bytes";
        for (uint32_t i = 0; i < site->count && i < 8; ++i) {
            std::snprintf(text, sizeof text, " %02x", site->bytes[i]);
            out += text;
        }
        out += ")";
    }
    return out;
}

}  // namespace

void hold_temporary(int dir, const std::string& name, uint64_t file_ino) {
    Temporary* t = g_temp;
    if (t == nullptr) return;
    t->held = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
    ssize_t n = readlink(link, t->dir, sizeof t->dir);
    struct stat st {};
    // A directory the host cannot name by a path cannot be cleaned either.
    if (n <= 0 || static_cast<size_t>(n) >= sizeof t->dir || t->dir[0] != '/' ||
        name.size() >= sizeof t->name || fstat(dir, &st) != 0) {
        return;
    }
    t->dir[n] = 0;
    std::memcpy(t->name, name.c_str(), name.size() + 1);
    t->dir_dev = st.st_dev;
    t->dir_ino = st.st_ino;
    t->file_ino = file_ino;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    t->held = 1;
}

void release_temporary() {
    if (g_temp != nullptr) g_temp->held = 0;
}

void interrupt_running_engine() {
    if (Engine* e = g_running) e->interrupt();
}

namespace {

struct Temporaries final : TemporaryKeeper {
    void hold(int dir, const std::string& name, uint64_t file_ino) override {
        hold_temporary(dir, name, file_ino);
    }
    void release() override { release_temporary(); }
};

struct Running final : RunRecord {
    void running(Engine* e) override { g_running = e; }
};

}  // namespace

TemporaryKeeper& temporaries() {
    static Temporaries t;
    return t;
}

RunRecord& run_record() {
    static Running r;
    return r;
}

RunningEngine::RunningEngine(Engine* e) : previous_(g_running) {
    g_running = e;
}

RunningEngine::~RunningEngine() {
    g_running = previous_;
}

int supervise(const std::string& who, const std::function<int()>& body, const Limits& limits) {
    void* mapped =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return body();
    auto* shared = static_cast<Shared*>(mapped);
    Site* site = &shared->site;
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    // The signals that end a command wait until they can be passed on: one
    // that came before the child was watched would end nuvemu unseen.
    sigset_t held = chld;
    for (int sig : kEndingSignals) sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, &old);
    std::fflush(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        munmap(mapped, sizeof(Shared));
        return body();
    }
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &old, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(nuv::kStatusEngine);
        g_site = site;
        g_temp = &shared->temp;
        install_crash_handlers();
        int status = body();
        std::exit(status);
    }
    g_engine_process = pid;
    struct sigaction passing {};
    passing.sa_handler = pass_on;
    sigemptyset(&passing.sa_mask);
    passing.sa_flags = SA_RESTART;
    for (int sig : kEndingSignals) sigaction(sig, &passing, nullptr);
    sigset_t ending;
    sigemptyset(&ending);
    for (int sig : kEndingSignals) sigaddset(&ending, sig);
    sigprocmask(SIG_UNBLOCK, &ending, nullptr);
    int status = 0;
    bool over_limit = false, over_time = false;
    int passed = 0;
    std::chrono::steady_clock::time_point passed_at;
    for (;;) {
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) break;
        if (got < 0 && errno != EINTR) {
            std::fprintf(stderr, "%s: lost the emulator process: %s\n", who.c_str(),
                         std::strerror(errno));
            return nuv::kStatusEngine;
        }
        if (limits.max_resident != 0 && resident_bytes(pid) > limits.max_resident) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            over_limit = true;
            break;
        }
        if (g_passed != passed) {
            passed = g_passed;
            passed_at = std::chrono::steady_clock::now();
        } else if (passed != 0 &&
                   std::chrono::steady_clock::now() - passed_at > std::chrono::seconds(2)) {
            kill(pid, passed);
            passed_at = std::chrono::steady_clock::now();
        }
        if (std::chrono::steady_clock::now() >= limits.deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            over_time = true;
            break;
        }
        timespec wait{0, 50 * 1000 * 1000};
        sigtimedwait(&chld, nullptr, &wait);
    }
    g_engine_process = 0;
    remove_temporary(shared->temp);
    for (int sig : kEndingSignals) std::signal(sig, SIG_DFL);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    int result = 0;
    if (over_limit) {
        std::fprintf(stderr, "%s: stopped: host memory limit of %llu MiB reached\n", who.c_str(),
                     static_cast<unsigned long long>(limits.max_resident >> 20));
        result = nuv::kStatusLimit;
    } else if (over_time) {
        std::fprintf(stderr, "%s: stopped: time limit reached (the run was held up past it)\n",
                     who.c_str());
        result = nuv::kStatusLimit;
    } else if (WIFEXITED(status)) {
        result = WEXITSTATUS(status);
    } else {
        int sig = WTERMSIG(status);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP || sig == SIGQUIT || sig == SIGPIPE) {
            munmap(mapped, sizeof(Shared));
            std::signal(sig, SIG_DFL);
            raise(sig);
        }
        std::fprintf(stderr, "%s: the emulator failed (%s)%s; the run is lost\n", who.c_str(),
                     signal_name(sig), where(site).c_str());
        result = nuv::kStatusEngine;
    }
    munmap(mapped, sizeof(Shared));
    return result;
}

}  // namespace nuv::containment
