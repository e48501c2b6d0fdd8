// nuvemu's command line (options.hpp).
#include "options.hpp"

#include <sys/auxv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sandbox.hpp"

namespace nuv::cli {
namespace {

// The value of an option given as "--name VALUE" or "--name=VALUE"; nullptr
// when missing.
const char* option_value(const std::string& a, const char* name, int argc, char** argv, int& i) {
    size_t n = std::strlen(name);
    if (a == name) return i + 1 < argc ? argv[++i] : nullptr;
    return argv[i] + n + 1;
}

// Whether `first` is the name nuvemu's process was executed under: started
// by the host kernel for an image run by name (a binfmt_misc rule), nuvemu is
// handed that name, the image's, as its first argument.
bool executed_as(const char* first) {
    const auto* executed = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    return executed != nullptr && std::strcmp(executed, first) == 0;
}

bool is_option(const std::string& a, const char* name) {
    size_t n = std::strlen(name);
    return a == name || (a.size() > n && a.compare(0, n, name) == 0 && a[n] == '=');
}

}  // namespace

void usage(std::FILE* to) {
    std::fputs(
        "usage: nuvemu [options] IMAGE [ARG...]\n"
        "       nuvemu --binfmt register|unregister|status [NAME]\n"
        "Runs a NUV-OS command image; IMAGE is its argument 0.\n"
        "  --trace[=FILE]   write one line per system call to standard error or FILE\n"
        "  --call-times     with --trace: each line ends with the call's time in seconds,\n"
        "                   from the trap to the answer (a call that waits counts its\n"
        "                   wait), as <0.000012>\n"
        "  --summary[=FILE]  at the end of the run, a table of the calls of every\n"
        "                   process: how many, how many failed, their time in all and\n"
        "                   per call, the costliest first; to standard error or FILE\n"
        "  --profile FILE   record where the run spends its time, with whole call stacks,\n"
        "                   for every process, and write it to FILE at the end: a flame\n"
        "                   graph for FILE.svg, a callgrind file for FILE.callgrind or\n"
        "                   callgrind.out.*, else collapsed stacks (\"main;f;g 120\" per\n"
        "                   line). Weights are instructions under unicorn (exact totals)\n"
        "                   and nanoseconds of running time under native. May be given\n"
        "                   more than once, to write several formats from one run\n"
        "  --profile-every N  a sample every N instructions (unicorn, default 20000) or\n"
        "                   every N microseconds (native, default 1000)\n"
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
        "  --disk-budget SIZE  what all processes together may add to the files under the\n"
        "                   root, in bytes or with K, M or G (default 1G; none: no\n"
        "                   limit). A write past it writes what fits, then fails as on\n"
        "                   a full disk; nuvemu then says so at the end of the run\n"
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
        "  --gdb-keep-fault  with --gdb: a guest that faults stays at the fault, waiting\n"
        "                   for the debugger, instead of ending the run\n"
        "  --core FILE      a guest that faults leaves an ELF core in FILE (a spawned\n"
        "                   process: FILE.PID); none by default\n"
        "  -h, --help       show this help\n"
        "  --version        show the toolkit's version and which engines this host runs\n"
        "  --binfmt register|unregister|status [NAME]\n"
        "                   as root: have the host kernel run NUV-OS images by name\n"
        "                   (./wc file) under this nuvemu, through a binfmt_misc rule\n"
        "                   NAME (default nuvos) that matches only the headers the\n"
        "                   toolkit links; the root is then the current directory\n"
        "A command built with nuvos-cc --coverage adds its counts, as each of its\n"
        "processes ends, to the .gcda files beside its objects (only beside the .gcno\n"
        "files of the same compilation, never through a link), for gcov.\n"
        "Environment: GCOV_PREFIX and GCOV_PREFIX_STRIP move those files as for host\n"
        "programs.\n"
        "Exit status: the guest's exit status (low 8 bits); 124 when a limit or the timeout\n"
        "stopped it; 125 when the usage is wrong or the run cannot begin (image, root,\n"
        "trace file or engine); 126 when the emulator itself failed; 139 when the guest\n"
        "faulted, or its address sanitizer (nuvos-cc -fsanitize=address) stopped it and\n"
        "nuvemu reported what it found. SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE end\n"
        "nuvemu as that signal.\n"
        "\n"
        "The sandbox: the guest sees the root as / and nothing outside it. A path that\n"
        "fails because it lies outside the root (a .. above it, or a host path that is not\n"
        "under it) is named on standard error, once; the guest still sees only its error.\n"
        "The root is the current directory unless --root says otherwise, wherever the\n"
        "command runs: by hand, by name, or as a test of the kit's CMake helpers (the\n"
        "test's working directory; -DNUVOS_TEST_ROOT=DIR sets another). A command thus\n"
        "reaches only the tree it runs in, and a test's command line does the same\n"
        "when run by hand in its directory.\n",
        to);
    if (to == stdout) examples(to);
}

void examples(std::FILE* to) {
    std::fputs(
        "\n"
        "Examples: a command that faults, and its report:\n"
        "  $ nuvemu ./crash null-read\n"
        "  nuvemu: ./crash: guest fault: null-pointer read: read of unmapped memory at 0x00000000 "
        "(eip 0x00400283)\n"
        "      #0 0x00400283 sum+0x16 (crash.c:24)\n"
        "      #1 0x0040006a main+0x4c (crash.c:61)\n"
        "      #2 0x00400014 _start+0x14\n"
        "  $ echo $?\n"
        "  139\n"
        "\n"
        "A core of the fault, read by gdb with the image for its symbols:\n"
        "  $ nuvemu --core core ./crash null-write\n"
        "  nuvemu: core written to core\n"
        "  ...\n"
        "  $ gdb -q ./crash core\n"
        "  Program terminated with signal SIGSEGV, Segmentation fault.\n"
        "  #0  0x0040029e in store (p=0x0, v=v@entry=7) at crash.c:29\n"
        "  (gdb) bt\n"
        "\n"
        "A gdb session: nuvemu waits for the debugger, which connects to the port told:\n"
        "  $ nuvemu --gdb 1234 --gdb-wait ./wc words.txt &\n"
        "  nuvemu: gdb: listening on 127.0.0.1:1234\n"
        "  $ gdb -q ./wc -ex 'target remote 127.0.0.1:1234' -ex 'break main' -ex continue\n"
        "gdb sees a command built with -g as a Linux process on either engine: breakpoints,\n"
        "steps, up to four watchpoints (watch, rwatch, awatch; the stop comes after the\n"
        "instruction that made the access), Ctrl-C, and with --gdb-keep-fault a fault that\n"
        "waits for the debugger:\n"
        "  (gdb) watch counter                       # then continue; Ctrl-C stops it anywhere\n"
        "  $ nuvemu --gdb 1234 --gdb-keep-fault ./crash null-read   # then gdb, target remote, bt\n"
        "\n"
        "The sandbox: data above the current directory is outside the root, until the\n"
        "root takes it in:\n"
        "  $ cd ~/proj/build && nuvemu ./wc ../data/words.txt\n"
        "  nuvemu: \"../data/words.txt\" lies outside the sandbox root /home/u/proj/build; --root "
        "DIR sets the root\n"
        "  wc: ../data/words.txt: no such file\n"
        "  $ nuvemu --root .. ./wc ../data/words.txt\n"
        "\n"
        "Running images by name (once, as root; the root is then the current directory):\n"
        "  # nuvemu --binfmt register\n"
        "  $ ./wc words.txt\n"
        "\n"
        "A flame graph that a browser shows and a file for call-graph viewers, from one\n"
        "run of a command built with -g (functions and source lines):\n"
        "  $ nuvemu --engine unicorn --profile sort.svg --profile sort.callgrind ./sort data\n"
        "  $ nuvemu --profile sort.folded ./sort data    (collapsed stacks, sampled by time)\n"
        "\n"
        "Coverage: which lines ran, over two runs, with gcov:\n"
        "  $ nuvos-cc --coverage -g -O0 -c counted.c\n"
        "  $ nuvos-cc --coverage -o counted counted.o\n"
        "  $ nuvemu ./counted 7 spawn; nuvemu ./counted 7\n"
        "  $ gcov counted.c\n"
        "  File 'counted.c'\n"
        "  Lines executed:93.75% of 16\n",
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

bool parse_size(const char* text, uint64_t& out) {
    if (text == nullptr) return false;
    if (std::strcmp(text, "none") == 0) {
        out = DiskBudget::kUnlimited;
        return true;
    }
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0) return false;
    int shift = 0;
    switch (*end) {
        case 0:
            break;
        case 'K':
        case 'k':
            shift = 10;
            break;
        case 'M':
        case 'm':
            shift = 20;
            break;
        case 'G':
        case 'g':
            shift = 30;
            break;
        default:
            return false;
    }
    if (shift != 0 && end[1] != 0) return false;
    // A size that does not fit is not taken for "none".
    if (v > (DiskBudget::kUnlimited - 1) >> shift) return false;
    out = static_cast<uint64_t>(v) << shift;
    return true;
}

// Which engines this host runs, and why one does not.
void print_engines(std::FILE* out, const EngineSurvey& s) {
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
    std::fprintf(out, "  auto     runs %s\n", engine_kind_name(s.automatic()));
}

Action parse_command_line(int argc, char** argv, Settings& s) {
    Options& opts = s.opts;
    opts.engine = EngineKind::Auto;
    opts.disk_limit = kDefaultDiskBytes;
    int i = 1;
    // An image run by name is the image even when its name starts with '-'
    // (executed as "-x", without a directory).
    const bool by_name = argc > 1 && argv[1][0] == '-' && executed_as(argv[1]);
    for (; i < argc && !by_name; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a.empty() || a[0] != '-') break;
        if (a == "-h" || a == "--help") {
            return Action::Help;
        } else if (a == "--binfmt") {
            // The whole command line: --binfmt VERB [NAME].
            if (i != 1 || argc < 3 || argc > 4) {
                std::fprintf(stderr,
                             "nuvemu: usage: nuvemu --binfmt register|unregister|status "
                             "[NAME]\n");
                return Action::Usage;
            }
            s.binfmt_verb = argv[2];
            if (argc == 4) s.binfmt_name = argv[3];
            return Action::Binfmt;
        } else if (a == "--version") {
            return Action::Version;
        } else if (a == "--trace") {
            s.trace = true;
        } else if (a.rfind("--trace=", 0) == 0) {
            s.trace = true;
            s.trace_path = a.substr(8);
        } else if (a == "--call-times") {
            s.opts.call_times = true;
        } else if (a == "--summary") {
            s.summary = true;
        } else if (a.rfind("--summary=", 0) == 0) {
            s.summary = true;
            s.summary_path = a.substr(10);
        } else if (is_option(a, "--profile")) {
            const char* v = option_value(a, "--profile", argc, argv, i);
            if (v == nullptr || *v == 0) {
                std::fprintf(stderr, "nuvemu: --profile needs a file name\n");
                return Action::Usage;
            }
            s.profile_paths.emplace_back(v);
        } else if (is_option(a, "--profile-every")) {
            const char* v = option_value(a, "--profile-every", argc, argv, i);
            if (!parse_count(v, s.profile_every) || s.profile_every > 1000000000) {
                std::fprintf(stderr,
                             "nuvemu: --profile-every needs a whole number from 1 to 1e9\n");
                return Action::Usage;
            }
        } else if (a == "--tsc" || a.rfind("--tsc=", 0) == 0) {
            const char* v = a == "--tsc" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 6;
            uint64_t start = 0;
            if (v == nullptr || (std::strcmp(v, "0") != 0 && !parse_count(v, start))) {
                std::fprintf(stderr, "nuvemu: --tsc needs a whole number\n");
                return Action::Usage;
            }
            opts.tsc = start;
        } else if (is_option(a, "--engine")) {
            const char* v = option_value(a, "--engine", argc, argv, i);
            if (v == nullptr || !parse_engine_kind(v, opts.engine)) {
                std::fprintf(stderr, "nuvemu: --engine needs unicorn, native or auto\n");
                return Action::Usage;
            }
        } else if (is_option(a, "--timeout")) {
            const char* v = option_value(a, "--timeout", argc, argv, i);
            if (v == nullptr || (std::strcmp(v, "0") != 0 && !parse_count(v, s.timeout_s)) ||
                s.timeout_s > kMaxTimeoutSeconds) {
                std::fprintf(stderr, "nuvemu: --timeout needs a whole number of seconds\n");
                return Action::Usage;
            }
            if (std::strcmp(v, "0") == 0) s.timeout_s = 0;
        } else if (is_option(a, "--memory")) {
            const char* v = option_value(a, "--memory", argc, argv, i);
            if (!parse_count(v, s.memory_mib) || s.memory_mib > kMaxMemoryMiB) {
                std::fprintf(stderr, "nuvemu: --memory needs a number of MiB from 1 to %llu\n",
                             static_cast<unsigned long long>(kMaxMemoryMiB));
                return Action::Usage;
            }
        } else if (is_option(a, "--disk-budget")) {
            const char* v = option_value(a, "--disk-budget", argc, argv, i);
            if (!parse_size(v, opts.disk_limit)) {
                std::fprintf(stderr,
                             "nuvemu: --disk-budget needs a number of bytes, with K, M or G for "
                             "KiB, MiB or GiB, or none\n");
                return Action::Usage;
            }
        } else if (is_option(a, "--gdb")) {
            const char* v = option_value(a, "--gdb", argc, argv, i);
            uint64_t port = 0;
            if (v == nullptr || (std::strcmp(v, "0") != 0 && !parse_count(v, port)) ||
                port > 65535) {
                std::fprintf(stderr, "nuvemu: --gdb needs a port number from 0 to 65535\n");
                return Action::Usage;
            }
            s.gdb_port = static_cast<int>(port);
        } else if (a == "--gdb-wait") {
            s.gdb_wait = true;
        } else if (a == "--gdb-keep-fault") {
            s.gdb_keep_fault = true;
        } else if (is_option(a, "--core")) {
            const char* v = option_value(a, "--core", argc, argv, i);
            if (v == nullptr || *v == 0) {
                std::fprintf(stderr, "nuvemu: --core needs a file name\n");
                return Action::Usage;
            }
            s.core_path = v;
        } else if (a == "--no-sleep") {
            opts.skip_sleep = true;
        } else if (a == "--keep-call-sites") {
            opts.rewrite_sites = false;
        } else if (a == "--count") {
            s.count = true;
        } else if (a == "--max-insns" || a.rfind("--max-insns=", 0) == 0) {
            const char* v =
                a == "--max-insns" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 12;
            if (!parse_count(v, opts.max_instructions)) {
                std::fprintf(stderr, "nuvemu: --max-insns needs a positive whole number\n");
                return Action::Usage;
            }
        } else if (a == "--root" || a.rfind("--root=", 0) == 0) {
            const char* v = a == "--root" ? (i + 1 < argc ? argv[++i] : nullptr) : argv[i] + 7;
            if (v == nullptr || *v == 0) {
                std::fprintf(stderr, "nuvemu: --root needs a directory\n");
                return Action::Usage;
            }
            opts.root = v;
        } else {
            std::fprintf(stderr, "nuvemu: unknown option %s\n", a.c_str());
            usage(stderr);
            return Action::Usage;
        }
    }
    if (i >= argc) {
        usage(stderr);
        return Action::Usage;
    }
    if ((s.gdb_wait || s.gdb_keep_fault) && s.gdb_port < 0) {
        std::fprintf(stderr, "nuvemu: %s needs --gdb PORT\n",
                     s.gdb_wait ? "--gdb-wait" : "--gdb-keep-fault");
        return Action::Usage;
    }
    s.image = i;
    return Action::Run;
}

}  // namespace nuv::cli
