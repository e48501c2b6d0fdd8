// The direct call path's channel (native_direct.cpp; the page: direct_call.h).
#pragma once

#include <signal.h>
#include <sys/user.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "direct_call.h"
#include "native_channel.hpp"

namespace nuv::native {

// The guest, untraced, posts its calls and signals on the call page; while
// in_handler_ it waits in its handler for the answer to post taken_ (the
// post is NUV_POST_TAKEN, direct_call.h), and
// the engine's registers hold its registers. traced_: attached since the
// engine last let go.
class DirectChannel final : public CallChannel {
  public:
    using CallChannel::CallChannel;
    ~DirectChannel() override { close_all(); }

    bool make_page(int& page_fd);
    // The socket that hands descriptors over: the stub's end (-1: none).
    int make_socket();
    void in_process(const InProcessPolicy& policy) override;
    bool runs_in_process() const override { return in_process_; }
    int wake_fd() const { return wake_fd_; }

    bool direct() const override { return page_ != nullptr; }
    int event_fd() const override;
    Status take_over(const user_regs_struct& at) override;
    Resume answer_event(int& status, bool step) override;
    Wait wait(int& status, EngineEvent& ev, const RunLimits& limits) override;
    bool pause() override;
    bool pause_by(RunLimits::Clock::time_point until, int& status) override {
        return traced_ ? CallChannel::pause_by(until, status) : pause_untraced(until);
    }
    bool release(const RunLimits& limits) override;
    // Untraced, the guest keeps to the deadline through the kernel's waits,
    // which are bounded by it.
    bool needs_timer() const override { return false; }
    siginfo_t posted_signal() const override { return signal_; }
    std::string killed_note(int signal) const override;
    void close_all() override;

  private:
    // How long after an answer the engine watches the page for the next post
    // before it sleeps, and how many rounds a handler waits for its answer
    // before it sleeps: only where guest and engine can run at once, and only
    // while the other side is on a processor. A spin for a side without one
    // (asleep, or waiting for a processor, as when every processor is busy)
    // only keeps it off, so each side sleeps at once unless it knows better:
    // the handler while the engine watches or is serving its post, or has just
    // been woken by it; the engine only after answering a handler that waited
    // on a processor of its own (it counted rounds while the engine served:
    // `beat`), and only while the last post came within kWatch of the answer
    // before it.
    static constexpr auto kWatch = std::chrono::microseconds(60);
    static constexpr uint32_t kHandlerRounds = 2048;
    // si_code of a SIGSYS that a filter raised.
    static constexpr int kSysSeccomp = 1;
    static constexpr uint32_t kTrapFlag = 0x100;

    // What a post became: an event for run()'s caller, nothing (the guest
    // runs on), or a signal it now stands stopped at (signal_).
    enum class Post { Event, Running, Signal };
    // A word of the call page, as the other side may be writing it.
    static uint32_t load(const uint32_t& word) { return __atomic_load_n(&word, __ATOMIC_ACQUIRE); }
    static void store(uint32_t& word, uint32_t v) { __atomic_store_n(&word, v, __ATOMIC_SEQ_CST); }
    // The post's state (direct_call.h), from the handler's seq and the
    // engine's own copies of what it wrote.
    bool posted() const {
        return page_ != nullptr &&
               nuv_post_state(load(page_->seq), taken_, done_) == NUV_POST_POSTED;
    }
    // The engine takes the post; it answers it.
    void mark_taken() {
        taken_ = load(page_->seq);
        store(page_->taken, taken_);
    }
    void mark_answered() {
        done_ = taken_;
        store(page_->done, done_);
    }
    // Reads the wake-ups the event descriptor holds, to none.
    static void drain_wakes(int fd);
    Wait wait_direct(int& status, const RunLimits& limits);
    Wait seen();
    Post take_post(EngineEvent& ev);
    void read_post(uint32_t& signo, uint32_t& code, uint32_t& addr, uint32_t& nr, uint32_t& arch);
    Post call_post(EngineEvent& ev, uint32_t site);
    bool sited_call(uint32_t signo, uint32_t& site);
    Post null_call(EngineEvent& ev);
    // The guest left its handler, traced, and stands where the signal was
    // raised.
    Post stopped_at(int signo, int code, uint32_t addr);
    void answer_direct();
    void move_off();
    bool detach();
    bool attach(RunLimits::Clock::time_point until);
    bool leave_handler();
    bool pause_untraced(RunLimits::Clock::time_point until);
    bool send_descriptor(int fd, uint32_t slot);
    void lose_descriptors();
    bool set_limits(uint32_t max_position, uint32_t max_size);

    nuv_call_page* page_ = nullptr;  // the call page, mapped here too
    int wake_fd_ = -1;               // the guest's wake-ups
    bool traced_ = true;
    bool in_handler_ = false;
    uint32_t taken_ = 0, done_ = 0;  // as last written on the page
    siginfo_t signal_{};
    // Calls in the guest's process (native_inprocess.cpp): the descriptors
    // installed there and the limits set.
    struct Installed {
        const void* id = nullptr;
        int fd = -1;
        uint8_t flags = 0;
    };
    int sock_ = -1;
    bool in_process_ = false;
    Installed installed_[NUV_DIRECT_FD_COUNT];
    uint32_t file_size_limit_ = 0;  // the process's RLIMIT_FSIZE, as the stub set it
    // When the guest last went on from its handler; whether the engine
    // watches the page for its next post; the handler's `beat` when the
    // engine took the post it serves.
    RunLimits::Clock::time_point answered_{};
    bool watch_ = true;
    uint32_t beat_ = 0;
};

}  // namespace nuv::native
