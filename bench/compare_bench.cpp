// The engines side by side, printed (not a test): the same workloads run as a
// static 32-bit host program, under nuvemu with each engine, and under
// qemu-i386 when it is installed. Each figure is the best wall time of a few
// whole runs in milliseconds, start-up included (the first row shows it); the
// last column is Unicorn's time over qemu-i386's.
//   compare_bench [RUNS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Args = std::vector<std::string>;

// Wall time of one run with its output thrown away, in milliseconds; unset
// when it could not start or did not end with status 0.
std::optional<double> run_once(const Args& args, const std::string& input = "") {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (!input.empty()) posix_spawn_file_actions_addopen(&fa, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int e = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (e != 0) return std::nullopt;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return ms;
}

// The best of `runs` wall times; unset when a run fails.
std::optional<double> best_of(int runs, const Args& args, const std::string& input = "") {
    std::optional<double> best;
    for (int i = 0; i < runs; ++i) {
        std::optional<double> ms = run_once(args, input);
        if (!ms) return std::nullopt;
        best = std::min(best.value_or(*ms), *ms);
    }
    return best;
}

std::string shown(std::optional<double> ms) {
    if (!ms) return "fails";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", *ms);
    return buf;
}

bool on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return true;
        at = end + 1;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 3;
    if (runs <= 0) runs = 3;
    const std::string nuvemu = NUV_BIN_DIR "/nuvemu", images = NUV_IMAGE_DIR;
    const std::string guest = images + "/benchwork", host = NUV_HOST_WORKLOAD;
    const std::string ver = images + "/ver";

    // A nuvemu without --engine runs Unicorn only.
    bool engines = run_once({nuvemu, "--engine", "unicorn", ver}).has_value();
    bool qemu = on_path("qemu-i386");
    auto under = [&](const char* engine, Args rest) -> std::optional<Args> {
        Args a = {nuvemu};
        if (engines) {
            a.insert(a.end(), {"--engine", engine});
        } else if (std::strcmp(engine, "unicorn") != 0) {
            return std::nullopt;
        }
        a.insert(a.end(), {"--root", images});
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    };

    // Inputs of the rows that read: 50,000 bytes, 10 MB of lines of which
    // about a third repeat the line before, and 13.5 MB of 45-byte lines.
    char dir_template[] = "/tmp/compare_bench.XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) {
        std::perror("compare_bench: mkdtemp");
        return 1;
    }
    const std::string echo_in = std::string(dir) + "/echo", uniq_in = std::string(dir) + "/uniq";
    const std::string blocks_in = std::string(dir) + "/blocks";
    {
        std::string bytes, lines, long_text;
        for (int i = 0; i < 50000; ++i)
            bytes += static_cast<char>(i % 61 == 60 ? '\n' : 'a' + i % 26);
        for (unsigned i = 0; lines.size() < 10000000; ++i) {
            std::string line = "line " + std::to_string(i / 3 * 3 + (i % 3 == 2)) +
                               " of some text a command reads\n";
            lines += line;
        }
        for (unsigned i = 0; i < 300000; ++i) {
            std::string line = "line " + std::to_string(i) + " of a long text read in blocks";
            line.resize(44, '.');
            long_text += line + "\n";
        }
        for (auto [path, text] : {std::pair{&echo_in, &bytes}, std::pair{&uniq_in, &lines},
                                  std::pair{&blocks_in, &long_text}}) {
            std::FILE* f = std::fopen(path->c_str(), "w");
            if (f == nullptr || std::fwrite(text->data(), 1, text->size(), f) != text->size() ||
                std::fclose(f) != 0) {
                std::perror("compare_bench: input");
                return 1;
            }
        }
    }

    struct Row {
        const char* name;
        Args host, guest;
        std::string input = {};
    };
    const Row rows[] = {
        {"start-up of ver", {host, "ver"}, {ver}},
        {"20,000 memcpy of 4 KiB", {host, "memcpy"}, {guest, "memcpy"}},
        {"20,000 copies of 4 KiB by words", {host, "words"}, {guest, "words"}},
        {"80 MB byte stores, histogram", {host, "bytes"}, {guest, "bytes"}},
        {"10,000 printf lines", {host, "printf"}, {guest, "printf"}},
        {"10^8 register-only iterations", {host, "loop"}, {guest, "loop"}},
        {"5 merge sorts of 200,000", {host, "sort"}, {guest, "sort"}},
        {"100,000 no-op kernel calls", {host, "calls"}, {guest, "calls"}},
        {"50,000 bytes echoed one by one", {host, "echo"}, {guest, "echo"}, echo_in},
        {"uniq of 10 MB with fgets", {host, "uniq"}, {guest, "uniq"}, uniq_in},
        {"13.5 MB read in 64 KiB blocks", {host, "blocks"}, {guest, "blocks"}, blocks_in},
        {"spawn and join of a child", {host, "spawn", host}, {guest, "spawn", "/benchwork"}},
    };
    std::printf("best of %d runs, ms, start-up included\n", runs);
    std::printf("%-32s %10s %16s %16s %10s %14s\n", "workload", "native", "nuvemu native",
                "nuvemu unicorn", "qemu-i386", "unicorn/qemu");
    for (const Row& r : rows) {
        std::optional<Args> native_engine = under("native", r.guest);
        std::optional<Args> unicorn = under("unicorn", r.guest);
        Args q = {"qemu-i386"};
        q.insert(q.end(), r.host.begin(), r.host.end());
        std::string host_ms = shown(best_of(runs, r.host, r.input));
        std::string native_ms =
            native_engine ? shown(best_of(runs, *native_engine, r.input)) : "n/a";
        std::optional<double> unicorn_ms, qemu_ms;
        if (unicorn) unicorn_ms = best_of(runs, *unicorn, r.input);
        if (qemu) qemu_ms = best_of(runs, q, r.input);
        std::string ratio = "-";
        if (unicorn_ms && qemu_ms && *qemu_ms > 0) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.2f", *unicorn_ms / *qemu_ms);
            ratio = buf;
        }
        std::printf("%-32s %10s %16s %16s %10s %14s\n", r.name, host_ms.c_str(), native_ms.c_str(),
                    unicorn ? shown(unicorn_ms).c_str() : "n/a",
                    qemu ? shown(qemu_ms).c_str() : "absent", ratio.c_str());
        std::fflush(stdout);
    }
    std::remove(echo_in.c_str());
    std::remove(uniq_in.c_str());
    std::remove(blocks_in.c_str());
    rmdir(dir);
    if (!engines) std::printf("(this nuvemu has one engine, Unicorn)\n");
    std::printf("(under qemu-i386 the spawned child runs natively)\n");
    return 0;
}
