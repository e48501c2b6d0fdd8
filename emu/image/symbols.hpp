// An image's symbols and debug information, for people: which function and
// source line an address belongs to, and the chain of calls that led to it.
//
// Read through elfutils (libelf, libdw): function names from the symbol
// table, file:line from the DWARF line table, and the caller's registers
// from the DWARF frame information (.debug_frame or .eh_frame). Where an
// address has no frame information the unwinder falls back on the usual
// frame-pointer chain (and, for the innermost frame, a return address on
// top of the stack). Loaded once per image; lookups do not change it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine.hpp"

namespace nuv {

class Symbols {
  public:
    // Where an address lies: the function (empty when unknown) and the
    // offset into it, and the source line when the image has one for it.
    struct Place {
        std::string function;
        uint32_t offset = 0;
        std::string file;  // as the line table names it (directory stripped)
        int line = 0;      // 0: unknown
    };
    // One frame of a backtrace: the address it stands at (the faulting
    // instruction for the innermost, a return address for the others) and
    // the stack pointer of that frame.
    struct Frame {
        uint32_t pc = 0;
        uint32_t esp = 0;
        Place place;
        // How this frame's caller was found: from frame information, or
        // guessed (frame pointer or return address on the stack).
        bool from_cfi = false;
    };
    // Reads guest memory; false when [address, address + n) is unreadable.
    using ReadMemory = std::function<bool(uint32_t address, void* out, size_t n)>;

    // The image's symbols from its bytes (kept for as long as the object
    // lives). Never fails: an image without a symbol table or debug
    // information gives addresses alone, and frame pointers for unwinding.
    static std::shared_ptr<const Symbols> load(std::span<const uint8_t> image);
    ~Symbols();
    Symbols(const Symbols&) = delete;
    Symbols& operator=(const Symbols&) = delete;

    bool has_symbols() const { return !functions_.empty(); }
    bool has_lines() const;
    bool has_frame_info() const;

    Place where(uint32_t address) const;
    // The address of a function by name (0: none).
    uint32_t address_of(std::string_view function) const;

    // The calls that led to regs.eip, innermost first, at most max_frames.
    // Lines of the outer frames are those of the call (the return address
    // less one); without lines, the places name functions alone (faster).
    std::vector<Frame> unwind(const Registers& regs, const ReadMemory& read, size_t max_frames = 32,
                              bool lines = true) const;

    // "sum+0xc (crash.c:6)", "sum+0xc", or "0x004001b7" alone.
    static std::string describe(const Place& p, uint32_t address);

  private:
    Symbols() = default;
    struct Function {
        uint32_t begin, size;
        std::string name;
    };
    struct Dw;
    // Whether address lies in the image's executable segments.
    bool in_code(uint32_t address) const;
    // line_address 0: the function alone.
    Place lookup(uint32_t address, uint32_t line_address) const;

    std::vector<uint8_t> bytes_;
    std::vector<Function> functions_;                  // sorted by begin
    std::vector<std::pair<uint32_t, uint32_t>> code_;  // executable [begin, end)
    std::unique_ptr<Dw> dw_;
};

}  // namespace nuv
