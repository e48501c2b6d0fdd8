// Waiting for a native guest process: the stops and ends that SIGCHLD
// announces, each wait with its deadline, and a traced guest's next event.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "native_abi.hpp"
#include "native_channel.hpp"

namespace nuv {
namespace native {
namespace {

// How long a wait for the guest trusts that a stop will be announced.
constexpr int kStopPollMs = 100;

}  // namespace

int child_signals() {
    struct Fd {
        int fd = -1;
        Fd() {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGCHLD);
            if (pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0) {
                fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
            }
        }
        ~Fd() {
            if (fd >= 0) close(fd);
        }
    };
    thread_local Fd f;
    return f.fd;
}

void drain(int fd) {
    signalfd_siginfo info[8];
    while (::read(fd, info, sizeof info) > 0) {
    }
}

Wait CallChannel::wait_traced(int& status, EngineEvent& ev, const RunLimits& limits, int fd) {
    const std::vector<int>* others = limits.others;
    int chld = child_signals();
    // The guest's calls, its stops, then the other processes' calls.
    std::vector<pollfd> p = {{fd, POLLIN, 0}, {chld, POLLIN, 0}};
    if (others != nullptr) {
        for (int other : *others) {
            if (other >= 0 && other != fd) p.push_back({other, POLLIN, 0});
        }
    }
    for (;;) {
        if (limits.cut_short()) return Wait::Deadline;
        for (pollfd& f : p) f.revents = 0;
        // The guest's timer may have been set for an earlier deadline than
        // this run's: the wait itself keeps to the deadline too.
        int wait_ms = kStopPollMs;
        if (limits.deadline != RunLimits::Clock::time_point::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(limits.deadline -
                                                                     RunLimits::Clock::now());
            if (left.count() <= 0) return Wait::Deadline;
            wait_ms = static_cast<int>(std::min<int64_t>(left.count(), kStopPollMs));
        }
        int n = poll(p.data(), p.size(), wait_ms);
        if (n < 0 && errno != EINTR) return p_.wait_stop(status) ? Wait::Stopped : Wait::Gone;
        // A stop is looked for when SIGCHLD says there may be one, and now
        // and then in case another thread took the signal.
        bool look = n == 0;
        if (n > 0 && chld >= 0 && p[1].revents != 0) {
            drain(chld);
            look = true;
        }
        if (look) {
            if (std::optional<Wait> w = check_child(status)) return *w;
        }
        if (n <= 0) continue;
        if ((p[0].revents & POLLIN) && receive(ev)) return Wait::Event;
        // Nobody is left to notify: the guest is gone or about to be.
        if (p[0].revents & (POLLHUP | POLLERR)) {
            return p_.wait_stop(status) ? Wait::Stopped : Wait::Gone;
        }
        // Another process's call, or its end: the scheduler goes to it.
        for (size_t i = 2; i < p.size(); ++i) {
            if (p[i].revents != 0) return Wait::Others;
        }
    }
}

std::optional<Wait> CallChannel::check_child(int& status) {
    pid_t r = waitpid(p_.pid(), &status, __WALL | WNOHANG);
    if (r == p_.pid()) {
        if (!WIFEXITED(status) && !WIFSIGNALED(status)) return Wait::Stopped;
        p_.lost();
        return Wait::Gone;
    }
    if (r < 0 && errno != EINTR) {
        p_.lost();
        status = kNoStatus;
        return Wait::Gone;
    }
    return std::nullopt;
}

bool CallChannel::pause_by(RunLimits::Clock::time_point until, int& status) {
    return p_.pid() > 0 && syscall(SYS_tgkill, p_.pid(), p_.pid(), kInterrupt) == 0 &&
           p_.wait_stop(status, until) && p_.load_regs();
}

}  // namespace native

}  // namespace nuv
