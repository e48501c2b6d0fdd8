// Prints what profiling costs (nuvemu --profile): the hot test command run
// plain and profiled, on each engine, the best wall time of RUNS runs each,
// and the profiled run's samples. Under Unicorn the plain run counts its
// instructions too (a profile needs the count): that cost is shown apart.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "harness.hpp"
#include "kernel.hpp"

namespace {

struct Timed {
    double ms = 0;  // best of the runs
    uint64_t samples = 0;
    bool ok = false;
};

Timed best(nuv::Options o, int runs, const std::string& rounds) {
    Timed t;
    t.ms = 1e30;
    for (int i = 0; i < runs; ++i) {
        if (o.profile) o.profile = std::make_shared<nuv::Profile>(*o.profile);
        std::string err;
        auto m = nuv::Harness::load(std::string(NUV_IMAGE_DIR) + "/hot", o, err);
        if (!m) {
            std::printf("  cannot load: %s\n", err.c_str());
            return t;
        }
        const auto t0 = std::chrono::steady_clock::now();
        nuv::RunResult r = m->run({"hot", rounds});
        if (o.profile) m->kernel().finish_profile();
        const auto t1 = std::chrono::steady_clock::now();
        if (r.stop != nuv::Stop::Exited || r.status != 0) {
            std::printf("  the run failed: %s\n", r.message.c_str());
            return t;
        }
        t.ms = std::min(t.ms, std::chrono::duration<double, std::milli>(t1 - t0).count());
        if (o.profile) t.samples = o.profile->samples();
    }
    t.ok = true;
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1]) : 5;
    std::printf("hot ROUNDS under nuvemu, best of %d runs\n", runs);
    for (nuv::EngineKind kind : {nuv::EngineKind::Unicorn, nuv::EngineKind::Native}) {
        const bool unicorn = kind == nuv::EngineKind::Unicorn;
        const std::string rounds = unicorn ? "400" : "4000";
        std::printf("%s (hot %s):\n", nuv::engine_kind_name(kind), rounds.c_str());
        nuv::Options o;
        o.engine = kind;
        o.capture_output = true;
        const Timed plain = best(o, runs, rounds);
        if (!plain.ok) continue;
        std::printf("  %-36s %9.1f ms\n", "plain", plain.ms);
        if (unicorn) {
            o.count_instructions = true;
            const Timed counted = best(o, runs, rounds);
            std::printf("  %-36s %9.1f ms  %+6.1f%%\n", "counting instructions", counted.ms,
                        100 * (counted.ms / plain.ms - 1));
            o.count_instructions = false;
        }
        const uint64_t periods[] = {unicorn ? nuv::Profile::kEveryInstructions : uint64_t{1000},
                                    unicorn ? uint64_t{2000} : uint64_t{200}};
        for (uint64_t every : periods) {
            o.profile = std::make_shared<nuv::Profile>(every, std::chrono::microseconds(every));
            const Timed p = best(o, runs, rounds);
            if (!p.ok) continue;
            char what[64];
            std::snprintf(what, sizeof what, "profiled every %llu %s",
                          static_cast<unsigned long long>(every), unicorn ? "insns" : "us");
            std::printf("  %-36s %9.1f ms  %+6.1f%%  %llu samples\n", what, p.ms,
                        100 * (p.ms / plain.ms - 1), static_cast<unsigned long long>(p.samples));
        }
    }
    return 0;
}
