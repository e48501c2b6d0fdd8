#include "in_process.hpp"

#include <sys/stat.h>

#include <algorithm>

#include "kernel.hpp"
#include "task.hpp"

namespace nuv {
namespace {

using Def = Outcome (*)(CallContext&, const SyscallArgs&);

// Whether the task's call nr is served by the kernel's own handler.
bool own_handler(const Task& t, uint32_t nr, Def own) {
    const SyscallDef* d = t.syscall(nr);
    if (d == nullptr || !d->handler) return false;
    const Def* target = d->handler.target<Def>();
    return target != nullptr && *target == own;
}

// The calls whose handler is the kernel's own.
uint32_t own_calls(const Task& t) {
    uint32_t calls = 0;
    if (own_handler(t, NUV_SYS_read, handle_read)) calls |= InProcessPolicy::kRead;
    if (own_handler(t, NUV_SYS_write, handle_write)) calls |= InProcessPolicy::kWrite;
    if (own_handler(t, NUV_SYS_lseek, handle_lseek)) calls |= InProcessPolicy::kSeek;
    return calls;
}

}  // namespace

uint64_t growth_room(std::span<const uint64_t> sizes, uint32_t max) {
    uint64_t sum = 0;
    for (uint64_t s : sizes) sum += s < max ? max - s : 0;
    return sum;
}

uint32_t file_size_limit(std::span<const uint64_t> sizes, uint64_t room, uint32_t max) {
    std::vector<uint64_t> s(sizes.begin(), sizes.end());
    std::sort(s.begin(), s.end());
    // Raise the level from the smallest file up: below s[i] only the i
    // smaller ones grow.
    uint64_t level = 0, left = room;
    size_t below = 0;
    for (;;) {
        while (below < s.size() && s[below] <= level) ++below;
        uint64_t next = below < s.size() ? std::min<uint64_t>(s[below], max) : max;
        if (next <= level) break;
        if (below == 0) {
            level = next;
            continue;
        }
        uint64_t step = (next - level) * below;
        if (step > left) {
            level += left / below;
            break;
        }
        left -= step;
        level = next;
        if (level >= max) break;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(level, max));
}

InProcessGrant in_process_grant(const Task& t, DiskBudget& budget) {
    InProcessGrant g;
    InProcessPolicy& p = g.policy;
    p.max_position = kMaxPosition;
    const Options& o = t.options();
    if (o.trace != nullptr || o.tally || o.record_traps || o.tsc) return g;
    p.calls = own_calls(t);
    if (p.calls == 0) return g;
    const auto& files = t.process().files();
    p.descriptors.resize(files.size());
    for (size_t d = 0; d < files.size(); ++d) {
        const OpenFile* f = files[d].get();
        if (f == nullptr) continue;
        OpenFile::Host h = f->host();
        struct stat st {};
        if (h.fd < 0 || fstat(h.fd, &st) != 0) continue;
        InProcessPolicy::Descriptor& out = p.descriptors[d];
        const bool regular = S_ISREG(st.st_mode);
        // Reads that never wait, and never carry a position past the
        // kernel's rule: a larger file is read through the kernel.
        out.read = h.read && regular && static_cast<uint64_t>(st.st_size) <= kMaxPosition;
        // Writes that the kernel's call would make alike: one that would
        // wait on a non-blocking descriptor fails there instead. One that
        // gives up when the run ends (HostFile) may wait in the guest's
        // process: the engine ends the run there at its end or interruption
        // wherever the guest waits, which is all the check is for.
        out.write = h.write && (regular || !f->nonblock);
        out.sized = out.write && regular;
        if (!out.read && !out.write) continue;
        out.id = f;
        out.fd = h.fd;
        if (out.sized) g.sized.push_back({h.fd, static_cast<uint64_t>(st.st_size)});
    }
    reserve(g, budget);
    return g;
}

void reserve(InProcessGrant& g, DiskBudget& budget) {
    budget.give_back(g.reserved);
    g.reserved = 0;
    if (budget.unlimited() || g.sized.empty()) {
        g.policy.max_file_size = kMaxPosition;
        return;
    }
    // Sizes as they are now: what the kernel's own calls added since is
    // theirs to charge.
    std::vector<uint64_t> sizes;
    for (InProcessGrant::Sized& s : g.sized) {
        struct stat st {};
        if (fstat(s.fd, &st) == 0) s.size = static_cast<uint64_t>(st.st_size);
        sizes.push_back(s.size);
    }
    const uint64_t room = budget.take_up_to(growth_room(sizes, kMaxPosition));
    g.policy.max_file_size = file_size_limit(sizes, room, kMaxPosition);
    g.reserved = growth_room(sizes, g.policy.max_file_size);
    budget.give_back(room - g.reserved);
}

uint64_t settle(InProcessGrant& g, DiskBudget& budget) {
    if (budget.unlimited()) return 0;
    uint64_t grown = 0;
    for (InProcessGrant::Sized& s : g.sized) {
        struct stat st {};
        if (fstat(s.fd, &st) != 0) continue;
        const uint64_t now = static_cast<uint64_t>(st.st_size);
        grown += now > s.size ? now - s.size : 0;
        s.size = now;  // charged
    }
    if (grown <= g.reserved) {
        budget.give_back(g.reserved - grown);
    } else {
        budget.spent(grown - g.reserved);
    }
    g.reserved = 0;
    return grown;
}

void Kernel::grant_in_process(Task& t) {
    if (t.loop().in_process_off) return;
    DiskBudget& budget = t.process().sandbox().budget();
    Task::LoopState::GrantBasis basis{t.process().files_changed(), own_calls(t), 0};
    const auto& files = t.process().files();
    for (size_t d = 0; d < files.size() && d < 64; ++d) {
        if (files[d] != nullptr && files[d]->nonblock) basis.nonblock |= uint64_t{1} << d;
    }
    if (!t.loop().granted || basis != t.loop().grant_basis) {
        budget.give_back(t.loop().grant.reserved);
        t.loop().grant = in_process_grant(t, budget);
        t.loop().grant_basis = basis;
        t.loop().granted = true;
    } else if (!budget.unlimited() && !t.loop().grant.sized.empty()) {
        reserve(t.loop().grant, budget);  // what the budget has left now
    } else {
        return;
    }
    if (!t.engine().in_process(t.loop().grant.policy)) {
        t.loop().in_process_off = true;
        budget.give_back(t.loop().grant.reserved);
        t.loop().grant = {};
    }
}

void Kernel::settle_in_process(Task& t) {
    if (!t.loop().in_process_off) settle(t.loop().grant, t.process().sandbox().budget());
}

}  // namespace nuv
