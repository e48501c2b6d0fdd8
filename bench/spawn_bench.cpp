// Prints how long a guest takes to spawn a child that prints one line, read
// that line through a pipe and wait for the child: the pipeline test command
// run with the hello command, many times over.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernel.hpp"
#include "harness.hpp"

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    if (rounds <= 0) rounds = 200;
    std::string dir = NUV_IMAGE_DIR;
    nuv::Options o;
    o.capture_output = true;
    o.input = std::string();
    // Timed without instruction counting, which slows emulation.
    o.count_instructions = false;
    std::vector<double> run_us, load_us;
    uint64_t parent_insns = 0;
    for (int i = 0; i < rounds; ++i) {
        std::string err;
        auto t0 = std::chrono::steady_clock::now();
        auto m = nuv::Harness::load(dir + "/pipeline", o, err);
        auto t1 = std::chrono::steady_clock::now();
        if (!m) {
            std::fprintf(stderr, "spawn_bench: %s\n", err.c_str());
            return 1;
        }
        m->kernel().set_image_resolver(
            [&](nuv::Task&, const std::string& path, std::vector<uint8_t>& image) {
                return nuv::Kernel::read_image(dir + "/" + path.substr(path.rfind('/') + 1), image);
            });
        nuv::RunResult r = m->run({"pipeline", "/bin/hello", "one line"});
        auto t2 = std::chrono::steady_clock::now();
        if (r.stop != nuv::Stop::Exited ||
            m->output() != "child said: one line\nchild 2 ended with 0\n") {
            std::fprintf(stderr, "spawn_bench: unexpected run: %s %s\n", r.message.c_str(),
                         m->output().c_str());
            return 1;
        }
        load_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        run_us.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    auto report = [](const char* what, std::vector<double> v) {
        std::sort(v.begin(), v.end());
        double sum = 0;
        for (double x : v) sum += x;
        std::printf("%-44s median %8.1f us  mean %8.1f us  min %8.1f us\n", what, v[v.size() / 2],
                    sum / static_cast<double>(v.size()), v.front());
    };
    std::printf("%d rounds\n", rounds);
    report("load the parent image (for comparison)", load_us);
    report("parent run: spawn + pipe read + waitpid", run_us);
    // One more run, counted, for the parent's own instruction figure.
    o.count_instructions = true;
    std::string err;
    auto m = nuv::Harness::load(dir + "/pipeline", o, err);
    if (m) {
        m->kernel().set_image_resolver(
            [&](nuv::Task&, const std::string& path, std::vector<uint8_t>& image) {
                return nuv::Kernel::read_image(dir + "/" + path.substr(path.rfind('/') + 1), image);
            });
        m->run({"pipeline", "/bin/hello", "one line"});
        parent_insns = m->instructions();
    }
    std::printf("parent instructions per run: %llu\n",
                static_cast<unsigned long long>(parent_insns));
    std::printf("largest number of live guest processes: %d\n", nuv::Kernel::kMaxProcesses);
    return 0;
}
