// The engine that emulates an i386 in this process, with Unicorn; Capstone
// decodes instructions for counting them and for finding RDTSC.
//
// The emulator runs on a fiber of its own (fiber.hpp). At a trap its hook
// leaves the fiber, and run() returns EngineStop::Trap with the emulator
// suspended inside the hook; the next run() goes back into the hook and the
// guest goes on, as if uc_emu_start had never returned. Starting Unicorn
// anew costs microseconds (it drops the translated blocks at every exit of
// the instruction guard); a switch costs nanoseconds.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "code_buffer.hpp"
#include "engine.hpp"
#include "fiber.hpp"
#include "instrumentation.hpp"
#include "translation_budget.hpp"

struct uc_struct;

namespace nuv {

namespace guard {
class UnicornGuard;
}

class UnicornEngine : public Engine, public Instrumentation {
  public:
    // nullptr when the emulator cannot start. With count_instructions the
    // engine counts every instruction (and honours max_instructions); with
    // debugging, int3 and single steps end a run (see engine.hpp), at the
    // price of a hook on every instruction.
    static std::unique_ptr<UnicornEngine> create(bool count_instructions, bool debugging = false);
    ~UnicornEngine() override;
    // The emulator library's version, as "2.0.1".
    static std::string library_version();
    UnicornEngine(const UnicornEngine&) = delete;
    UnicornEngine& operator=(const UnicornEngine&) = delete;

    const char* name() const override { return "unicorn"; }
    bool map(uint32_t begin, uint32_t size, uint32_t perms) override;
    bool protect(uint32_t begin, uint32_t size, uint32_t perms) override;
    bool unmap(uint32_t begin, uint32_t size) override;
    bool read(uint32_t address, void* out, size_t n) override;
    bool write(uint32_t address, const void* data, size_t n) override;
    Registers registers() override;
    void set_registers(const Registers& r) override;
    void set_eax(uint32_t v) override;
    void reset_fpu() override;
    std::array<uint8_t, 10> st0() override;
    EngineEvent run(const RunLimits& limits) override;
    void interrupt() override;
    bool set_watchpoints(std::span<const Watchpoint> w) override;
    bool counts() const override { return disasm_ != 0; }
    uint64_t instructions() const override { return insns_; }
    Instrumentation* instrumentation() override { return this; }

    void watch_exec(uint32_t address) override;
    uint64_t exec_count(uint32_t address) const override;
    void watch_reads(uint32_t begin, uint32_t end) override;
    uint64_t watched_reads() const override { return reads_; }
    void fix_tsc(uint64_t start, const std::vector<std::pair<uint32_t, uint32_t>>& code) override;
    bool sample_every(uint64_t every, std::function<void(uint32_t)> take) override;

    // Translated code is bounded: once the code made since the cache was last
    // emptied reaches `bytes`, the cache is emptied and the guest goes on.
    // Use is read off the emulator's buffer by a watching thread, and by
    // run() when `every` has passed since the last look; where the buffer
    // cannot be found it is estimated from every new block instead.
    static constexpr uint64_t kTranslationLimit = uint64_t{256} << 20;
    static constexpr std::chrono::microseconds kTranslationCheck{100000};
    void set_translation_limit(uint64_t bytes, std::chrono::microseconds every) {
        code_limit_ = bytes;
        budget_.set_limit(bytes);
        check_every_ = every;
    }
    bool measures_translation() const { return code_.found(); }
    uint64_t translated_bytes() const { return code_.found() ? code_.used() : budget_.estimate(); }
    uint64_t translation_flushes() const { return flushes_; }

  private:
    UnicornEngine() = default;
    void install_hooks();
    // The run loop (unicorn_run.cpp). What the fiber does when entered:
    // start the emulator at start_eip_, let a suspended guest go on, stop it
    // where it stands at its trap, or end for good.
    enum class Order { Start, Go, End, Quit };
    static void fiber_body(void* self);
    bool enter(Order order);
    // Ends a run suspended at its trap; the guest stands after the trap.
    void end_suspended();
    // The fiber, in the interrupt hook at a trap: true when the guest goes on.
    bool suspend_at_trap();
    // Stops the run from outside it (interrupt(), the watch).
    void ask_stop();
    bool enter_user_mode();
    // Shows the guard the bytes of every executable run that meets [begin, end).
    void rescan(uint64_t begin, uint64_t end);
    bool executable(uint32_t page) const;
    // Records the permissions of [begin, begin + size) (none: unmapped),
    // counting the pages both writable and executable (slow_path.hpp).
    void set_perms(uint32_t begin, uint32_t size, std::optional<uint32_t> perms);
    // Drops the translated blocks of the code in [begin, end).
    void drop_code(uint64_t begin, uint64_t end);
    void empty_translation_cache();
    struct Watch;
    struct Hooks;

    uc_struct* uc_ = nullptr;
    std::unique_ptr<guard::UnicornGuard> guard_;
    std::map<uint32_t, uint32_t> perms_;  // page -> permissions of every mapped page
    int64_t writable_code_pages_ = 0;     // of them, writable and executable at once
    size_t disasm_ = 0;                   // Capstone handle, 0 when not counting
    bool hooks_installed_ = false;
    std::unique_ptr<Fiber> fiber_;
    Order order_ = Order::Start;
    RunRecord* record_ = nullptr;  // told while guest code runs in this thread
    bool suspended_ = false;       // the fiber stands in the interrupt hook at a trap
    uint32_t start_eip_ = 0;       // where the next started run begins
    uint32_t run_until_ = 0;       // the return address of the run in the fiber
    int ended_error_ = 0;          // how the last started run ended: uc_err, and
    bool ended_refused_ = false;   // whether at a refused instruction
    // Stops asked from outside the run (interrupt(), the watch), and their
    // count when the run in the fiber began.
    std::atomic<uint64_t> stops_asked_{0};
    uint64_t stops_at_start_ = 0;
    // What stopped the current run.
    bool trapped_ = false, limit_hit_ = false, cache_full_ = false;
    // Debugging: whether the engine stops at int3 and steps; the current
    // run's step (armed, its first instruction seen, done); a step that
    // ended at an unserved trap and is over.
    bool debugging_ = false;
    bool breakpoint_ = false;
    bool step_armed_ = false, step_begun_ = false, stepped_ = false;
    bool step_owed_ = false;
    // Debugging: the watchpoints; one whose access was seen in the running
    // instruction (the run stops before the next), and one that stopped the
    // run. The run's pause descriptor, looked at every kPauseLook
    // instructions, and whether it stopped the run.
    std::vector<Watchpoint> watchpoints_;
    bool watch_pending_ = false, watched_ = false;
    Watchpoint watch_hit_;
    static constexpr uint32_t kPauseLook = 1024;
    int pause_fd_ = -1;
    uint32_t pause_countdown_ = kPauseLook;
    bool paused_ = false;
    // The guest's fault in this run (kind None: none); a memory fault's
    // eip is set at the run's end, where EIP stands on its instruction.
    GuestFault fault_;
    uint64_t max_insns_ = 0;
    uint64_t insns_ = 0;
    // Samples every sample_every_ instructions (0: none), the next once
    // insns_ reaches next_sample_.
    uint64_t sample_every_ = 0, next_sample_ = 0;
    std::function<void(uint32_t)> sampler_;
    // Translated code: measured in the buffer, or estimated where it is not
    // found (then every block is seen by a hook).
    CodeBuffer code_;
    TranslationBudget budget_{kTranslationLimit};
    std::atomic<uint64_t> code_limit_{kTranslationLimit};
    std::chrono::microseconds check_every_ = kTranslationCheck;
    std::chrono::steady_clock::time_point checked_{};
    uint64_t flushes_ = 0;
    std::unique_ptr<Watch> watch_;
    std::map<uint64_t, uint32_t> block_counts_;
    std::map<uint32_t, uint64_t> exec_counts_;
    bool watch_reads_ = false;
    uint32_t reads_begin_ = 0, reads_end_ = 0;
    uint64_t reads_ = 0;
    std::vector<uint32_t> rdtsc_;
    bool tsc_fixed_ = false, tsc_pending_ = false;
    uint64_t tsc_next_ = 0;
};

}  // namespace nuv
