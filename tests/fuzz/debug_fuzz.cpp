// An image's symbols and debug information as the fault reports read them,
// on arbitrary images: loading, looking up and unwinding end within their
// bounds whatever the symbol table, line table and frame information say,
// over a stack whose words point back into it and into the image's code.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "edge_buffer.h"
#include "symbols.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto symbols = nuv::Symbols::load(std::span<const uint8_t>(data, size));
    constexpr uint32_t kCode = 0x00400000, kStack = 0x7f000000, kStackSize = 0x1000;
    // The image as code at its usual base; a stack of words that chain
    // upwards and return into the code.
    auto read = [&](uint32_t address, void* out, size_t n) {
        auto* to = static_cast<uint8_t*>(out);
        for (size_t i = 0; i < n; ++i) {
            uint32_t at = address + static_cast<uint32_t>(i);
            if (at >= kCode && at - kCode < size) {
                to[i] = data[at - kCode];
            } else if (at >= kStack && at - kStack < kStackSize) {
                uint32_t word = at & ~3u;
                uint32_t v = (word >> 2) & 1 ? kCode + (word * 2654435761u) % (size + 1) : word + 8;
                to[i] = static_cast<uint8_t>(v >> (8 * (at & 3)));
            } else {
                return false;
            }
        }
        return true;
    };
    for (uint32_t offset : {0u, 0x14u, 0x68u, 0x100u, static_cast<uint32_t>(size / 2)}) {
        nuv::Registers regs;
        regs.eip = kCode + offset;
        regs.esp = kStack + 0x100;
        regs.ebp = kStack + 0x110;
        auto frames = symbols->unwind(regs, read, 64);
        NUV_CHECK(frames.size() <= 64);
        for (const auto& f : frames) NUV_CHECK(!nuv::Symbols::describe(f.place, f.pc).empty());
    }
    return 0;
}
