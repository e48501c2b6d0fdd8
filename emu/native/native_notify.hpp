// The notification path's channel (native_notify.cpp).
#pragma once

#include <sys/user.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "native_channel.hpp"

namespace nuv::native {

// While waiting_, the guest waits in the call notify_id_, and the engine's
// registers hold only the call's registers and eip; pause() brings it to a
// tracing stop with all of them, the call still unanswered.
class NotifyChannel final : public CallChannel {
  public:
    NotifyChannel(TracedProcess& process, AddressSpace& space, CallSites& sites, bool debugging)
        : CallChannel(process, space, sites), debugging_(debugging) {}
    ~NotifyChannel() override { close_all(); }

    bool direct() const override { return false; }
    int event_fd() const override { return notify_fd_; }
    Status take_over(const user_regs_struct& at) override;
    Resume answer_event(int& status, bool step) override;
    Wait wait(int& status, EngineEvent& ev, const RunLimits& limits) override {
        // Without a notification descriptor (-1, which poll passes over)
        // the guest's calls are stops like any other.
        return wait_traced(status, ev, limits, notify_fd_);
    }
    bool pause() override;
    bool release(const RunLimits& limits) override;
    // Traced, the guest is kept to a deadline by its timer.
    bool needs_timer() const override { return true; }
    bool set_registers(const Registers& r) override;
    void close_all() override {
        if (notify_fd_ >= 0) {
            close(notify_fd_);
            notify_fd_ = -1;
        }
        waiting_ = false;
    }

  private:
    bool receive(EngineEvent& ev) override;
    Resume answer(int& status);

    const bool debugging_;
    int notify_fd_ = -1;
    bool waiting_ = false;
    uint64_t notify_id_ = 0;
    Registers view_;                // what registers() showed at the notification
    std::vector<uint8_t> request_;  // the notification, as large as the kernel's
};

}  // namespace nuv::native
