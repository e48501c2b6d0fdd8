// Instructions and stores per call in the emulator, for the library's
// functions and musl's, on the same calls as the native benchmark. Loads the
// static image bench_guest into a CPU emulator of its own (only code and data
// are mapped, and page 0 as the empty thread area: a call that touches
// anything else stops as a fault and is reported so).
//
// Usage: emu_bench [bench_guest image]
#include <elf.h>
#include <unicorn/unicorn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench_cases.h"

using namespace nuvbench;

namespace {

constexpr uint32_t kAreaBase = 0x20000000;
constexpr uint32_t kStackTop = 0xC0000000, kStackSize = 1u << 20;
constexpr uint32_t kReturn = 0xFFFFF000;

struct Counts {
    uint64_t instructions = 0, stores = 0;
    bool ok = false;
};

class Guest {
  public:
    bool load(const std::string& path, std::string& err) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        if (bytes.size() < sizeof(Elf32_Ehdr)) return err = "cannot read " + path, false;
        Elf32_Ehdr eh;
        std::memcpy(&eh, bytes.data(), sizeof eh);
        if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_machine != EM_386) {
            return err = path + ": not an i386 ELF image", false;
        }
        if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc_) != UC_ERR_OK) return err = "uc_open", false;
        for (int i = 0; i < eh.e_phnum; ++i) {
            Elf32_Phdr ph;
            if (eh.e_phoff + (i + 1) * sizeof ph > bytes.size()) return err = "bad header", false;
            std::memcpy(&ph, bytes.data() + eh.e_phoff + i * sizeof ph, sizeof ph);
            if (ph.p_type != PT_LOAD || ph.p_memsz == 0) continue;
            uint32_t begin = ph.p_vaddr & ~0xFFFu;
            uint32_t end = (ph.p_vaddr + ph.p_memsz + 0xFFFu) & ~0xFFFu;
            // Segments may share a page: map what is not mapped yet.
            for (uint32_t page = begin; page < end; page += 0x1000) {
                if (!mapped_.count(page)) {
                    uc_mem_map(uc_, page, 0x1000, UC_PROT_ALL);
                    mapped_[page] = true;
                }
            }
            if (ph.p_offset + ph.p_filesz > bytes.size()) return err = "bad segment", false;
            uc_mem_write(uc_, ph.p_vaddr, bytes.data() + ph.p_offset, ph.p_filesz);
        }
        read_symbols(bytes, eh);
        uc_mem_map(uc_, kStackTop - kStackSize, kStackSize, UC_PROT_READ | UC_PROT_WRITE);
        uc_mem_map(uc_, kAreaBase, kArea, UC_PROT_READ | UC_PROT_WRITE);
        // musl is built with stack protection, which reads its canary at
        // %gs:0x14; with no thread area set up, that is page 0 (all zeros).
        uc_mem_map(uc_, 0, 0x1000, UC_PROT_READ);
        uc_hook h;
        uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&on_code), this, 1, 0);
        uc_hook_add(uc_, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&on_store), this, 1, 0);
        return true;
    }

    ~Guest() {
        if (uc_) uc_close(uc_);
    }

    bool has(const std::string& name) const { return symbols_.count(name) != 0; }

    // One call of the case's function under the given prefix.
    Counts call(const std::string& name, const Case& c) {
        Counts n;
        auto it = symbols_.find(name);
        if (it == symbols_.end()) return n;
        std::vector<uint8_t> area(kArea, 0);
        Args a;
        c.setup(Place{area.data(), kAreaBase}, a);
        uc_mem_write(uc_, kAreaBase, area.data(), area.size());
        uint32_t sp = kStackTop - 4096;
        uint32_t frame[7] = {kReturn, a.w[0], a.w[1], a.w[2], a.w[3], a.w[4], a.w[5]};
        uc_mem_write(uc_, sp, frame, sizeof frame);
        uc_reg_write(uc_, UC_X86_REG_ESP, &sp);
        uint32_t flags = 0x202;
        uc_reg_write(uc_, UC_X86_REG_EFLAGS, &flags);
        instructions_ = stores_ = 0;
        uc_err e = uc_emu_start(uc_, it->second, kReturn, 0, 0);
        uint32_t eip = 0;
        uc_reg_read(uc_, UC_X86_REG_EIP, &eip);
        n.ok = e == UC_ERR_OK && eip == kReturn;
        if (!n.ok && std::getenv("NUV_BENCH_VERBOSE")) {
            std::fprintf(stderr, "%s: %s at %#x\n", name.c_str(), uc_strerror(e), eip);
        }
        n.instructions = instructions_;
        n.stores = stores_;
        // Leave the x87 stack empty for the next call.
        uint16_t empty = 0xFFFF;
        uc_reg_write(uc_, UC_X86_REG_FPTAG, &empty);
        return n;
    }

  private:
    static void on_code(uc_engine*, uint64_t, uint32_t, void* self) {
        ++static_cast<Guest*>(self)->instructions_;
    }
    static void on_store(uc_engine*, uc_mem_type, uint64_t, int, int64_t, void* self) {
        ++static_cast<Guest*>(self)->stores_;
    }

    void read_symbols(const std::vector<uint8_t>& bytes, const Elf32_Ehdr& eh) {
        std::vector<Elf32_Shdr> sections(eh.e_shnum);
        if (eh.e_shoff + eh.e_shnum * sizeof(Elf32_Shdr) > bytes.size()) return;
        std::memcpy(sections.data(), bytes.data() + eh.e_shoff, eh.e_shnum * sizeof(Elf32_Shdr));
        for (const Elf32_Shdr& s : sections) {
            if (s.sh_type != SHT_SYMTAB || s.sh_link >= sections.size()) continue;
            const Elf32_Shdr& names = sections[s.sh_link];
            if (s.sh_offset + s.sh_size > bytes.size() ||
                names.sh_offset + names.sh_size > bytes.size()) {
                continue;
            }
            for (uint32_t k = 0; k + sizeof(Elf32_Sym) <= s.sh_size; k += sizeof(Elf32_Sym)) {
                Elf32_Sym sym;
                std::memcpy(&sym, bytes.data() + s.sh_offset + k, sizeof sym);
                if (sym.st_name >= names.sh_size || sym.st_shndx == SHN_UNDEF) continue;
                const char* name =
                    reinterpret_cast<const char*>(bytes.data() + names.sh_offset + sym.st_name);
                symbols_[std::string(name, strnlen(name, names.sh_size - sym.st_name))] =
                    sym.st_value;
            }
        }
    }

    uc_engine* uc_ = nullptr;
    std::map<uint32_t, bool> mapped_;
    std::map<std::string, uint32_t> symbols_;
    uint64_t instructions_ = 0, stores_ = 0;
};

std::string figure(const Counts& c) {
    if (!c.ok) return "fault";
    return std::to_string(c.instructions);
}

}  // namespace

int main(int argc, char** argv) {
    std::string image = argc > 1 ? argv[1] : NUV_BENCH_GUEST;
    Guest g;
    std::string err;
    if (!g.load(image, err)) {
        std::fprintf(stderr, "emu_bench: %s\n", err.c_str());
        return 1;
    }
    const bool musl = g.has("musl_memcpy");
    std::printf(
        "In the emulator, per call: instructions and stores (* where ours is above musl)\n");
    if (!musl) std::printf("musl: not built in\n");
    std::printf("%-44s %10s %10s %8s %8s\n", "case", "insns", "musl", "stores", "musl");
    for (const Case& c : kCases) {
        Counts ours = g.call(std::string("nuv_") + kFnNames[c.fn], c);
        Counts theirs;
        if (musl) theirs = g.call(std::string("musl_") + kFnNames[c.fn], c);
        auto mark = [&](uint64_t a, uint64_t b) {
            return musl && ours.ok && theirs.ok && a > b ? "*" : " ";
        };
        std::printf("%-44s %9s%s %10s %7s%s %8s\n", c.name, figure(ours).c_str(),
                    mark(ours.instructions, theirs.instructions),
                    musl ? figure(theirs).c_str() : "-",
                    ours.ok ? std::to_string(ours.stores).c_str() : "fault",
                    mark(ours.stores, theirs.stores),
                    !musl       ? "-"
                    : theirs.ok ? std::to_string(theirs.stores).c_str()
                                : "fault");
    }
    return 0;
}
