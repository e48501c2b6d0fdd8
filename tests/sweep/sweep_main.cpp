// insn_sweep [--unguarded] [--tail HEX] [FIRST-LAST]: runs every two-byte
// encoding (hexadecimal range, default 0000-ffff) at the entry point of a
// fresh Unicorn and prints how many ended which way, then the encodings that
// took the engine down.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "insn_sweep.hpp"

int main(int argc, char** argv) {
    nuvtest::sweep::Config config;
    unsigned first = 0, last = 0xFFFF;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--unguarded") == 0) {
            config.guarded = false;
        } else if (std::strcmp(argv[i], "--tail") == 0 && i + 1 < argc) {
            config.tail = static_cast<uint8_t>(std::strtoul(argv[++i], nullptr, 16));
        } else if (std::sscanf(argv[i], "%x-%x", &first, &last) == 2 && first <= last &&
                   last <= 0xFFFF) {
        } else {
            std::fprintf(stderr, "usage: insn_sweep [--unguarded] [--tail HEX] [FIRST-LAST]\n");
            return 2;
        }
    }
    std::vector<uint16_t> encodings;
    for (unsigned e = first; e <= last; ++e) encodings.push_back(static_cast<uint16_t>(e));
    nuvtest::sweep::Result r = nuvtest::sweep::sweep(encodings, config);
    std::printf("%s, tail %02x, %04x-%04x: %llu encodings\n",
                config.guarded ? "guarded" : "unguarded", config.tail, first, last,
                static_cast<unsigned long long>(r.total()));
    std::printf("%s\n", r.summary().c_str());
    if (!r.crashed.empty()) {
        std::printf("engine down at:");
        for (uint16_t e : r.crashed) std::printf(" %02x%02x", e >> 8, e & 0xFF);
        std::printf("\n");
    }
    return r.crashed.empty() ? 0 : 1;
}
