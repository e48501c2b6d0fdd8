// nuvemu: runs a NUV-OS command image on the host.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "containment.hpp"
#include "machine.hpp"

namespace {

constexpr int kExitUsage = 125;  // bad usage, or an image that cannot be loaded
constexpr int kExitLimit = 124;  // instruction or time limit reached
constexpr int kExitFault = 139;  // the guest faulted

void usage(std::FILE* to) {
    std::fputs(
        "usage: nuvemu [options] IMAGE [ARG...]\n"
        "Runs a NUV-OS command image; IMAGE is its argument 0.\n"
        "  --trace[=FILE]   write one line per system call to standard error or FILE\n"
        "  --count          report the number of instructions executed on standard error\n"
        "  --max-insns N    stop the guest after N instructions\n"
        "  --root DIR       the host directory the guest sees as / (default: the current\n"
        "                   directory); no guest path reaches outside it\n"
        "  --no-sleep       sleeping calls return at once instead of waiting\n"
        "  --tsc N          RDTSC reads N, then N+1, ... (runs that repeat exactly)\n"
        "  -h, --help       show this help\n"
        "Exit status: the guest's exit status (low 8 bits), 124 when a limit stopped it,\n"
        "125 when the image cannot be loaded or the usage is wrong, 126 when the emulator\n"
        "itself failed, 139 when the guest faulted.\n",
        to);
}

bool parse_count(const char* text, uint64_t& out) {
    if (text == nullptr || *text == 0 || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != 0 || v == 0) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    nuv::Options opts;
    bool count = false;
    std::string trace_path;
    bool trace = false;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.empty() || a[0] != '-') break;
        if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else if (a == "--trace") {
            trace = true;
        } else if (a.rfind("--trace=", 0) == 0) {
            trace = true;
            trace_path = a.substr(8);
        } else if (a == "--tsc" || a.rfind("--tsc=", 0) == 0) {
            const char* v = a == "--tsc" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 6;
            uint64_t start = 0;
            if (v == nullptr || (std::strcmp(v, "0") != 0 && !parse_count(v, start))) {
                std::fprintf(stderr, "nuvemu: --tsc needs a whole number\n");
                return kExitUsage;
            }
            opts.tsc = start;
        } else if (a == "--no-sleep") {
            opts.skip_sleep = true;
        } else if (a == "--count") {
            count = true;
        } else if (a == "--max-insns" || a.rfind("--max-insns=", 0) == 0) {
            const char* v =
                a == "--max-insns" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 12;
            if (!parse_count(v, opts.max_instructions)) {
                std::fprintf(stderr, "nuvemu: --max-insns needs a positive whole number\n");
                return kExitUsage;
            }
        } else if (a == "--root" || a.rfind("--root=", 0) == 0) {
            const char* v = a == "--root" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 7;
            if (v == nullptr || *v == 0) {
                std::fprintf(stderr, "nuvemu: --root needs a directory\n");
                return kExitUsage;
            }
            opts.root = v;
        } else {
            std::fprintf(stderr, "nuvemu: unknown option %s\n", a.c_str());
            usage(stderr);
            return kExitUsage;
        }
    }
    if (i >= argc) {
        usage(stderr);
        return kExitUsage;
    }
    // The engine runs in a watched child: nuvemu ends with a message and a
    // status of its own whatever the engine does.
    return nuv::containment::supervise(
        std::string("nuvemu: ") + argv[i],
        [&]() -> int {
            std::FILE* trace_file = nullptr;
            if (trace) {
                if (trace_path.empty()) {
                    opts.trace = stderr;
                } else {
                    trace_file = std::fopen(trace_path.c_str(), "w");
                    if (trace_file == nullptr) {
                        std::fprintf(stderr, "nuvemu: cannot write trace file %s: %s\n",
                                     trace_path.c_str(), std::strerror(errno));
                        return kExitUsage;
                    }
                    opts.trace = trace_file;
                }
            }
            opts.count_instructions = count;
            std::string image = argv[i];
            std::vector<std::string> args(argv + i, argv + argc);
            std::string err;
            auto m = nuv::Machine::load(image, opts, err);
            if (!m) {
                std::fprintf(stderr, "nuvemu: %s: %s\n", image.c_str(), err.c_str());
                if (trace_file) std::fclose(trace_file);
                return kExitUsage;
            }
            nuv::RunResult r = m->run(args);
            if (count) {
                std::fprintf(stderr, "nuvemu: %llu instructions executed\n",
                             static_cast<unsigned long long>(m->instructions()));
            }
            if (trace_file) std::fclose(trace_file);
            switch (r.stop) {
                case nuv::Stop::Exited:
                    return static_cast<int>(static_cast<uint32_t>(r.status) & 0xFF);
                case nuv::Stop::Limit:
                case nuv::Stop::Timeout:
                    std::fprintf(stderr, "nuvemu: %s: stopped: %s\n", image.c_str(),
                                 r.message.c_str());
                    return kExitLimit;
                default:
                    std::fprintf(stderr, "nuvemu: %s: guest fault: %s\n", image.c_str(),
                                 r.message.empty() ? "the guest returned from its entry point"
                                                   : r.message.c_str());
                    return kExitFault;
            }
        },
        nuv::containment::Limits{});
}
