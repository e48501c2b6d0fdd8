#include "elf32.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace nuv::elf {
namespace {

constexpr uint32_t kMaxFileSize = 256u << 20;

struct Reader {
    const std::vector<uint8_t>& b;
    bool has(uint64_t off, uint64_t len) const { return off <= b.size() && len <= b.size() - off; }
    uint16_t u16(uint32_t off) const { return static_cast<uint16_t>(b[off] | (b[off + 1] << 8)); }
    uint32_t u32(uint32_t off) const {
        return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
               (static_cast<uint32_t>(b[off + 2]) << 16) |
               (static_cast<uint32_t>(b[off + 3]) << 24);
    }
};

bool fail(std::string& err, std::string msg) {
    err = std::move(msg);
    return false;
}

bool read_string(const std::vector<uint8_t>& b, const Section& table, uint32_t index,
                 std::string& out) {
    if (table.type == SHT_NOBITS || index >= table.size) return false;
    uint64_t start = uint64_t{table.offset} + index;
    uint64_t end = uint64_t{table.offset} + table.size;
    if (end > b.size()) return false;
    const uint8_t* p = b.data() + start;
    const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(p, 0, end - start));
    if (nul == nullptr) return false;
    out.assign(reinterpret_cast<const char*>(p), reinterpret_cast<const char*>(nul));
    return true;
}

bool parse_sections(File& f, const Reader& r, std::string& err) {
    uint32_t shoff = r.u32(32);
    uint16_t shentsize = r.u16(46), shnum = r.u16(48), shstrndx = r.u16(50);
    if (shoff == 0 || shnum == 0) return true;
    if (shentsize != 40) return fail(err, "section header entries are not 40 bytes");
    if (!r.has(shoff, uint64_t{shnum} * 40))
        return fail(err, "section headers lie outside the file");
    for (uint32_t i = 0; i < shnum; ++i) {
        uint32_t o = shoff + i * 40;
        Section s{};
        s.type = r.u32(o + 4);
        s.flags = r.u32(o + 8);
        s.addr = r.u32(o + 12);
        s.offset = r.u32(o + 16);
        s.size = r.u32(o + 20);
        s.link = r.u32(o + 24);
        s.info = r.u32(o + 28);
        s.align = r.u32(o + 32);
        s.entsize = r.u32(o + 36);
        if (s.type != SHT_NOBITS && s.type != 0 && !r.has(s.offset, s.size)) {
            return fail(err, "section " + std::to_string(i) + " lies outside the file");
        }
        f.sections.push_back(s);
    }
    if (shstrndx >= shnum) return fail(err, "section name table index out of range");
    const Section names = f.sections[shstrndx];
    for (size_t i = 0; i < f.sections.size(); ++i) {
        uint32_t name_off = r.u32(shoff + static_cast<uint32_t>(i) * 40);
        if (!read_string(r.b, names, name_off, f.sections[i].name)) {
            return fail(err, "section " + std::to_string(i) + " has a bad name");
        }
    }
    for (const Section& s : f.sections) {
        if (s.type != SHT_SYMTAB) continue;
        if (s.entsize != 16 || s.link >= f.sections.size()) return fail(err, "bad symbol table");
        const Section& strtab = f.sections[s.link];
        for (uint32_t o = s.offset; o + 16 <= s.offset + s.size; o += 16) {
            std::string name;
            if (!read_string(r.b, strtab, r.u32(o), name)) return fail(err, "bad symbol name");
            if (name.empty()) continue;
            f.symbols.emplace(std::move(name), Symbol{r.u32(o + 4), r.u32(o + 8),
                                                      static_cast<uint8_t>(r.b[o + 12] & 0xf)});
        }
    }
    return true;
}

}  // namespace

const Section* File::section(std::string_view name) const {
    for (const Section& s : sections) {
        if (s.name == name) return &s;
    }
    return nullptr;
}

std::span<const uint8_t> File::contents(const Section& s) const {
    // Sections without file bytes (NOBITS, NULL) and any section whose range
    // does not lie wholly inside the file give no bytes; a caller may hand in
    // a Section it built or changed itself, so nothing here trusts the header.
    if (s.type == SHT_NOBITS || s.type == SHT_NULL) return {};
    if (s.offset > bytes.size() || s.size > bytes.size() - s.offset) return {};
    return {bytes.data() + s.offset, s.size};
}

static std::optional<File> parse_file(std::vector<uint8_t> bytes, std::string& err) {
    File f;
    f.bytes = std::move(bytes);
    Reader r{f.bytes};
    if (!r.has(0, 52)) {
        fail(err, "file too short for an ELF header");
        return std::nullopt;
    }
    if (std::memcmp(f.bytes.data(),
                    "\x7f"
                    "ELF",
                    4) != 0) {
        fail(err, "not an ELF file (bad magic)");
        return std::nullopt;
    }
    if (f.bytes[4] != 1) {
        fail(err, "not a 32-bit ELF file");
        return std::nullopt;
    }
    if (f.bytes[5] != 1) {
        fail(err, "not a little-endian ELF file");
        return std::nullopt;
    }
    if (f.bytes[6] != 1) {
        fail(err, "unknown ELF version");
        return std::nullopt;
    }
    f.osabi = f.bytes[7];
    f.type = r.u16(16);
    f.machine = r.u16(18);
    f.entry = r.u32(24);
    uint32_t phoff = r.u32(28);
    uint16_t phentsize = r.u16(42), phnum = r.u16(44);
    if (phnum != 0) {
        if (phentsize != 32) {
            fail(err, "program header entries are not 32 bytes");
            return std::nullopt;
        }
        if (!r.has(phoff, uint64_t{phnum} * 32)) {
            fail(err, "program headers lie outside the file");
            return std::nullopt;
        }
    }
    for (uint32_t i = 0; i < phnum; ++i) {
        uint32_t o = phoff + i * 32;
        f.segments.push_back(Segment{r.u32(o), r.u32(o + 4), r.u32(o + 8), r.u32(o + 12),
                                     r.u32(o + 16), r.u32(o + 20), r.u32(o + 24), r.u32(o + 28)});
    }
    if (!parse_sections(f, r, err)) return std::nullopt;
    return f;
}

static std::optional<File> read_whole(const std::string& path, std::string& err) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        err = "cannot open " + path;
        return std::nullopt;
    }
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxFileSize) {
        err = "cannot read " + path + " (not a regular file or larger than 256 MiB)";
        return std::nullopt;
    }
    in.seekg(0);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        err = "cannot read " + path;
        return std::nullopt;
    }
    return parse_file(std::move(bytes), err);
}

Result<File> parse(std::vector<uint8_t> bytes) {
    std::string err;
    std::optional<File> f = parse_file(std::move(bytes), err);
    if (!f) return Error{HostError::BadImage, err};
    return std::move(*f);
}

Result<File> read_file(const std::string& path) {
    std::string err;
    std::optional<File> f = read_whole(path, err);
    if (!f) return Error{HostError::BadImage, err};
    return std::move(*f);
}

std::string check_loadable(const File& f) {
    if (f.machine != 3) return "not an i386 image (machine " + std::to_string(f.machine) + ")";
    if (f.type != 2) return "not an executable (ELF type " + std::to_string(f.type) + ")";
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const Segment& s : f.segments) {
        if (s.type == PT_DYNAMIC) return "image has a dynamic section";
        if (s.type == PT_INTERP) return "image asks for a program interpreter";
        if (s.type != PT_LOAD) continue;
        if (s.filesz > s.memsz) return "segment's file size exceeds its memory size";
        if (uint64_t{s.offset} + s.filesz > f.bytes.size()) return "segment lies outside the file";
        if (uint64_t{s.vaddr} + s.memsz > 0x100000000ull)
            return "segment overflows the address space";
        if (s.memsz == 0) continue;
        ranges.emplace_back(s.vaddr, uint64_t{s.vaddr} + s.memsz);
    }
    for (const Section& s : f.sections) {
        if (s.type == SHT_DYNAMIC) return "image has a dynamic section";
    }
    if (ranges.empty()) return "image has no loadable segment";
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].first < ranges[i - 1].second) return "segments overlap";
    }
    return {};
}

}  // namespace nuv::elf
