// The scheduler: which process runs while another waits, and what happens
// when none can.
#include <poll.h>

#include <algorithm>
#include <thread>

#include "kernel.hpp"

namespace nuv {

using Clock = std::chrono::steady_clock;

namespace {

// How long the others run, at most, before a waiting caller's debugger is
// looked at again.
constexpr std::chrono::milliseconds kAttendEvery{50};

}  // namespace

void Kernel::release_ready(Task& self, Deadline deadline) {
    if (!spawned_any()) return;
    std::vector<int32_t> pids;
    for (const auto& [pid, p] : procs_) {
        if (p.task != nullptr && p.task.get() != &self && p.task->engine().concurrent()) {
            pids.push_back(pid);
        }
    }
    for (int32_t pid : pids) {
        Task* t = process(pid);
        if (t == nullptr || (t->waiting() && !retry_pending(*t))) continue;
        release(*t, deadline);
    }
}

void Kernel::event_fds(Task& self, std::vector<int>& out) const {
    out.clear();
    for (const auto& [pid, p] : procs_) {
        if (p.task == nullptr || p.task.get() == &self) continue;
        int fd = p.task->engine().event_fd();
        if (fd >= 0) out.push_back(fd);
    }
}

bool Kernel::run_round(Task& self, Deadline deadline, Clock::duration slice, bool& timed_out) {
    bool progress = false;
    std::vector<int32_t> pids;
    for (const auto& [pid, p] : procs_) {
        if (p.task != nullptr && p.task.get() != &self && p.task.get() != first_) {
            pids.push_back(pid);
        }
    }
    for (int32_t pid : pids) {
        Task* t = process(pid);
        if (t == nullptr) continue;
        if (t->waiting() && !retry_pending(*t)) continue;
        progress = true;
        // One that runs alongside is left running: stopping it every slice
        // would break off what it does on the host meanwhile (a write into
        // a full pipe).
        const bool sliced = slice != Clock::duration::zero();
        const bool alongside = sliced && t->engine().concurrent();
        Step s = step(*t, deadline, sliced && !alongside ? Clock::now() + slice : Deadline::max(),
                      alongside ? self.debugger()->pause_fd() : -1);
        if (s.blocked || s.yielded) continue;
        const RunResult& r = s.result;
        if (r.stop == Stop::Timeout) {
            timed_out = true;
            return progress;
        }
        int32_t status = r.stop == Stop::Exited  ? r.status
                         : r.stop == Stop::Limit ? kStatusLimit
                                                 : kStatusFault;
        if (r.stop != Stop::Exited && t->options().on_child_stop) {
            t->options().on_child_stop(*this, *t, r);
        }
        end(pid, status);
    }
    return progress;
}

bool Kernel::doze(Task& self, Clock::time_point until, Deadline deadline) {
    const Clock::time_point slice = std::min(until, Clock::now() + std::chrono::milliseconds(50));
    Debugger* debugger = self.debugger();
    const int fd = debugger != nullptr && self.waiting() ? debugger->pause_fd() : -1;
    if (fd < 0) {
        std::this_thread::sleep_until(slice);
        return true;
    }
    pollfd p{fd, POLLIN, 0};
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(slice - Clock::now()).count();
    if (poll(&p, 1, static_cast<int>(std::max<int64_t>(ms, 0))) <= 0) return true;
    if (!debugger->wants_stop()) {
        // Nothing that stops it (bytes of no consequence, or a client that
        // could not be taken on, which leaves the descriptor readable): the
        // slice is slept out all the same, not spun through.
        std::this_thread::sleep_until(slice);
        return true;
    }
    // It stands after its int 0x80, the call made again when it goes on.
    const DebugEvent e{DebugEvent::Interrupted, self.engine().registers().eip, {}, {}};
    switch (debugger->stopped(self, e, deadline)) {
        case DebugGo::Timeout:
            return false;
        case DebugGo::Kill:
            self.loop().debug_kill = true;
            return true;
        case DebugGo::Step:
            // The call is the instruction stepped: the step ends with it.
            self.loop().debug_step = true;
            return true;
        case DebugGo::Continue:
        case DebugGo::Deliver:
            self.loop().debug_step = false;
            return true;
    }
    return true;
}

bool Kernel::schedule(Task& self, bool wait, Deadline deadline) {
    for (;;) {
        if (wait && retry_pending(self)) return true;
        // A debugger may ask for a caller that waits on the others: they run
        // in slices, and between them the debugger is looked at.
        const bool attended =
            wait && self.debugger() != nullptr && self.debugger()->pause_fd() >= 0;
        const Clock::duration slice = attended ? kAttendEvery : Clock::duration::zero();
        bool timed_out = false;
        bool progress = run_round(self, deadline, slice, timed_out);
        if (timed_out || Clock::now() >= deadline || self.options().cut_short()) return false;
        if (!wait) return true;
        if (progress) {
            if (attended) {
                if (!doze(self, Clock::now(), deadline)) return false;
                if (self.loop().debug_kill) return true;
            }
            continue;
        }
        if (retry_pending(self)) return true;
        // Nobody can run. Sleepers wake in time; otherwise this is a deadlock.
        std::vector<Task*> blocked;
        for (const auto& [pid, p] : procs_) {
            if (p.task != nullptr && p.task->waiting()) blocked.push_back(p.task.get());
        }
        std::optional<Clock::time_point> wake;
        for (Task* m : blocked) {
            if (m->wake_time() && (!wake || *m->wake_time() < *wake)) wake = m->wake_time();
        }
        if (wake) {
            // In slices, so that an interruption is seen.
            Clock::time_point until = std::min(*wake, deadline);
            while (Clock::now() < until && !self.options().cut_short()) {
                if (!doze(self, until, deadline)) return false;
                if (self.loop().debug_kill) return true;
            }
            if (*wake > deadline || self.options().cut_short()) return false;
            continue;
        }
        Task* victim = &self;
        for (Task* m : blocked) {
            if (m->pid() > victim->pid()) victim = m;
        }
        fail_pending(*victim, -NUV_EDEADLK);
        if (victim == &self) return true;
    }
}

}  // namespace nuv
