// What the Unicorn engine's own files share (unicorn_*.cpp): its watching
// thread and a helper or two. Not for use outside the engine.
#pragma once

#include <unicorn/unicorn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "unicorn_engine.hpp"

namespace nuv {

inline uint32_t eip_of(uc_engine* uc) {
    uint32_t eip = 0;
    uc_reg_read(uc, UC_X86_REG_EIP, &eip);
    return eip;
}

// The watching thread, one per engine that has run. While guest code runs
// it stops the emulator at the run's deadline (Unicorn's own timeout would
// start a thread at every uc_emu_start and keep it polling while the guest
// stands at a trap). Every kTranslationCheck, where the buffer is found, it
// looks at the translated code: past the limit it asks for the cache to be
// emptied at the next trap; a guest that makes no call is stopped where it
// stands once the buffer holds half as much again. Stopping a run from
// outside is what Unicorn's own timer does, but it is not safe for every
// guest: it is kept for the deadline and for the case that would otherwise
// crash.
struct UnicornEngine::Watch {
    using Clock = RunLimits::Clock;

    explicit Watch(UnicornEngine& e);
    ~Watch();

    // Guest code is about to run, or may: under `deadline`, until left().
    // After entering() the caller looks at the clock itself: a deadline that
    // passed before goes unseen here.
    void entering(Clock::time_point deadline);
    void left() { running_.store(false); }

    std::atomic<bool> wanted{false};  // the cache is to be emptied

  private:
    void loop();

    UnicornEngine& e_;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::atomic<bool> running_{false};
    std::atomic<Clock::rep> deadline_{Clock::time_point::max().time_since_epoch().count()};
    std::thread thread_;
};

}  // namespace nuv
