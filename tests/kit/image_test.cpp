// The ver image's layout and its metadata records, read back from the file.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "fault_report.hpp"
#include "elf32.hpp"
#include "guest.hpp"
#include "metadata.hpp"

namespace {

using nuv::elf::File;

File read_ver() {
    auto f = nuv::elf::read_file(nuvtest::image_path("ver"));
    EXPECT_TRUE(f) << f.error().message;
    return f ? std::move(*f) : File{};
}

std::vector<uint8_t> bytes_of(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

const std::string kCommandRecord = std::string("NCMD\x01\x00\x00\x00", 8) +
                                   std::string("Show system version information.\0ver\0\0", 38);
const std::string kPackageRecord = std::string("NPKG\x01\x00\x00\x00", 8) + std::string(
                                                                                "ver\0"
                                                                                "3\0\0",
                                                                                7);

TEST(Image, HeaderIsAStaticI386Executable) {
    File f = read_ver();
    EXPECT_EQ(f.bytes[4], 1);  // 32-bit
    EXPECT_EQ(f.bytes[5], 1);  // little-endian
    EXPECT_EQ(f.osabi, 0);
    EXPECT_EQ(f.type, 2);     // executable
    EXPECT_EQ(f.machine, 3);  // i386
    EXPECT_EQ(f.entry, 0x400000u);
    EXPECT_EQ(f.symbols.at("_start").value, 0x400000u);
    EXPECT_EQ(nuv::elf::check_loadable(f), "");
}

TEST(Image, ThreeLoadSegmentsCodeReadOnlyData) {
    File f = read_ver();
    std::vector<nuv::elf::Segment> loads;
    for (const auto& s : f.segments) {
        EXPECT_NE(s.type, nuv::elf::PT_DYNAMIC);
        EXPECT_NE(s.type, nuv::elf::PT_INTERP);
        if (s.type == nuv::elf::PT_LOAD) loads.push_back(s);
    }
    ASSERT_EQ(loads.size(), 3u);
    const uint32_t flags[] = {nuv::elf::PF_R | nuv::elf::PF_X, nuv::elf::PF_R,
                              nuv::elf::PF_R | nuv::elf::PF_W};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(loads[i].flags, flags[i]) << i;
        EXPECT_EQ(loads[i].vaddr % 4096, 0u) << i;
        if (i > 0) {
            EXPECT_GE(loads[i].vaddr, loads[i - 1].vaddr + loads[i - 1].memsz);
        }
    }
    EXPECT_EQ(loads[0].vaddr, 0x400000u);
}

TEST(Image, SectionsInOrderAndNothingExtra) {
    File f = read_ver();
    std::vector<std::string> alloc;
    for (const auto& s : f.sections) {
        if (s.flags & nuv::elf::SHF_ALLOC) alloc.push_back(s.name);
    }
    std::vector<std::string> expect = {".text",          ".rodata", ".nuvos.cmdmeta",
                                       ".nuvos.pkgmeta", ".data",   ".bss"};
    EXPECT_EQ(alloc, expect);
    for (const char* absent : {".dynamic", ".interp", ".init_array", ".eh_frame", ".got", ".plt"}) {
        EXPECT_EQ(f.section(absent), nullptr) << absent;
    }
}

TEST(Image, TextStartsWithStartThenMain) {
    File f = read_ver();
    uint32_t start = f.symbols.at("_start").value, main = f.symbols.at("main").value;
    EXPECT_EQ(f.section(".text")->addr, start);
    EXPECT_GT(main, start);
    for (const auto& [name, s] : f.symbols) {
        if (s.type == 2 && name != "_start" && name != "main") {
            EXPECT_GT(s.value, main) << name << " lies between _start and main";
        }
    }
}

TEST(Image, RecordsAreExactBytesInTheirSections) {
    File f = read_ver();
    struct {
        const char* section;
        const std::string& bytes;
        uint32_t align;
    } records[] = {{".nuvos.cmdmeta", kCommandRecord, 32}, {".nuvos.pkgmeta", kPackageRecord, 4}};
    ASSERT_EQ(kCommandRecord.size(), 46u);
    ASSERT_EQ(kPackageRecord.size(), 15u);
    for (const auto& r : records) {
        const nuv::elf::Section* s = f.section(r.section);
        ASSERT_NE(s, nullptr) << r.section;
        EXPECT_EQ(s->type, nuv::elf::SHT_PROGBITS);
        EXPECT_EQ(s->flags, nuv::elf::SHF_ALLOC) << r.section;
        EXPECT_EQ(s->align, r.align) << r.section;
        EXPECT_EQ(s->addr % r.align, 0u);
        auto c = f.contents(*s);
        EXPECT_EQ(std::vector<uint8_t>(c.begin(), c.end()), bytes_of(r.bytes)) << r.section;
    }
}

// A section header whose range lies outside the file (the parser lets a NULL
// section's range be anything) must give no bytes rather than a span past the
// end of the file.
TEST(Image, SectionContentsNeverReachPastTheFile) {
    File f = read_ver();
    ASSERT_FALSE(f.sections.empty());
    const uint32_t size = static_cast<uint32_t>(f.bytes.size());
    struct Case {
        uint32_t type, offset, size;
        size_t expected;
    } cases[] = {
        {nuv::elf::SHT_NULL, 0x7FFFFFF0, 0x100, 0}, {nuv::elf::SHT_NULL, 0, 16, 0},
        {nuv::elf::SHT_PROGBITS, size - 8, 9, 0},   {nuv::elf::SHT_PROGBITS, 0xFFFFFFFF, 2, 0},
        {nuv::elf::SHT_PROGBITS, 8, 0xFFFFFFFC, 0}, {nuv::elf::SHT_PROGBITS, size - 8, 8, 8},
        {nuv::elf::SHT_NOBITS, 0, 16, 0},
    };
    for (const Case& c : cases) {
        nuv::elf::Section s = f.sections[0];
        s.type = c.type;
        s.offset = c.offset;
        s.size = c.size;
        EXPECT_EQ(f.contents(s).size(), c.expected) << c.type << " " << c.offset;
    }

    // The same through the parser: section 0 (NULL) pointing far outside.
    std::vector<uint8_t> b = f.bytes;
    uint32_t shoff;
    std::memcpy(&shoff, &b[32], 4);
    const uint32_t far[2] = {0x7FFFFF00, 0x1000};
    std::memcpy(&b[shoff + 16], far, sizeof far);
    auto g = nuv::elf::parse(std::move(b));
    ASSERT_TRUE(g) << g.error().message;
    EXPECT_TRUE(g->contents(g->sections[0]).empty());
}

TEST(Image, RecordReaderFindsTextsByTheirTerminators) {
    File f = read_ver();
    std::string err;
    auto cmd = nuv::meta::read_command(f, err);
    ASSERT_TRUE(cmd) << err;
    EXPECT_EQ(cmd->description, "Show system version information.");
    EXPECT_EQ(cmd->name, "ver");
    auto pkg = nuv::meta::read_package(f, err);
    ASSERT_TRUE(pkg) << err;
    EXPECT_EQ(pkg->name, "ver");
    EXPECT_EQ(pkg->text, "3");
    // Another description length moves the name: it is found all the same.
    std::string other = std::string("NCMD\x01\x00\x00\x00", 8) + std::string("Hi\0cat\0\0", 8);
    auto r = nuv::meta::parse_record(bytes_of(other), "NCMD", 2, err);
    ASSERT_TRUE(r) << err;
    EXPECT_EQ(r->texts, (std::vector<std::string>{"Hi", "cat"}));
}

TEST(Image, MalformedRecordsAreRefused) {
    const std::string base = kCommandRecord;
    struct Case {
        std::string bytes;
        const char* reason;
    } cases[] = {
        {"", "shorter"},
        {base.substr(0, 7), "shorter"},
        {"XCMD" + base.substr(4), "magic"},
        {base.substr(0, 4) + std::string("\x02\x00\x00\x00", 4) + base.substr(8), "version"},
        {base.substr(0, 45), "no end byte"},
        {base.substr(0, 44), "text 2 has no terminating NUL"},
        {base.substr(0, 20), "NUL"},
        {base.substr(0, 45) + "x", "end byte is not zero"},
        {base + std::string(1, '\0'), "follow the end"},
        {base.substr(0, 10) + "\x07" + base.substr(11), "ASCII"},
    };
    for (const Case& c : cases) {
        std::string err;
        EXPECT_FALSE(nuv::meta::parse_record(bytes_of(c.bytes), "NCMD", 2, err)) << c.reason;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    }
}

const std::string kNuvmeta = NUV_BIN_DIR "/nuvmeta";

TEST(Nuvmeta, PrintsBothRecordsForPeopleAndAsJson) {
    nuvtest::ToolRun text = nuvtest::run_command(kNuvmeta + " " + nuvtest::image_path("ver"));
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out,
              "command:     ver\n"
              "description: Show system version information.\n"
              "package:     ver\n"
              "text:        3\n");
    nuvtest::ToolRun json =
        nuvtest::run_command(kNuvmeta + " --json " + nuvtest::image_path("ver"));
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, "[{\"image\":\"" + nuvtest::image_path("ver") +
                            "\",\"command\":{\"version\":1,\"name\":\"ver\",\"description\":"
                            "\"Show system version information.\"},\"package\":{\"version\":1,"
                            "\"name\":\"ver\",\"text\":\"3\"}}]\n");
}

TEST(Nuvmeta, JsonHasOneShapeForAnyNumberOfImages) {
    const std::string ver = nuvtest::image_path("ver");
    const std::string one = "{\"image\":\"" + ver +
                            "\",\"command\":{\"version\":1,\"name\":\"ver\",\"description\":"
                            "\"Show system version information.\"},\"package\":{\"version\":1,"
                            "\"name\":\"ver\",\"text\":\"3\"}}";
    struct Case {
        std::string args;
        int status;
        std::string out;
    } cases[] = {
        {ver + " " + ver, 0, "[" + one + "," + one + "]\n"},
        {ver + " /nonexistent/image", 1, "[" + one + "]\n"},
        {"/nonexistent/image", 1, "[]\n"},
    };
    for (const Case& c : cases) {
        nuvtest::ToolRun r = nuvtest::run_command(kNuvmeta + " --json " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
    nuvtest::ToolRun v = nuvtest::run_command(kNuvmeta + " --version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("nuvmeta (NUV-OS toolkit) ", 0), 0u) << v.out;
}

TEST(Nuvmeta, JsonEscapingKeepsUtf8AndEscapesEveryOtherOddByte) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain \"q\" \\", "plain \\\"q\\\" \\\\"},
        {"\n\t\x01\x7f", "\\u000a\\u0009\\u0001\\u007f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xe9t\xe9", "\\u00e9t\\u00e9"},                      // Latin-1, not UTF-8
        {"\xc0\xaf", "\\u00c0\\u00af"},                        // overlong '/'
        {"\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},             // a surrogate
        {"\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},  // above U+10FFFF
        {"\xe2\x82", "\\u00e2\\u0082"},                        // cut short at the end
        {std::string("a\0b", 3), "a\\u0000b"},
    };
    for (const Case& c : cases) EXPECT_EQ(nuv::meta::json_escape(c.in), c.out) << c.out;
}

// Reads the JSON string that begins at out[at] (its opening quote) and
// returns the bytes it stands for, one byte per code point; fails the test on
// anything that is not strict JSON or not plain ASCII.
std::string read_json_string(const std::string& out, size_t& at) {
    std::string bytes;
    EXPECT_EQ(out[at], '"');
    for (++at; at < out.size() && out[at] != '"'; ++at) {
        unsigned char c = static_cast<unsigned char>(out[at]);
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "raw byte " << int(c) << " at " << at;
        if (c != '\\') {
            bytes += static_cast<char>(c);
        } else if (out[++at] == 'u') {
            unsigned long cp = std::strtoul(out.substr(at + 1, 4).c_str(), nullptr, 16);
            EXPECT_LT(cp, 256u);
            bytes += static_cast<char>(cp);
            at += 4;
        } else {
            EXPECT_TRUE(out[at] == '"' || out[at] == '\\') << "escape " << out[at];
            bytes += out[at];
        }
    }
    EXPECT_LT(at, out.size()) << "unterminated string";
    ++at;
    return bytes;
}

// An image's path may hold any byte but '/' and NUL (in this order, no two of
// them form UTF-8): the JSON stays ASCII and valid, and every byte comes back.
TEST(Nuvmeta, JsonCarriesEveryByteOfThePath) {
    std::string name;
    for (int c = 1; c < 256; ++c) {
        if (c != '/') name += static_cast<char>(c);
    }
    nuvtest::ScratchDir dir("nuvmeta_json");
    std::string path = dir.path() + "/" + name;
    File f = read_ver();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(f.bytes.data()),
               static_cast<std::streamsize>(f.bytes.size()));

    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    nuvtest::ToolRun r = nuvtest::run_command(kNuvmeta + " --json " + quoted + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string image_key = "[{\"image\":";
    ASSERT_EQ(r.out.compare(0, image_key.size(), image_key), 0) << r.out;
    size_t at = image_key.size();
    EXPECT_EQ(read_json_string(r.out, at), path);
    EXPECT_EQ(r.out.substr(at),
              ",\"command\":{\"version\":1,\"name\":\"ver\",\"description\":"
              "\"Show system version information.\"},\"package\":{\"version\":1,"
              "\"name\":\"ver\",\"text\":\"3\"}}]\n");
}

TEST(Nuvmeta, MissingOrBrokenRecordsFailClearly) {
    // The library test image has no records; a damaged copy of ver has a bad end byte.
    std::string damaged = testing::TempDir() + "ver_damaged_" + std::to_string(getpid());
    {
        File f = read_ver();
        const nuv::elf::Section* s = f.section(".nuvos.pkgmeta");
        ASSERT_NE(s, nullptr);
        f.bytes[s->offset + s->size - 1] = 'Z';
        std::ofstream(damaged, std::ios::binary)
            .write(reinterpret_cast<const char*>(f.bytes.data()),
                   static_cast<std::streamsize>(f.bytes.size()));
    }
    struct Case {
        std::string args;
        int status;
        const char* message;
    } cases[] = {
        {nuvtest::image_path("libtest"), 1, "no .nuvos.cmdmeta section"},
        {damaged, 1, ".nuvos.pkgmeta: end byte is not zero"},
        {"/nonexistent/image", 1, "cannot open"},
        {"/dev/null", 1, "too short"},
        {"", 2, "usage"},
        {"--bogus x", 2, "unknown option"},
    };
    for (const Case& c : cases) {
        nuvtest::ToolRun r = nuvtest::run_command(kNuvmeta + " " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    }
}

}  // namespace

namespace {

// The memory-stream append code, and the heap and copy code it brings, are
// linked only into images that make memory-backed streams; ver stays small.
TEST(Image, MemoryStreamCodeOnlyWhereStreamsAreMade) {
    File ver = read_ver();
    for (const char* absent : {"nuv_stdio_memory_append", "realloc", "malloc", "memcpy"}) {
        EXPECT_EQ(ver.symbols.count(absent), 0u) << absent;
    }
    ASSERT_NE(ver.section(".text"), nullptr);
    EXPECT_LE(ver.section(".text")->size, 700u);
    nuv::Options o = nuvtest::test_options();
    o.count_instructions = true;
    auto v = nuvtest::load_image("ver", o);
    ASSERT_EQ(v->run({"ver"}).stop, nuv::Stop::Exited);
    EXPECT_LE(v->instructions(), 130u);

    auto memout = nuv::elf::read_file(nuvtest::image_path("memout"));
    ASSERT_TRUE(memout) << memout.error().message;
    EXPECT_EQ(memout->symbols.count("nuv_stdio_memory_append"), 1u);
    auto m = nuvtest::load_image("memout", nuvtest::test_options());
    nuv::RunResult r = m->run({"memout"});
    ASSERT_EQ(r.stop, nuv::Stop::Exited) << nuv::report::what(r);
    EXPECT_EQ(m->output(), "first\n\nsecond");
    EXPECT_EQ(r.status, 13);
}

}  // namespace

namespace {

// Every image carries the library's state whether its code uses it or not:
// the data segment holds .data (the standard streams, the random generator's
// state) and then .bss (errno, the 1 MiB heap arena and its fill level),
// which the loader supplies zero-filled. And ver's line goes through the one
// stream writer: two calls of file_write_bytes, two writes, the exit.
TEST(Image, DataSegmentCarriesTheLibraryStateAndTheHeap) {
    struct Placed {
        const char* symbol;
        const char* section;
        uint32_t size;
    };
    const Placed placed[] = {
        {"stdout", ".data", 4},       {"g_stdout", ".data", 44},    {"g_stdin", ".data", 44},
        {"g_stderr", ".data", 44},    {"g_rand_state", ".data", 4}, {"errno", ".bss", 4},
        {"g_heap", ".bss", 1u << 20}, {"g_heap_used", ".bss", 4},   {"g_rand_seeded", ".bss", 4},
    };
    for (const char* image : {"ver", "memout", "hello"}) {
        SCOPED_TRACE(image);
        auto f = nuv::elf::read_file(nuvtest::image_path(image));
        ASSERT_TRUE(f) << f.error().message;
        const nuv::elf::Segment* data = nullptr;
        for (const auto& s : f->segments) {
            if (s.type == nuv::elf::PT_LOAD && (s.flags & nuv::elf::PF_W)) data = &s;
        }
        ASSERT_NE(data, nullptr);
        EXPECT_GT(data->memsz - data->filesz, 1u << 20);
        EXPECT_LT(data->memsz - data->filesz, (1u << 20) + 4096);
        const nuv::elf::Section* dsec = f->section(".data");
        const nuv::elf::Section* bss = f->section(".bss");
        ASSERT_NE(dsec, nullptr);
        ASSERT_NE(bss, nullptr);
        EXPECT_EQ(bss->type, nuv::elf::SHT_NOBITS);
        EXPECT_EQ(dsec->addr, data->vaddr);
        EXPECT_LE(dsec->addr + dsec->size, bss->addr);
        EXPECT_EQ(bss->addr + bss->size, data->vaddr + data->memsz);
        for (const Placed& p : placed) {
            auto sym = f->symbols.find(p.symbol);
            ASSERT_NE(sym, f->symbols.end()) << p.symbol;
            const nuv::elf::Section* in = f->section(p.section);
            EXPECT_GE(sym->second.value, in->addr) << p.symbol;
            EXPECT_LE(sym->second.value + p.size, in->addr + in->size) << p.symbol;
            EXPECT_EQ(sym->second.size, p.size) << p.symbol;
        }
        EXPECT_EQ(f->symbols.at("g_heap").value % 8, 0u);
    }

    File ver = read_ver();
    ASSERT_EQ(ver.symbols.count("file_write_bytes"), 1u);
    EXPECT_EQ(ver.symbols.at("file_write_bytes").type, 2);  // a function
    auto m = nuvtest::load_image("ver", nuvtest::test_options());
    const uint32_t writer = m->symbol("file_write_bytes");
    m->watch_exec(writer);
    nuv::RunResult r = m->run({"ver"});
    ASSERT_EQ(r.stop, nuv::Stop::Exited) << nuv::report::what(r);
    EXPECT_EQ(m->exec_count(writer), 2u);
    // Call number and first argument of each trap: write(1, ...) twice, exit(0).
    std::vector<std::pair<uint32_t, uint32_t>> traps;
    for (const auto& t : m->traps()) traps.emplace_back(t.args.nr, t.args.ebx);
    EXPECT_EQ(traps, (std::vector<std::pair<uint32_t, uint32_t>>{
                         {NUV_SYS_write, 1}, {NUV_SYS_write, 1}, {NUV_SYS_exit, 0}}));
}

}  // namespace
