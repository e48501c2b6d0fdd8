// The scheduler: which process runs while another waits, and what happens
// when none can.
#include <algorithm>
#include <thread>

#include "kernel.hpp"

namespace nuv {

using Clock = std::chrono::steady_clock;

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

bool Kernel::run_round(Task& self, Deadline deadline, bool& timed_out) {
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
        Step s = step(*t, deadline);
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

bool Kernel::schedule(Task& self, bool wait, Deadline deadline) {
    for (;;) {
        if (wait && retry_pending(self)) return true;
        bool timed_out = false;
        bool progress = run_round(self, deadline, timed_out);
        if (timed_out || Clock::now() >= deadline || self.options().cut_short()) return false;
        if (!wait) return true;
        if (progress) continue;
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
                std::this_thread::sleep_until(
                    std::min(until, Clock::now() + std::chrono::milliseconds(50)));
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
