#include "call_tally.hpp"

#include <algorithm>
#include <cinttypes>
#include <vector>

namespace nuv {

void CallTally::add(uint32_t nr, const char* name, int32_t result, std::chrono::nanoseconds took) {
    Row& r = rows_[nr];
    if (r.name.empty()) r.name = name != nullptr ? name : "syscall_" + std::to_string(nr);
    ++r.calls;
    if (result < 0) ++r.errors;
    r.time += took;
}

void CallTally::write(std::FILE* out) const {
    std::vector<const Row*> order;
    Row total;
    total.name = "total";
    for (const auto& [nr, row] : rows_) {
        order.push_back(&row);
        total.calls += row.calls;
        total.errors += row.errors;
        total.time += row.time;
    }
    std::stable_sort(order.begin(), order.end(), [](const Row* a, const Row* b) {
        return a->time != b->time ? a->time > b->time : a->calls > b->calls;
    });
    const char* rule = "------ ----------- ----------- --------- --------- ----------------\n";
    std::fprintf(out, "%% time     seconds  usecs/call     calls    errors call\n%s", rule);
    auto line = [&](const Row& r, bool per_call) {
        double share = total.time.count() > 0 ? 100.0 * static_cast<double>(r.time.count()) /
                                                    static_cast<double>(total.time.count())
                                              : 0.0;
        double seconds = static_cast<double>(r.time.count()) / 1e9;
        std::string per;
        if (per_call && r.calls > 0) {
            per = std::to_string(static_cast<uint64_t>(r.time.count()) / 1000 / r.calls);
        }
        std::string errors = r.errors != 0 ? std::to_string(r.errors) : "";
        std::fprintf(out, "%6.2f %11.6f %11s %9" PRIu64 " %9s %s\n", share, seconds, per.c_str(),
                     r.calls, errors.c_str(), r.name.c_str());
    };
    for (const Row* r : order) line(*r, true);
    std::fprintf(out, "%s", rule);
    line(total, false);
}

}  // namespace nuv
