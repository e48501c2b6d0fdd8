// Instructions per byte of memcpy, memmove and memset on 4 KiB blocks, next to
// plain byte loops built with the same flags, as counted by the emulator.
// Usage: bench_memory [libtest image]
#include <cstdio>
#include <string>

#include "harness.hpp"
#include "scratch.hpp"

namespace {

constexpr uint32_t kBlock = 4096;

struct Case {
    const char* what;
    const char* fn;
    const char* reference;
    uint32_t dst_offset, src_offset;  // from two 16-aligned areas, or within one
    bool same_area;
    bool fill;  // memset: the second argument is a byte
};

// Instructions one call takes, from the emulator's count.
uint64_t measure(nuv::Harness& m, const char* fn, uint32_t a, uint32_t b, uint32_t n = kBlock) {
    uint64_t before = m.instructions();
    nuv::RunResult r = m.call(fn, {a, b, n});
    if (r.stop != nuv::Stop::Returned) {
        std::fprintf(stderr, "%s: %s %s\n", fn, nuv::stop_name(r.stop), r.message.c_str());
        return 0;
    }
    return m.instructions() - before;
}

}  // namespace

int main(int argc, char** argv) {
    std::string image = argc > 1 ? argv[1] : NUV_IMAGE_DIR "/libtest";
    nuv::Options opts;
    opts.count_instructions = true;
    std::string err;
    auto m = nuv::Harness::load(image, opts, err);
    if (!m) {
        std::fprintf(stderr, "bench_memory: %s\n", err.c_str());
        return 1;
    }
    const uint32_t a = nuvtest::alloc(*m, 3 * kBlock, 16);
    const uint32_t b = nuvtest::alloc(*m, 3 * kBlock, 16);

    const Case cases[] = {
        {"memcpy aligned", "memcpy", "probe_bytes_memcpy", 0, 0, false, false},
        {"memcpy misaligned (dst+1, src+2)", "memcpy", "probe_bytes_memcpy", 1, 2, false, false},
        {"memcpy overlapping, dst = src+2", "memcpy", "probe_bytes_memcpy", 2, 0, true, false},
        {"memcpy overlapping, dst = src+64", "memcpy", "probe_bytes_memcpy", 64, 0, true, false},
        {"memmove up (dst = src+64) aligned", "memmove", "probe_bytes_memmove", 64, 0, true, false},
        {"memmove up (dst = src+65) misaligned", "memmove", "probe_bytes_memmove", 66, 1, true,
         false},
        {"memmove up (dst = src+1)", "memmove", "probe_bytes_memmove", 1, 0, true, false},
        {"memmove down (dst = src-64) aligned", "memmove", "probe_bytes_memmove", 0, 64, true,
         false},
        {"memmove down (dst = src-63) misaligned", "memmove", "probe_bytes_memmove", 3, 66, true,
         false},
        {"memset aligned", "memset", "probe_bytes_memset", 0, 0x5A, false, true},
        {"memset misaligned (dst+3)", "memset", "probe_bytes_memset", 3, 0x5A, false, true},
    };

    std::printf("Instructions per byte on %u-byte blocks (instructions per call in brackets)\n",
                kBlock);
    std::printf("%-42s %18s %18s %8s\n", "case", "library", "byte loop", "ratio");
    for (const Case& c : cases) {
        uint32_t dst = a + c.dst_offset;
        uint32_t second = c.fill ? c.src_offset : (c.same_area ? a : b) + c.src_offset;
        uint64_t lib = measure(*m, c.fn, dst, second);
        uint64_t ref = measure(*m, c.reference, dst, second);
        if (lib == 0 || ref == 0) return 1;
        char lib_text[32], ref_text[32];
        std::snprintf(lib_text, sizeof lib_text, "%.3f (%llu)", double(lib) / kBlock,
                      static_cast<unsigned long long>(lib));
        std::snprintf(ref_text, sizeof ref_text, "%.3f (%llu)", double(ref) / kBlock,
                      static_cast<unsigned long long>(ref));
        std::printf("%-42s %18s %18s %7.1fx\n", c.what, lib_text, ref_text,
                    double(ref) / double(lib));
    }

    std::printf("\nInstructions per call on short blocks (aligned; library / byte loop)\n");
    std::printf("%-10s", "bytes");
    const char* fns[][2] = {{"memcpy", "probe_bytes_memcpy"},
                            {"memmove", "probe_bytes_memmove"},
                            {"memset", "probe_bytes_memset"}};
    for (auto& f : fns) std::printf(" %16s", f[0]);
    std::printf("\n");
    for (uint32_t n : {1u, 4u, 8u, 15u, 16u, 32u, 64u, 256u}) {
        std::printf("%-10u", n);
        for (auto& f : fns) {
            bool fill = std::string(f[0]) == "memset";
            uint32_t second = fill ? 0x5A : b;
            char text[32];
            std::snprintf(text, sizeof text, "%llu / %llu",
                          static_cast<unsigned long long>(measure(*m, f[0], a, second, n)),
                          static_cast<unsigned long long>(measure(*m, f[1], a, second, n)));
            std::printf(" %16s", text);
        }
        std::printf("\n");
    }
    return 0;
}
