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

#include "binfmt.hpp"
#include "containment.hpp"
#include "fault_report.hpp"
#include "core_file.hpp"
#include "coverage.hpp"
#include "gdb_server.hpp"
#include "harness.hpp"
#include "nuv_version.h"
#include "options.hpp"
#include "profile_report.hpp"
#include "sandbox.hpp"

namespace {

constexpr int kMaxCores = 4;  // core files a run writes at most

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

// The profile files, opened before the run so that one that cannot be
// written stops the run before it begins.
struct ProfileFiles {
    std::vector<std::pair<std::string, std::FILE*>> files;
    ~ProfileFiles() {
        for (auto& [path, f] : files) std::fclose(f);
    }
    bool open(const std::vector<std::string>& paths) {
        for (const std::string& path : paths) {
            std::FILE* f = std::fopen(path.c_str(), "w");
            if (f == nullptr) {
                std::fprintf(stderr, "nuvemu: cannot write profile file %s: %s\n", path.c_str(),
                             std::strerror(errno));
                return false;
            }
            files.emplace_back(path, f);
        }
        return true;
    }
    void write(const nuv::Profile& p) {
        if (p.mixed()) {
            std::fprintf(stderr,
                         "nuvemu: profile: processes ran on different engines; weights mix "
                         "instructions and time\n");
        }
        if (p.cut() != 0) {
            std::fprintf(stderr,
                         "nuvemu: profile: %llu of %llu samples kept only their innermost frame: "
                         "an image had more than %zu different call stacks\n",
                         static_cast<unsigned long long>(p.cut()),
                         static_cast<unsigned long long>(p.samples()), p.max_stacks());
        }
        for (auto& [path, f] : files) {
            const std::string text =
                nuv::report::profile_text(p, nuv::report::profile_format(path));
            if (std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fflush(f) != 0) {
                std::fprintf(stderr, "nuvemu: cannot write profile file %s: %s\n", path.c_str(),
                             std::strerror(errno));
            }
        }
    }
};

// Paths outside the root are told on standard error as the run meets them;
// the command's own arguments are looked at first, from the host's current
// directory, as the user who typed them meant them.
void tell_outside_paths(nuv::Sandbox& sandbox, const std::vector<std::string>& args) {
    sandbox.notes().set_sink(
        [](const std::string& text) { std::fprintf(stderr, "nuvemu: %s\n", text.c_str()); });
    char* here = ::getcwd(nullptr, 0);
    if (here == nullptr) return;
    const std::string cwd(here);
    std::free(here);
    for (size_t a = 1; a < args.size(); ++a) {
        if (args[a].empty() || args[a][0] == '-') continue;  // an option, not a path
        sandbox.note_argument(args[a], nuv::path_text::join(cwd, args[a]));
    }
}

}  // namespace

int main(int argc, char** argv) {
    nuv::cli::Settings s;
    switch (nuv::cli::parse_command_line(argc, argv, s)) {
        case nuv::cli::Action::Run:
            break;
        case nuv::cli::Action::Help:
            nuv::cli::usage(stdout);
            return 0;
        case nuv::cli::Action::Version:
            std::printf("nuvemu (NUV-OS toolkit) %s\n", NUV_VERSION);
            nuv::cli::print_engines(stdout, nuv::survey_engines());
            return 0;
        case nuv::cli::Action::Binfmt:
            return nuv::cli::binfmt::command(s.binfmt_verb, s.binfmt_name, stdout, stderr);
        case nuv::cli::Action::Usage:
            return nuv::kStatusUsage;
    }
    nuv::Options& opts = s.opts;
    const int i = s.image;
    const uint64_t timeout_s = s.timeout_s, memory_mib = s.memory_mib;
    const bool count = s.count, trace = s.trace, gdb_wait = s.gdb_wait;
    const bool gdb_keep_fault = s.gdb_keep_fault;
    const int gdb_port = s.gdb_port;
    const std::string& trace_path = s.trace_path;
    const std::string& core_path = s.core_path;
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
            std::FILE* summary = nullptr;
            if (s.summary) {
                summary = s.summary_path.empty() ? stderr : std::fopen(s.summary_path.c_str(), "w");
                if (summary == nullptr) {
                    std::fprintf(stderr, "nuvemu: cannot write summary file %s: %s\n",
                                 s.summary_path.c_str(), std::strerror(errno));
                    if (trace_file) std::fclose(trace_file);
                    return nuv::kStatusUsage;
                }
                opts.tally = std::make_shared<nuv::CallTally>();
            }
            ProfileFiles profile_files;
            if (!s.profile_paths.empty()) {
                if (!profile_files.open(s.profile_paths)) {
                    if (summary != nullptr && summary != stderr) std::fclose(summary);
                    if (trace_file) std::fclose(trace_file);
                    return nuv::kStatusUsage;
                }
                const uint64_t every = s.profile_every;
                opts.profile = std::make_shared<nuv::Profile>(
                    every != 0 ? every : nuv::Profile::kEveryInstructions,
                    every != 0 ? std::chrono::microseconds(every) : nuv::Profile::kEveryTime);
            }
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
                opts.on_fault = [&](nuv::Task& m, const nuv::GuestFault& fault) {
                    std::string file = core_dir.name;
                    if (m.pid() != 1) file += "." + std::to_string(m.pid());
                    if (cores >= kMaxCores) {
                        std::fprintf(stderr, "nuvemu: core: none for pid %d: %d written already\n",
                                     m.pid(), kMaxCores);
                        return;
                    }
                    nuv::Status written = nuv::write_core(
                        m, core_dir, file, nuv::fault_signal(fault),
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
            // A command built with --coverage leaves its counts beside its
            // objects as each of its processes ends.
            opts.on_end = [](nuv::Task& t) { nuv::coverage::save(t, stderr); };
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
                gdb->keep_faults(gdb_keep_fault);
                std::fprintf(stderr, "nuvemu: gdb: listening on 127.0.0.1:%u\n",
                             static_cast<unsigned>(gdb->port()));
                m->task().set_debugger(gdb.get());
            }
            if (opts.trace != nullptr) {
                std::fprintf(opts.trace, "nuvemu: engine %s\n", m->engine().name());
                std::fflush(opts.trace);
            }
            tell_outside_paths(m->sandbox(), args);
            nuv::RunResult r = m->run(args);
            if (opts.profile) {
                m->kernel().finish_profile();
                profile_files.write(*opts.profile);
            }
            if (summary != nullptr) {
                opts.tally->write(summary);
                if (summary != stderr) std::fclose(summary);
            }
            // A run that wrote up to its disk budget is told why its writes
            // failed; the guest itself saw only a full disk.
            if (m->disk_budget().used_up()) {
                std::fprintf(stderr, "nuvemu: disk budget of %llu bytes used up under %s\n",
                             static_cast<unsigned long long>(m->disk_budget().limit()),
                             m->sandbox().host_root().c_str());
            }
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
