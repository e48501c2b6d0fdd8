#include "code_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace nuv {
namespace {

constexpr uintptr_t kMinSize = uintptr_t{16} << 20;
// The emulator's entry and exit code sits at the start of the buffer and
// lives as long as the buffer.
constexpr uintptr_t kKept = uintptr_t{64} << 10;

std::set<std::pair<uintptr_t, uintptr_t>> code_mappings() {
    std::set<std::pair<uintptr_t, uintptr_t>> out;
    std::FILE* f = std::fopen("/proc/self/maps", "r");
    if (f == nullptr) return out;
    char line[512];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        unsigned long long begin = 0, end = 0;
        char perms[8] = {};
        if (std::sscanf(line, "%llx-%llx %7s", &begin, &end, perms) == 3 &&
            std::strcmp(perms, "rwxp") == 0 && end - begin >= kMinSize) {
            out.emplace(static_cast<uintptr_t>(begin), static_cast<uintptr_t>(end));
        }
        // A line longer than the buffer: skip its rest.
        while (std::strchr(line, '\n') == nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        }
    }
    std::fclose(f);
    return out;
}

}  // namespace

CodeBuffer CodeBuffer::find_around(const std::function<bool()>& make, bool& made) {
    static std::mutex one_at_a_time;
    std::lock_guard<std::mutex> lock(one_at_a_time);
    auto before = code_mappings();
    made = make();
    CodeBuffer b;
    if (!made) return b;
    int added = 0;
    for (const auto& m : code_mappings()) {
        if (before.count(m) != 0) continue;
        ++added;
        b.begin_ = m.first;
        b.end_ = m.second;
    }
    if (added != 1) b = CodeBuffer();
    return b;
}

uint64_t CodeBuffer::used() const {
    if (!found()) return 0;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    unsigned char resident[4096];
    uint64_t pages = 0;
    for (uintptr_t at = begin_; at < end_;) {
        uintptr_t n = (end_ - at) / page;
        if (n > sizeof resident) n = sizeof resident;
        if (n == 0) break;
        if (mincore(reinterpret_cast<void*>(at), n * page, resident) != 0) return 0;
        uint64_t here = 0;
        for (uintptr_t i = 0; i < n; ++i) here += resident[i] & 1;
        // The buffer fills from its start: past a stretch with nothing in
        // it, nothing has been written yet.
        if (here == 0) break;
        pages += here;
        at += n * page;
    }
    return pages * page;
}

void CodeBuffer::release() {
    if (size() <= kKept) return;
    madvise(reinterpret_cast<void*>(begin_ + kKept), size() - kKept, MADV_DONTNEED);
}

}  // namespace nuv
