// Sampling the call stacks of a run's processes (profile.hpp).
#include "profile.hpp"

#include "instrumentation.hpp"
#include "task.hpp"

namespace nuv {

bool Profile::attach(Task& t) {
    if (!t.engine().counts()) return false;
    Instrumentation* in = t.engine().instrumentation();
    if (in == nullptr) return false;
    Task* task = &t;
    return in->sample_every(every_instructions_, [this, task](uint32_t eip) {
        const uint64_t n = task->engine().instructions();
        sample(*task, n - task->loop().profiled, Unit::Instructions, eip);
        task->loop().profiled = n;
    });
}

Profile::Root& Profile::root_of(Task& t) {
    const std::string& name = t.name().empty() ? std::string("image") : t.name();
    auto [it, added] = index_.emplace(name, roots_.size());
    if (added) {
        Root r;
        r.name = name;
        r.symbols = Symbols::load(t.image().bytes);
        roots_.push_back(std::move(r));
    }
    return roots_[it->second];
}

void Profile::sample(Task& t, uint64_t weight, Unit unit, std::optional<uint32_t> eip) {
    if (weight == 0) return;
    if (!any_) {
        any_ = true;
        unit_ = unit;
    } else if (unit != unit_) {
        mixed_ = true;
    }
    Root& r = root_of(t);
    Registers regs = t.engine().registers();
    if (eip) regs.eip = *eip;
    std::vector<Symbols::Frame> frames = r.symbols->unwind(
        regs,
        [&t](uint32_t address, void* out, size_t n) { return t.memory().peek(address, out, n); },
        kMaxFrames, false);
    std::vector<uint32_t> pcs;
    pcs.reserve(frames.size());
    for (const Symbols::Frame& f : frames) pcs.push_back(f.pc);
    if (pcs.empty()) pcs.push_back(regs.eip);
    ++r.samples;
    if (pcs.size() > 1 && r.stacks.size() >= max_stacks_ && !r.stacks.contains(pcs)) {
        pcs.erase(pcs.begin() + 1, pcs.end());  // the innermost frame only
        ++r.cut;
    }
    r.stacks[pcs] += weight;
}

void Profile::finish(Task& t) {
    Task::LoopState& l = t.loop();
    if (t.engine().counts()) {
        const uint64_t n = t.engine().instructions();
        sample(t, n - l.profiled, Unit::Instructions);
        l.profiled = n;
    } else {
        sample(t, static_cast<uint64_t>(l.profile_owed.count()), Unit::Nanoseconds);
        l.profile_owed = {};
    }
}

uint64_t Profile::total() const {
    uint64_t sum = 0;
    for (const Root& r : roots_) {
        for (const auto& [stack, w] : r.stacks) sum += w;
    }
    return sum;
}

uint64_t Profile::cut() const {
    uint64_t sum = 0;
    for (const Root& r : roots_) sum += r.cut;
    return sum;
}

uint64_t Profile::samples() const {
    uint64_t sum = 0;
    for (const Root& r : roots_) sum += r.samples;
    return sum;
}

}  // namespace nuv
