// Where a run spends its time: the call stacks of every process, sampled as
// it runs, each sample weighed by what ran since the one before.
//
// An engine that counts instructions is sampled from inside its run every
// kEveryInstructions instructions and a sample weighs the instructions
// counted since the last; the weights of a process add up to exactly the
// instructions it ran. Other engines are sampled by time: the kernel cuts a
// process's runs into slices of kEveryTime of running time and a sample
// weighs the guest's running time since the last, in nanoseconds (the time
// the kernel spends serving calls is not the guest's). Samples are grouped
// by process image; report::write_profile (emu/debug) names their places.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "symbols.hpp"

namespace nuv {

class Task;

class Profile {
  public:
    enum class Unit { Instructions, Nanoseconds };
    static constexpr uint64_t kEveryInstructions = 20000;
    static constexpr std::chrono::nanoseconds kEveryTime = std::chrono::microseconds(1000);
    // The deepest stack a sample keeps (the outermost frames are cut off).
    static constexpr size_t kMaxFrames = 128;
    // The most whole stacks an image keeps; past them, a sample whose stack
    // is new keeps only its innermost frame, so that the memory a profile
    // takes stays bounded by the stacks and the code, not by the run's time.
    static constexpr size_t kMaxStacks = size_t{1} << 16;

    // The samples of one image's processes.
    struct Root {
        std::string name;  // the image, as reports name it
        std::shared_ptr<const Symbols> symbols;
        // Stacks of addresses, innermost first (the return addresses of
        // the callers), and their weights.
        std::map<std::vector<uint32_t>, uint64_t> stacks;
        uint64_t samples = 0;
        uint64_t cut = 0;  // of them, cut to their innermost frame (kMaxStacks)
    };

    explicit Profile(uint64_t every_instructions = kEveryInstructions,
                     std::chrono::nanoseconds every_time = kEveryTime,
                     size_t max_stacks = kMaxStacks)
        : every_instructions_(every_instructions),
          every_time_(every_time),
          max_stacks_(max_stacks) {}

    uint64_t every_instructions() const { return every_instructions_; }
    std::chrono::nanoseconds every_time() const { return every_time_; }

    // Sets up the task's sampling when its engine samples itself (one that
    // counts instructions); false when the kernel must slice its runs.
    // Before the task's first run.
    bool attach(Task& t);
    // One sample of the task where it stands, of this weight (0: none);
    // at eip when given, else where its registers say.
    void sample(Task& t, uint64_t weight, Unit unit, std::optional<uint32_t> eip = std::nullopt);
    // What the task ran since its last sample, at the place it stands: at
    // its end, or the run's.
    void finish(Task& t);

    // The roots in the order of their first samples.
    const std::vector<Root>& roots() const { return roots_; }
    // The unit of the weights; mixed when processes were weighed both ways
    // (engines chosen per process), and then the first process's counts.
    Unit unit() const { return unit_; }
    bool mixed() const { return mixed_; }
    uint64_t total() const;
    uint64_t samples() const;
    uint64_t cut() const;
    size_t max_stacks() const { return max_stacks_; }

  private:
    Root& root_of(Task& t);

    uint64_t every_instructions_;
    std::chrono::nanoseconds every_time_;
    size_t max_stacks_;
    std::vector<Root> roots_;
    std::map<std::string, size_t> index_;
    Unit unit_ = Unit::Instructions;
    bool any_ = false, mixed_ = false;
};

}  // namespace nuv
