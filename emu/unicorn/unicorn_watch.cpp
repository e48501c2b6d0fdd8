// The Unicorn engine's watching thread: the run's deadline and the buffer of
// translated code (see unicorn_internal.hpp).
#include <algorithm>

#include "unicorn_internal.hpp"

namespace nuv {
namespace {

// Past the deadline, how often a run that has not come back is asked again
// to stop (a stop asked just before the emulator starts is lost).
constexpr std::chrono::milliseconds kStopAgain{1};

}  // namespace

UnicornEngine::Watch::Watch(UnicornEngine& e) : e_(e) {
    thread_ = std::thread([this] { loop(); });
}

UnicornEngine::Watch::~Watch() {
    {
        std::lock_guard<std::mutex> lock(m_);
        done_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void UnicornEngine::Watch::entering(Clock::time_point deadline) {
    const Clock::rep d = deadline.time_since_epoch().count();
    // The thread is woken only for a new deadline: most runs go on under the
    // one the last run had, which it already waits for.
    if (d != deadline_.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(m_);
        deadline_.store(d);
        cv_.notify_one();
    }
    // Before the caller reads the clock: either the thread sees the run, or
    // the caller sees that the deadline has passed.
    running_.store(true);
}

void UnicornEngine::Watch::loop() {
    std::unique_lock<std::mutex> lock(m_);
    Clock::time_point next_look = Clock::now() + kTranslationCheck;
    while (!done_) {
        const Clock::time_point now = Clock::now();
        if (now >= next_look) {
            next_look = now + kTranslationCheck;
            const uint64_t used = e_.code_.found() ? e_.code_.used() : 0;
            if (e_.code_.found() && used >= e_.code_limit_.load()) {
                wanted = true;
                if (used >= e_.code_limit_.load() / 2 * 3) e_.ask_stop();
            }
        }
        Clock::time_point wake = next_look;
        const Clock::time_point deadline{Clock::duration(deadline_.load())};
        if (now < deadline) {
            wake = std::min(wake, deadline);
        } else if (running_.load()) {
            e_.ask_stop();
            wake = std::min(wake, now + kStopAgain);
        }
        cv_.wait_until(lock, wake);
    }
}

}  // namespace nuv
