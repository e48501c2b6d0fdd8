// nuvemu's command line: its options read into the run's settings, the help
// text, and the sizes and counts the options take.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine_factory.hpp"
#include "task.hpp"

namespace nuv::cli {

// Defaults that stop a runaway guest without getting in the way of real
// commands: an hour of wall-clock time, 1 GiB of guest memory for all the
// processes together (one process maps at most its image, a 1 MiB stack and
// 64 MiB of anonymous memory), and 1 GiB added to the files under the root:
// far more than a command of this system writes (a file written in pieces is
// held in 64 MiB), and little beside an ordinary host disk, or the memory of
// a root on a file system held in memory.
constexpr uint64_t kDefaultTimeoutSeconds = 3600;
constexpr uint64_t kDefaultMemoryMiB = 1024;
constexpr uint64_t kDefaultDiskBytes = uint64_t{1} << 30;
constexpr uint64_t kMaxMemoryMiB = 4096;
constexpr uint64_t kMaxTimeoutSeconds = 100ull * 365 * 24 * 3600;

// Everything the command line sets.
struct Settings {
    Options opts;  // engine, limits, root, ... (the run adds its services)
    uint64_t timeout_s = kDefaultTimeoutSeconds;
    uint64_t memory_mib = kDefaultMemoryMiB;
    bool count = false;
    bool trace = false;
    std::string trace_path;  // empty: standard error
    bool summary = false;
    std::string summary_path;  // empty: standard error
    // Profiles written at the end, each in the format its name asks for
    // (report::profile_format), sampled every profile_every instructions or
    // microseconds (0: the defaults of profile.hpp).
    std::vector<std::string> profile_paths;
    uint64_t profile_every = 0;
    int gdb_port = -1;  // -1: no debugger
    bool gdb_wait = false;
    bool gdb_keep_fault = false;  // a faulting guest waits for the debugger
    std::string core_path;
    int image = 0;                      // the index in argv of IMAGE, argument 0 of the guest
    std::string binfmt_verb;            // --binfmt: register, unregister or status
    std::string binfmt_name = "nuvos";  // --binfmt: the rule's name
};

// What the command line asks for.
enum class Action {
    Run,      // run the image (Settings::image)
    Help,     // show the help on standard output
    Version,  // show the version and the engines
    Binfmt,   // register, unregister or show the binfmt_misc rule
    Usage,    // wrong usage, already told on standard error
};

// Reads argv into s (starting from the defaults). A usage error is told on
// standard error, the help included where no option explains it.
Action parse_command_line(int argc, char** argv, Settings& s);

// The help; on standard output (--help, the manual page) with the examples.
void usage(std::FILE* to);
void examples(std::FILE* to);

// A whole number above 0, in decimal.
bool parse_count(const char* text, uint64_t& out);

// A number of bytes, with K, M or G (either case) for KiB, MiB or GiB, or
// "none" for no limit (DiskBudget::kUnlimited); 0 is a budget of nothing.
bool parse_size(const char* text, uint64_t& out);

// Which engines this host runs, and why one does not.
void print_engines(std::FILE* out, const EngineSurvey& s);

}  // namespace nuv::cli
