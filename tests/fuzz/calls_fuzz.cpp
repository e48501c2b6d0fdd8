// Kernel calls made by a guest with arguments the input chooses: paths,
// pointers at the edges of the guest's memory and ranges that wrap past 4 GiB.
// The emulator must answer every call, and the files next to the sandbox root
// (canaries) must stay as they were.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "edge_buffer.h"
#include "harness.hpp"

namespace {

constexpr uint32_t kCode = 0x00400000, kData = 0x00401000, kDataSize = 0x2000;
constexpr uint32_t kEntry = kCode + 0x40;
constexpr int kMaxCalls = 48;

struct Call {
    uint32_t nr;
    const char* kinds;
};
#define NUV_FUZZ_CALL_(name, nr, kinds) {nr, kinds},
const Call kCalls[] = {NUV_CALLS(NUV_FUZZ_CALL_){7, "xxx"}, {200, "xxx"}};
#undef NUV_FUZZ_CALL_

// A guest function f(nr, ebx, ecx, edx, esi, edi, ebp) that makes the call and
// returns its result; the entry point exits with status 7 (for spawned copies).
std::vector<uint8_t> image() {
    std::vector<uint8_t> b(0x3000, 0);
    auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); };
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); };
    const uint8_t ident[] = {0x7f, 'E', 'L', 'F', 1, 1, 1};
    std::memcpy(b.data(), ident, sizeof ident);
    put16(16, 2);       // executable
    put16(18, 3);       // i386
    put32(20, 1);       // version
    put32(24, kEntry);  // entry
    put32(28, 52);      // program headers
    put16(40, 52);
    put16(42, 32);
    put16(44, 2);
    put16(46, 40);
    const uint32_t segs[2][6] = {{0x1000, kCode, kCode, 0x100, 0x100, 5},
                                 {0x2000, kData, kData, 0x1000, kDataSize, 6}};
    for (int i = 0; i < 2; ++i) {
        size_t at = 52 + 32 * static_cast<size_t>(i);
        put32(at, 1);  // PT_LOAD
        for (int f = 0; f < 6; ++f) put32(at + 4 + 4 * static_cast<size_t>(f), segs[i][f]);
        put32(at + 28, 0x1000);
    }
    const uint8_t call[] = {0x55, 0x57, 0x56, 0x53,  // push ebp, edi, esi, ebx
                            0x8b, 0x44, 0x24, 0x14, 0x8b, 0x5c, 0x24, 0x18, 0x8b, 0x4c,
                            0x24, 0x1c, 0x8b, 0x54, 0x24, 0x20, 0x8b, 0x74, 0x24, 0x24,
                            0x8b, 0x7c, 0x24, 0x28, 0x8b, 0x6c, 0x24, 0x2c,  // the seven arguments
                            0xcd, 0x80,                                      // int 0x80
                            0x5b, 0x5e, 0x5f, 0x5d, 0xc3};                   // pop, ret
    std::memcpy(&b[0x1000], call, sizeof call);
    const uint8_t exit7[] = {0xbb, 7, 0, 0, 0, 0xb8, 2, 0, 0, 0, 0xcd, 0x80, 0xf4};
    std::memcpy(&b[0x1000 + (kEntry - kCode)], exit7, sizeof exit7);
    return b;
}

void put_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string get_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every name below dir (links not followed) with the size and content of
// regular files: a fingerprint of the tree.
void fingerprint(const std::string& dir, std::set<std::string>& out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        std::string entry = path + " " + std::to_string(st.st_mode);
        if (S_ISREG(st.st_mode)) entry += " " + get_file(path);
        out.insert(entry);
        if (S_ISDIR(st.st_mode)) fingerprint(path, out);
    }
    closedir(d);
}

void remove_tree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") remove_tree(path + "/" + name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// The scratch tree: BASE/outside and BASE/canary stay untouched; BASE/root is
// the guest's root, made afresh for each input.
struct Scratch {
    std::string base, root;
    std::vector<uint8_t> program = image();
    std::set<std::string> outside;

    Scratch() {
        char tmpl[] = "/tmp/nuv-calls-fuzz-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) nuvfuzz::fail("cannot make a scratch directory");
        base = tmpl;
        root = base + "/root";
        mkdir((base + "/outside").c_str(), 0755);
        put_file(base + "/outside/canary", "canary");
        put_file(base + "/canary", "top canary");
        symlink((base + "/outside/canary").c_str(), (base + "/outside/link_back").c_str());
        fingerprint(base + "/outside", outside);
        outside.insert("top " + get_file(base + "/canary"));
    }
    ~Scratch() { remove_tree(base); }

    void fresh_root() const {
        remove_tree(root);
        mkdir(root.c_str(), 0755);
        mkdir((root + "/sub").c_str(), 0755);
        put_file(root + "/file", "inside");
        std::string prog(program.begin(), program.end());
        put_file(root + "/prog", prog);
        symlink((base + "/outside/canary").c_str(), (root + "/link_out").c_str());
        symlink((base + "/outside").c_str(), (root + "/dir_out").c_str());
        symlink("../outside", (root + "/rel_out").c_str());
        symlink("../../..", (root + "/sub/up").c_str());
        mkfifo((root + "/fifo").c_str(), 0644);
    }

    std::set<std::string> outside_now() const {
        std::set<std::string> now;
        fingerprint(base + "/outside", now);
        now.insert("top " + get_file(base + "/canary"));
        return now;
    }
};

const char* const kPaths[] = {"",
                              "/",
                              ".",
                              "..",
                              "file",
                              "sub",
                              "sub/",
                              "sub/new",
                              "new",
                              "prog",
                              "fifo",
                              "link_out",
                              "dir_out/canary",
                              "rel_out/canary",
                              "sub/up/outside/canary",
                              "../outside/canary",
                              "/../canary",
                              "dir_out/new",
                              "file/x",
                              "/proc/self/root/etc/passwd"};

// Addresses at the edges of what the guest has mapped (before the small
// offset the input adds).
const uint32_t kEdges[] = {0,
                           kCode,
                           kData,
                           kData + kDataSize,
                           nuv::Harness::kStackTop - nuv::Harness::kStackSize,
                           nuv::Harness::kStackTop,
                           nuv::Harness::kScratchBase,
                           nuv::Harness::kScratchBase + nuv::Harness::kScratchSize,
                           nuv::Harness::kMapBase,
                           0x80000000u,
                           0xFFFFF000u,
                           0xFFFFFFFFu};

// Reads the input a byte or a word at a time; zeros once it runs out.
struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t byte() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i) w |= uint32_t{byte()} << (8 * i);
        return w;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    scratch.fresh_root();
    nuv::Options o;
    o.root = scratch.root;
    o.skip_sleep = true;
    o.capture_output = true;
    o.input = std::string("typed");
    o.max_instructions = 2'000'000;
    std::string err;
    auto m = nuv::Harness::load(scratch.program, o, err);
    if (!m) nuvfuzz::fail(err.c_str());

    // Paths laid out in the data segment; the last one runs up to the
    // segment's end with no NUL.
    std::vector<uint32_t> paths;
    uint32_t at = kData;
    for (const char* p : kPaths) {
        m->write(at, p, std::strlen(p) + 1);
        paths.push_back(at);
        at += static_cast<uint32_t>(std::strlen(p)) + 1;
    }
    const uint32_t buffer = (at + 15) & ~15u;
    std::string long_path(NUV_PATH_MAX, 'a');
    for (size_t i = 200; i < long_path.size(); i += 201) long_path[i] = '/';
    const uint32_t long_at = kData + 0x400;
    m->write(long_at, long_path.c_str(), long_path.size() + 1);
    paths.push_back(long_at);
    paths.push_back(long_at + 1);  // one byte shorter
    const std::string unterminated(40, 'u');
    m->write(kData + kDataSize - 40, unterminated.data(), unterminated.size());
    paths.push_back(kData + kDataSize - 40);

    Reader in{data, size};
    for (int i = 0; i < kMaxCalls && in.n > 0; ++i) {
        uint8_t op = in.byte();
        if (op >= 0xF0) {
            // Bytes of the input into guest memory, e.g. a vector for spawn.
            uint32_t to = kData + in.word() % kDataSize;
            uint8_t len = in.byte() % 32;
            for (uint8_t k = 0; k < len && to + k < kData + kDataSize; ++k) {
                uint8_t b = in.byte();
                m->write(to + k, &b, 1);
            }
            continue;
        }
        const Call& c = kCalls[op % std::size(kCalls)];
        uint32_t args[6] = {};
        for (uint32_t& a : args) {
            uint8_t how = in.byte();
            switch (how % 8) {
                case 0:
                    a = paths[in.byte() % paths.size()];
                    break;
                case 1:
                    a = kEdges[in.byte() % std::size(kEdges)] +
                        static_cast<uint32_t>(static_cast<int8_t>(in.byte()));
                    break;
                case 2:
                    a = buffer + in.byte();
                    break;
                case 3:
                    a = 0u - in.byte();  // a length that wraps past 4 GiB
                    break;
                case 4:
                    a = in.word();
                    break;
                default:
                    a = in.byte() % 70;  // descriptors, small counts, flags
                    break;
            }
        }
        nuv::RunResult r =
            m->call(kCode, {c.nr, args[0], args[1], args[2], args[3], args[4], args[5]});
        NUV_CHECK(r.stop == nuv::Stop::Returned || r.stop == nuv::Stop::Exited);
        if (r.stop == nuv::Stop::Exited) break;
    }
    m.reset();
    NUV_CHECK(scratch.outside_now() == scratch.outside);
    // Nothing escaped into the directory that holds the root either.
    DIR* d = opendir(scratch.base.c_str());
    int names = 0;
    while (dirent* e = d ? readdir(d) : nullptr) {
        names += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
    }
    if (d) closedir(d);
    NUV_CHECK(names == 3);
    return 0;
}
