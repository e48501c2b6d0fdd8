#include "symbols.hpp"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <gelf.h>
#include <libelf.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

namespace nuv {
namespace {

// DWARF register numbers of the i386.
enum : int {
    kEax = 0,
    kEcx = 1,
    kEdx = 2,
    kEbx = 3,
    kEsp = 4,
    kEbp = 5,
    kEsi = 6,
    kEdi = 7,
    kEip = 8,
    kRegCount = 9
};

// The registers of one frame as far as they are known.
struct RegSet {
    std::array<std::optional<uint32_t>, kRegCount> r;
};

RegSet from(const Registers& regs) {
    RegSet s;
    s.r[kEax] = regs.eax;
    s.r[kEcx] = regs.ecx;
    s.r[kEdx] = regs.edx;
    s.r[kEbx] = regs.ebx;
    s.r[kEsp] = regs.esp;
    s.r[kEbp] = regs.ebp;
    s.r[kEsi] = regs.esi;
    s.r[kEdi] = regs.edi;
    s.r[kEip] = regs.eip;
    return s;
}

// Evaluates the DWARF expressions that frame information uses: register
// plus offset, constants, arithmetic, dereference and the CFA.
std::optional<uint32_t> evaluate(const Dwarf_Op* ops, size_t n, const RegSet& regs,
                                 std::optional<uint32_t> cfa, const Symbols::ReadMemory& read,
                                 bool& is_value) {
    std::vector<uint32_t> stack;
    is_value = false;
    auto pop = [&]() -> std::optional<uint32_t> {
        if (stack.empty()) return std::nullopt;
        uint32_t v = stack.back();
        stack.pop_back();
        return v;
    };
    for (size_t i = 0; i < n; ++i) {
        const Dwarf_Op& op = ops[i];
        uint8_t a = op.atom;
        if (a >= DW_OP_breg0 && a <= DW_OP_breg31) {
            int reg = a - DW_OP_breg0;
            if (reg >= kRegCount || !regs.r[reg]) return std::nullopt;
            stack.push_back(*regs.r[reg] + static_cast<uint32_t>(op.number));
        } else if (a == DW_OP_bregx) {
            if (op.number >= kRegCount || !regs.r[op.number]) return std::nullopt;
            stack.push_back(*regs.r[op.number] + static_cast<uint32_t>(op.number2));
        } else if (a >= DW_OP_lit0 && a <= DW_OP_lit31) {
            stack.push_back(a - DW_OP_lit0);
        } else if (a == DW_OP_const1u || a == DW_OP_const1s || a == DW_OP_const2u ||
                   a == DW_OP_const2s || a == DW_OP_const4u || a == DW_OP_const4s ||
                   a == DW_OP_constu || a == DW_OP_consts || a == DW_OP_addr) {
            stack.push_back(static_cast<uint32_t>(op.number));
        } else if (a == DW_OP_call_frame_cfa) {
            if (!cfa) return std::nullopt;
            stack.push_back(*cfa);
        } else if (a == DW_OP_plus_uconst) {
            auto v = pop();
            if (!v) return std::nullopt;
            stack.push_back(*v + static_cast<uint32_t>(op.number));
        } else if (a == DW_OP_deref) {
            auto v = pop();
            uint32_t w = 0;
            if (!v || !read(*v, &w, 4)) return std::nullopt;
            stack.push_back(w);
        } else if (a == DW_OP_plus || a == DW_OP_minus || a == DW_OP_and || a == DW_OP_or ||
                   a == DW_OP_mul || a == DW_OP_shl || a == DW_OP_shr) {
            auto y = pop(), x = pop();
            if (!x || !y) return std::nullopt;
            uint32_t r = a == DW_OP_plus    ? *x + *y
                         : a == DW_OP_minus ? *x - *y
                         : a == DW_OP_and   ? *x & *y
                         : a == DW_OP_or    ? *x | *y
                         : a == DW_OP_mul   ? *x * *y
                         : a == DW_OP_shl   ? (*y < 32 ? *x << *y : 0)
                                            : (*y < 32 ? *x >> *y : 0);
            stack.push_back(r);
        } else if (a == DW_OP_dup) {
            if (stack.empty()) return std::nullopt;
            stack.push_back(stack.back());
        } else if (a == DW_OP_stack_value) {
            is_value = true;
            break;
        } else {
            return std::nullopt;  // nothing frame information needs
        }
    }
    return pop();
}

}  // namespace

struct Symbols::Dw {
    Elf* elf = nullptr;
    Dwarf* dwarf = nullptr;
    Dwarf_CFI* debug_frame = nullptr;  // owned by dwarf
    Dwarf_CFI* eh_frame = nullptr;     // owned here
    ~Dw() {
        if (eh_frame != nullptr) dwarf_cfi_end(eh_frame);
        if (dwarf != nullptr) dwarf_end(dwarf);
        if (elf != nullptr) elf_end(elf);
    }
};

namespace {

// Unpacked, the debug sections of an image together at most.
constexpr uint64_t kMaxDebugBytes = uint64_t{256} << 20;

// What the image's sections take once unpacked: a compressed section (the
// ELF way, or the older ".zdebug" one) counts its unpacked size, as its
// header gives it, any other its own.
uint64_t unpacked_debug_size(Elf* elf) {
    size_t names = 0;
    if (elf_getshdrstrndx(elf, &names) != 0) return 0;
    uint64_t total = 0;
    Elf_Scn* scn = nullptr;
    while ((scn = elf_nextscn(elf, scn)) != nullptr) {
        GElf_Shdr sh;
        if (gelf_getshdr(scn, &sh) == nullptr || sh.sh_type == SHT_NOBITS) continue;
        uint64_t size = sh.sh_size;
        if (sh.sh_flags & SHF_COMPRESSED) {
            GElf_Chdr ch;
            size = gelf_getchdr(scn, &ch) != nullptr ? ch.ch_size : UINT64_MAX;
        } else if (const char* name = elf_strptr(elf, names, sh.sh_name);
                   name != nullptr && std::strncmp(name, ".zdebug", 7) == 0) {
            // "ZLIB", then the unpacked size in eight big-endian bytes.
            Elf_Data* raw = elf_rawdata(scn, nullptr);
            const auto* b = raw != nullptr ? static_cast<const uint8_t*>(raw->d_buf) : nullptr;
            size = UINT64_MAX;
            if (b != nullptr && raw->d_size >= 12 && std::memcmp(b, "ZLIB", 4) == 0) {
                size = 0;
                for (int i = 4; i < 12; ++i) size = size << 8 | b[i];
            }
        }
        total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
    }
    return total;
}

}  // namespace

Symbols::~Symbols() = default;

std::shared_ptr<const Symbols> Symbols::load(std::span<const uint8_t> image) {
    std::shared_ptr<Symbols> s(new Symbols());
    s->bytes_.assign(image.begin(), image.end());
    s->dw_ = std::make_unique<Dw>();
    elf_version(EV_CURRENT);
    Elf* elf = s->bytes_.empty()
                   ? nullptr
                   : elf_memory(reinterpret_cast<char*>(s->bytes_.data()), s->bytes_.size());
    if (elf == nullptr || elf_kind(elf) != ELF_K_ELF) {
        if (elf != nullptr) elf_end(elf);
        return s;
    }
    s->dw_->elf = elf;
    size_t phnum = 0;
    if (elf_getphdrnum(elf, &phnum) == 0) {
        for (size_t i = 0; i < phnum; ++i) {
            GElf_Phdr ph;
            if (gelf_getphdr(elf, static_cast<int>(i), &ph) == nullptr) continue;
            if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) && ph.p_memsz != 0) {
                s->code_.emplace_back(static_cast<uint32_t>(ph.p_vaddr),
                                      static_cast<uint32_t>(ph.p_vaddr + ph.p_memsz));
            }
        }
    }
    // Functions from the symbol table; a symbol without a size reaches to
    // the next one.
    Elf_Scn* scn = nullptr;
    while ((scn = elf_nextscn(elf, scn)) != nullptr) {
        GElf_Shdr sh;
        if (gelf_getshdr(scn, &sh) == nullptr || sh.sh_type != SHT_SYMTAB || sh.sh_entsize == 0) {
            continue;
        }
        Elf_Data* data = elf_getdata(scn, nullptr);
        if (data == nullptr) continue;
        size_t count = sh.sh_size / sh.sh_entsize;
        for (size_t i = 0; i < count; ++i) {
            GElf_Sym sym;
            if (gelf_getsym(data, static_cast<int>(i), &sym) == nullptr) continue;
            int type = GELF_ST_TYPE(sym.st_info);
            if (type != STT_FUNC || sym.st_shndx == SHN_UNDEF) continue;
            const char* name = elf_strptr(elf, sh.sh_link, sym.st_name);
            if (name == nullptr || *name == 0) continue;
            s->functions_.push_back(Function{static_cast<uint32_t>(sym.st_value),
                                             static_cast<uint32_t>(sym.st_size), name});
        }
    }
    std::sort(s->functions_.begin(), s->functions_.end(), [](const Function& a, const Function& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.name < b.name;
    });
    // Debug information that would unpack to more than a command's own could
    // hold is not read at all: an image is not trusted with the host's memory.
    if (unpacked_debug_size(elf) > kMaxDebugBytes) return s;
    s->dw_->dwarf = dwarf_begin_elf(elf, DWARF_C_READ, nullptr);
    if (s->dw_->dwarf != nullptr) s->dw_->debug_frame = dwarf_getcfi(s->dw_->dwarf);
    s->dw_->eh_frame = dwarf_getcfi_elf(elf);
    return s;
}

bool Symbols::has_lines() const {
    return dw_ && dw_->dwarf != nullptr;
}

bool Symbols::has_frame_info() const {
    return dw_ && (dw_->debug_frame != nullptr || dw_->eh_frame != nullptr);
}

bool Symbols::in_code(uint32_t address) const {
    for (const auto& [b, e] : code_) {
        if (address >= b && address < e) return true;
    }
    return false;
}

uint32_t Symbols::address_of(std::string_view function) const {
    for (const Function& f : functions_) {
        if (f.name == function) return f.begin;
    }
    return 0;
}

Symbols::Place Symbols::lookup(uint32_t address, uint32_t line_address) const {
    Place p;
    auto it = std::upper_bound(functions_.begin(), functions_.end(), address,
                               [](uint32_t a, const Function& f) { return a < f.begin; });
    if (it != functions_.begin()) {
        const Function& f = *std::prev(it);
        uint32_t end = f.size != 0              ? f.begin + f.size
                       : it != functions_.end() ? it->begin
                                                : f.begin + 1;
        if (address < end || (f.size == 0 && in_code(address))) {
            p.function = f.name;
            p.offset = address - f.begin;
        }
    }
    // Line tables also hold the functions the linker dropped, moved to
    // address 0: only an address in the image's code has a line (a
    // line_address of 0 asks for none).
    if (line_address != 0 && dw_ && dw_->dwarf != nullptr && in_code(line_address)) {
        Dwarf_Die cu;
        if (dwarf_addrdie(dw_->dwarf, line_address, &cu) != nullptr) {
            if (Dwarf_Line* line = dwarf_getsrc_die(&cu, line_address)) {
                int n = 0;
                const char* src = dwarf_linesrc(line, nullptr, nullptr);
                if (dwarf_lineno(line, &n) == 0 && n > 0 && src != nullptr) {
                    p.line = n;
                    const char* base = std::strrchr(src, '/');
                    p.file = base != nullptr ? base + 1 : src;
                }
            }
        }
    }
    return p;
}

Symbols::Place Symbols::where(uint32_t address) const {
    return lookup(address, address);
}

std::string Symbols::describe(const Place& p, uint32_t address) {
    if (p.function.empty() && p.line == 0) return hex(address);
    std::string out;
    if (!p.function.empty()) {
        char off[16];
        std::snprintf(off, sizeof off, "+0x%x", p.offset);
        out = p.function + off;
    } else {
        out = hex(address);
    }
    if (p.line != 0) out += " (" + p.file + ":" + std::to_string(p.line) + ")";
    return out;
}

std::vector<Symbols::Frame> Symbols::unwind(const Registers& regs, const ReadMemory& read,
                                            size_t max_frames, bool lines) const {
    std::vector<Frame> frames;
    RegSet cur = from(regs);
    for (size_t depth = 0; depth < max_frames; ++depth) {
        uint32_t pc = *cur.r[kEip];
        uint32_t esp = cur.r[kEsp].value_or(0);
        // An outer frame's return address is just past its call: the call
        // itself (pc - 1) names the line and the frame information.
        uint32_t at = depth == 0 ? pc : pc - 1;
        Frame f;
        f.pc = pc;
        f.esp = esp;
        f.place = lookup(at, lines ? at : 0);
        if (depth != 0 && !f.place.function.empty()) ++f.place.offset;  // pc's own offset
        // The caller's registers.
        RegSet caller;
        bool found = false;
        for (Dwarf_CFI* cfi : {dw_ ? dw_->debug_frame : nullptr, dw_ ? dw_->eh_frame : nullptr}) {
            if (cfi == nullptr || found) continue;
            Dwarf_Frame* frame = nullptr;
            if (dwarf_cfi_addrframe(cfi, at, &frame) != 0 || frame == nullptr) continue;
            Dwarf_Op* ops = nullptr;
            size_t nops = 0;
            bool is_value = false;
            std::optional<uint32_t> cfa;
            if (dwarf_frame_cfa(frame, &ops, &nops) == 0 && nops != 0) {
                cfa = evaluate(ops, nops, cur, std::nullopt, read, is_value);
            }
            int ra = dwarf_frame_info(frame, nullptr, nullptr, nullptr);
            if (cfa && ra >= 0 && ra < kRegCount) {
                for (int reg = 0; reg < kRegCount; ++reg) {
                    Dwarf_Op mem[3];
                    ops = nullptr;
                    nops = 0;
                    if (dwarf_frame_register(frame, reg, mem, &ops, &nops) != 0) continue;
                    if (nops == 0) {
                        if (ops == nullptr) caller.r[reg] = cur.r[reg];  // same value
                        continue;                                        // else undefined
                    }
                    std::optional<uint32_t> v = evaluate(ops, nops, cur, cfa, read, is_value);
                    if (!v) continue;
                    if (is_value) {
                        caller.r[reg] = *v;
                    } else {
                        uint32_t w = 0;
                        if (read(*v, &w, 4)) caller.r[reg] = w;
                    }
                }
                caller.r[kEsp] = *cfa;
                caller.r[kEip] = caller.r[ra];
                found = caller.r[kEip].has_value();
                f.from_cfi = found;
            }
            std::free(frame);
        }
        frames.push_back(f);
        if (!found) {
            // No frame information: a return address on top of the stack
            // (the innermost frame before it set up a frame, or a leaf that
            // never does), else the frame-pointer chain.
            caller = cur;
            uint32_t top = 0;
            uint32_t ebp = cur.r[kEbp].value_or(0);
            uint32_t saved[2] = {0, 0};
            bool at_entry = !f.place.function.empty() && f.place.offset == 0;
            if (depth == 0 && cur.r[kEsp] && read(esp, &top, 4) && in_code(top) &&
                (at_entry || ebp < esp || !read(ebp, saved, 8) || !in_code(saved[1]))) {
                caller.r[kEip] = top;
                caller.r[kEsp] = esp + 4;
            } else if (ebp != 0 && ebp >= esp && read(ebp, saved, 8) && in_code(saved[1])) {
                caller.r[kEip] = saved[1];
                caller.r[kEbp] = saved[0];
                caller.r[kEsp] = ebp + 8;
            } else {
                break;
            }
        }
        uint32_t next_pc = *caller.r[kEip];
        if (next_pc == 0 || !in_code(next_pc)) break;
        // The stack only grows towards the callers.
        if (!caller.r[kEsp] || *caller.r[kEsp] <= esp) break;
        cur = caller;
    }
    return frames;
}

}  // namespace nuv
