// nuvemu: runs a NUV-OS command image on the host.
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "containment.hpp"
#include "fault_report.hpp"
#include "core_file.hpp"
#include "gdb_server.hpp"
#include "harness.hpp"
#include "nuv_version.h"

namespace {

// Defaults that stop a runaway guest without getting in the way of real
// commands: an hour of wall-clock time, and 1 GiB of guest memory for all the
// processes together (one process maps at most its image, a 1 MiB stack and
// 64 MiB of anonymous memory).
constexpr uint64_t kDefaultTimeoutSeconds = 3600;
constexpr uint64_t kDefaultMemoryMiB = 1024;
constexpr int kMaxCores = 4;  // core files a run writes at most
constexpr uint64_t kMaxMemoryMiB = 4096;
constexpr uint64_t kMaxTimeoutSeconds = 100ull * 365 * 24 * 3600;

void usage(std::FILE* to) {
    std::fputs(
        "usage: nuvemu [options] IMAGE [ARG...]\n"
        "Runs a NUV-OS command image; IMAGE is its argument 0.\n"
        "  --trace[=FILE]   write one line per system call to standard error or FILE\n"
        "  --engine KIND    native: the guest runs as a 32-bit host process of its own;\n"
        "                   unicorn: the processor is emulated; auto (default): native\n"
        "                   where the host allows it, else unicorn. The native engine\n"
        "                   cannot start under a debugger or strace (\"Operation not\n"
        "                   permitted\").\n"
        "  --count          report the number of instructions executed on standard error\n"
        "                   (needs the emulator: auto then picks unicorn)\n"
        "  --max-insns N    stop the guest after N instructions (the same)\n"
        "  --timeout SECS   stop the run after SECS seconds of wall-clock time (default\n"
        "                   3600; 0: never)\n"
        "  --memory MIB     guest memory of all processes together, in MiB (default 1024)\n"
        "  --root DIR       the host directory the guest sees as / (default: the current\n"
        "                   directory); no guest path reaches outside it. The guest\n"
        "                   starts in the current directory when that lies inside DIR\n"
        "  --no-sleep       sleeping calls return at once instead of waiting\n"
        "  --keep-call-sites  native: never rewrite the guest's int 0x80 instructions\n"
        "                   (see the README's engines section)\n"
        "  --tsc N          RDTSC reads N, then N+1, ... (runs that repeat exactly)\n"
        "  --gdb PORT       serve the GDB remote protocol on 127.0.0.1:PORT (0: a free\n"
        "                   port); the port is told on standard error\n"
        "  --gdb-wait       with --gdb: wait for the debugger before the first instruction\n"
        "  --core FILE      a guest that faults leaves an ELF core in FILE (a spawned\n"
        "                   process: FILE.PID); none by default\n"
        "  -h, --help       show this help\n"
        "  --version        show the toolkit's version and which engines this host runs\n"
        "Exit status: the guest's exit status (low 8 bits); 124 when a limit or the timeout\n"
        "stopped it; 125 when the usage is wrong or the run cannot begin (image, root,\n"
        "trace file or engine); 126 when the emulator itself failed; 139 when the guest\n"
        "faulted. SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE end nuvemu as that signal.\n",
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

// The value of an option given as "--name VALUE" or "--name=VALUE"; nullptr
// when missing.
const char* option_value(const std::string& a, const char* name, int argc, char** argv, int& i) {
    size_t n = std::strlen(name);
    if (a == name) return i + 1 < argc ? argv[++i] : nullptr;
    return argv[i] + n + 1;
}

bool is_option(const std::string& a, const char* name) {
    size_t n = std::strlen(name);
    return a == name || (a.size() > n && a.compare(0, n, name) == 0 && a[n] == '=');
}

// When nuvemu itself is ended by a signal the trace says so, then the
// signal takes its default course. Only async-signal-safe calls here.
int g_trace_fd = -1;

void report_signal(int sig) {
    const char* text = sig == SIGINT    ? "+++ killed by SIGINT +++\n"
                       : sig == SIGTERM ? "+++ killed by SIGTERM +++\n"
                       : sig == SIGHUP  ? "+++ killed by SIGHUP +++\n"
                                        : "+++ killed by SIGQUIT +++\n";
    if (g_trace_fd >= 0) {
        ssize_t n = ::write(g_trace_fd, text, std::strlen(text));
        (void)n;
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void report_signals(std::FILE* trace) {
    g_trace_fd = fileno(trace);
}

// The first SIGINT, SIGTERM, SIGHUP or SIGQUIT ends the run as its time limit
// would, so that where every process stood is reported; then the signal
// takes its course. A second one takes it at once.
volatile std::sig_atomic_t g_interrupted = 0;

void interrupt_run(int sig) {
    if (g_interrupted != 0) {
        report_signal(sig);
        return;
    }
    g_interrupted = sig;
    nuv::containment::interrupt_running_engine();
}

void catch_interruptions() {
    struct sigaction sa {};
    sa.sa_handler = interrupt_run;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // a host call waiting for input ends, so that the run sees it
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
}

// Which engines this host runs, and why one does not.
void print_engines(std::FILE* out, const nuv::EngineSurvey& s) {
    std::fprintf(out, "engines on this host:\n");
    if (s.native) {
        std::fprintf(out, "  native   yes: the guest as a 32-bit x86 process of its own\n");
    } else {
        std::fprintf(out, "  native   no: %s\n", s.native_refusal.c_str());
    }
    const std::string emulator = "Unicorn " + s.unicorn_version;
    if (s.unicorn) {
        std::fprintf(out, "  unicorn  yes: an i386 emulated by %s\n", emulator.c_str());
    } else {
        std::fprintf(out, "  unicorn  no: %s (%s)\n", s.unicorn_refusal.c_str(), emulator.c_str());
    }
    std::fprintf(out, "  auto     runs %s\n", nuv::engine_kind_name(s.automatic()));
}

}  // namespace

int main(int argc, char** argv) {
    nuv::Options opts;
    opts.engine = nuv::EngineKind::Auto;
    uint64_t timeout_s = kDefaultTimeoutSeconds;
    uint64_t memory_mib = kDefaultMemoryMiB;
    bool count = false;
    std::string trace_path;
    bool trace = false;
    int gdb_port = -1;
    bool gdb_wait = false;
    std::string core_path;
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
        } else if (a == "--version") {
            std::printf("nuvemu (NUV-OS toolkit) %s\n", NUV_VERSION);
            print_engines(stdout, nuv::survey_engines());
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
                return nuv::kStatusUsage;
            }
            opts.tsc = start;
        } else if (is_option(a, "--engine")) {
            const char* v = option_value(a, "--engine", argc, argv, i);
            if (v == nullptr || !nuv::parse_engine_kind(v, opts.engine)) {
                std::fprintf(stderr, "nuvemu: --engine needs unicorn, native or auto\n");
                return nuv::kStatusUsage;
            }
        } else if (is_option(a, "--timeout")) {
            const char* v = option_value(a, "--timeout", argc, argv, i);
            if (v == nullptr || (std::strcmp(v, "0") != 0 && !parse_count(v, timeout_s)) ||
                timeout_s > kMaxTimeoutSeconds) {
                std::fprintf(stderr, "nuvemu: --timeout needs a whole number of seconds\n");
                return nuv::kStatusUsage;
            }
            if (std::strcmp(v, "0") == 0) timeout_s = 0;
        } else if (is_option(a, "--memory")) {
            const char* v = option_value(a, "--memory", argc, argv, i);
            if (!parse_count(v, memory_mib) || memory_mib > kMaxMemoryMiB) {
                std::fprintf(stderr, "nuvemu: --memory needs a number of MiB from 1 to %llu\n",
                             static_cast<unsigned long long>(kMaxMemoryMiB));
                return nuv::kStatusUsage;
            }
        } else if (is_option(a, "--gdb")) {
            const char* v = option_value(a, "--gdb", argc, argv, i);
            uint64_t port = 0;
            if (v == nullptr || (std::strcmp(v, "0") != 0 && !parse_count(v, port)) ||
                port > 65535) {
                std::fprintf(stderr, "nuvemu: --gdb needs a port number from 0 to 65535\n");
                return nuv::kStatusUsage;
            }
            gdb_port = static_cast<int>(port);
        } else if (a == "--gdb-wait") {
            gdb_wait = true;
        } else if (is_option(a, "--core")) {
            const char* v = option_value(a, "--core", argc, argv, i);
            if (v == nullptr || *v == 0) {
                std::fprintf(stderr, "nuvemu: --core needs a file name\n");
                return nuv::kStatusUsage;
            }
            core_path = v;
        } else if (a == "--no-sleep") {
            opts.skip_sleep = true;
        } else if (a == "--keep-call-sites") {
            opts.rewrite_sites = false;
        } else if (a == "--count") {
            count = true;
        } else if (a == "--max-insns" || a.rfind("--max-insns=", 0) == 0) {
            const char* v =
                a == "--max-insns" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 12;
            if (!parse_count(v, opts.max_instructions)) {
                std::fprintf(stderr, "nuvemu: --max-insns needs a positive whole number\n");
                return nuv::kStatusUsage;
            }
        } else if (a == "--root" || a.rfind("--root=", 0) == 0) {
            const char* v = a == "--root" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 7;
            if (v == nullptr || *v == 0) {
                std::fprintf(stderr, "nuvemu: --root needs a directory\n");
                return nuv::kStatusUsage;
            }
            opts.root = v;
        } else {
            std::fprintf(stderr, "nuvemu: unknown option %s\n", a.c_str());
            usage(stderr);
            return nuv::kStatusUsage;
        }
    }
    if (i >= argc) {
        usage(stderr);
        return nuv::kStatusUsage;
    }
    if (gdb_wait && gdb_port < 0) {
        std::fprintf(stderr, "nuvemu: --gdb-wait needs --gdb PORT\n");
        return nuv::kStatusUsage;
    }
    // The engine runs in a watched child: nuvemu ends with a message and a
    // status of its own whatever the engine does.
    nuv::containment::Limits limits;
    // Room for the guest memory the run may use, beside the engine's own.
    limits.max_resident =
        std::max<uint64_t>(limits.max_resident, (memory_mib << 20) + (uint64_t{512} << 20));
    // The run keeps to its time limit itself; this ends it a second later
    // whatever holds it up.
    if (timeout_s != 0) {
        limits.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s) +
                          std::chrono::seconds(1);
    }
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
                        return nuv::kStatusUsage;
                    }
                    opts.trace = trace_file;
                }
            }
            if (opts.trace != nullptr) report_signals(opts.trace);
            opts.interrupted = &g_interrupted;
            opts.temporaries = &nuv::containment::temporaries();
            opts.run_record = &nuv::containment::run_record();
            catch_interruptions();
            opts.count_instructions = count;
            if (opts.engine == nuv::EngineKind::Native && (count || opts.max_instructions != 0)) {
                std::fprintf(
                    stderr,
                    "nuvemu: --count and --max-insns need the emulator (--engine unicorn)\n");
                return nuv::kStatusUsage;
            }
            // The emulator asks for huge pages for its translated code; the
            // first one alone costs nuvemu's start-up most of a millisecond
            // to clear. Small pages are cleared as the code grows.
            prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
            opts.timeout_us = timeout_s * 1000000;
            opts.memory_limit = memory_mib << 20;
            std::string image = argv[i];
            std::vector<std::string> args(argv + i, argv + argc);
            opts.debugging = gdb_port >= 0;
            nuv::CoreDir core_dir;
            uint64_t core_bytes = 0;
            int cores = 0;
            if (!core_path.empty()) {
                if (nuv::Status opened = nuv::open_core_dir(core_path, core_dir); !opened) {
                    std::fprintf(stderr, "nuvemu: --core: %s\n", opened.error().message.c_str());
                    return nuv::kStatusUsage;
                }
                // At most a few cores, together no larger than the guest
                // memory of the run.
                opts.on_fault = [&](nuv::Task& m, const std::string& message) {
                    std::string file = core_dir.name;
                    if (m.pid() != 1) file += "." + std::to_string(m.pid());
                    if (cores >= kMaxCores) {
                        std::fprintf(stderr, "nuvemu: core: none for pid %d: %d written already\n",
                                     m.pid(), kMaxCores);
                        return;
                    }
                    nuv::Status written = nuv::write_core(
                        m, core_dir, file, nuv::fault_signal(message),
                        m.pid() == 1 ? image : std::string(), memory_mib << 20, core_bytes);
                    if (written) {
                        ++cores;
                        std::fprintf(stderr, "nuvemu: core written to %s%s\n", core_path.c_str(),
                                     file.substr(core_dir.name.size()).c_str());
                    } else {
                        std::fprintf(stderr, "nuvemu: core: %s\n", written.error().message.c_str());
                    }
                };
            }
            // The spawned processes' faults.
            opts.on_child_stop = [](const nuv::Kernel& k, nuv::Task& t, const nuv::RunResult& r) {
                nuv::report::stop(stderr, k, t, r);
            };
            std::unique_ptr<nuv::GdbServer> gdb;  // outlives the run that it debugs
            nuv::Result<std::unique_ptr<nuv::Harness>> loaded = nuv::Harness::open(image, opts);
            if (!loaded) {
                std::fprintf(stderr, "nuvemu: %s: %s\n", image.c_str(),
                             loaded.error().message.c_str());
                if (trace_file) std::fclose(trace_file);
                return nuv::kStatusUsage;
            }
            std::unique_ptr<nuv::Harness> m = std::move(*loaded);
            m->task().set_name(image);
            // The port is taken and told once the engine has started: a run
            // that cannot begin leaves no debugger waiting for it.
            if (gdb_port >= 0) {
                auto listening = nuv::GdbServer::listen(static_cast<uint16_t>(gdb_port));
                if (!listening) {
                    std::fprintf(stderr, "nuvemu: --gdb: %s\n", listening.error().message.c_str());
                    if (trace_file) std::fclose(trace_file);
                    return nuv::kStatusUsage;
                }
                gdb = std::move(*listening);
                gdb->wait_for_client(gdb_wait);
                std::fprintf(stderr, "nuvemu: gdb: listening on 127.0.0.1:%u\n",
                             static_cast<unsigned>(gdb->port()));
                m->task().set_debugger(gdb.get());
            }
            if (opts.trace != nullptr) {
                std::fprintf(opts.trace, "nuvemu: engine %s\n", m->engine().name());
                std::fflush(opts.trace);
            }
            nuv::RunResult r = m->run(args);
            if (count) {
                std::fprintf(stderr, "nuvemu: %llu instructions executed\n",
                             static_cast<unsigned long long>(m->instructions()));
            }
            if (g_interrupted != 0) {
                if (r.stop == nuv::Stop::Timeout || r.stop == nuv::Stop::Limit) {
                    nuv::report::stop(stderr, m->kernel(), m->task(), r);
                    nuv::report::others(stderr, m->kernel(), m->task());
                }
                std::fflush(nullptr);
                report_signal(g_interrupted);
            }
            if (trace_file) std::fclose(trace_file);
            switch (r.stop) {
                case nuv::Stop::Exited:
                    return static_cast<int>(static_cast<uint32_t>(r.status) & 0xFF);
                case nuv::Stop::Limit:
                case nuv::Stop::Timeout:
                    // Where it stood, and where every other process stands.
                    nuv::report::stop(stderr, m->kernel(), m->task(), r);
                    nuv::report::others(stderr, m->kernel(), m->task());
                    return nuv::kStatusLimit;
                default:
                    nuv::report::stop(stderr, m->kernel(), m->task(), r);
                    return nuv::kStatusFault;
            }
        },
        limits);
}
