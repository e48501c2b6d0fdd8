// Opening, reading, positioning and closing streams, against scripted kernel
// calls (files on a real sandbox are in sandbox_test.cpp).
#include "guest.hpp"

namespace {

using nuvtest::LibTest;


// The eleven fields of a stream record, in their order.
struct Record {
    int32_t kind, fd;
    uint32_t path, buf, len, cap, out_buf, out_len;
    int32_t error, pos, eof;
};
static_assert(sizeof(Record) == 44);

class Streams : public LibTest {
  protected:
    Record record(uint32_t at) {
        Record r{};
        EXPECT_TRUE(g().read(at, &r, sizeof r));
        return r;
    }
    // A record in scratch memory, as a command might hold one.
    uint32_t make_record(int32_t kind, int32_t fd) {
        Record r{};
        r.kind = kind;
        r.fd = fd;
        uint32_t at = nuvtest::alloc(g(), sizeof r, 4);
        g().write(at, &r, sizeof r);
        return at;
    }
    void set_field(uint32_t at, int index, uint32_t value) { g().set_u32(at + 4 * index, value); }
    uint32_t var(const char* name) { return g().u32(sym(name)); }
    uint32_t heap_used() { return var("g_heap_used"); }
};

TEST_F(Streams, FopenOfTheDashGivesTheCurrentStandardStreams) {
    struct Case {
        bool null_path;
        const char* mode;
        const char* expect;  // the variable whose value comes back, or nullptr
    };
    const Case cases[] = {
        {false, "r", "stdin"},   {false, "rb", "stdin"}, {false, "w", "stdout"},
        {false, "wb", "stdout"}, {false, "a", nullptr},  {false, "", nullptr},
        {true, "r", "stdin"},    {true, "w+", "stdout"}, {true, "x", nullptr},
    };
    // Standard streams are handed out as the variables hold them now.
    uint32_t other = make_record(1, 7);
    g().set_u32(sym("stdout"), other);
    for (const Case& c : cases) {
        g().clear_traps();
        uint32_t used = heap_used();
        uint32_t path = c.null_path ? 0u : str("-");
        uint32_t expect = c.expect ? var(c.expect) : 0u;
        EXPECT_EQ(call("fopen", {path, str(c.mode)}), expect) << c.mode;
        EXPECT_TRUE(g().traps().empty()) << c.mode;
        EXPECT_EQ(heap_used(), used) << c.mode << ": no record is allocated";
    }
    EXPECT_EQ(call("fopen", {str("-"), 0u}), 0u);
    EXPECT_EQ(call("fopen", {0u, 0u}), 0u);
}

TEST_F(Streams, FopenModesOnAPath) {
    // Only the first character counts: r+ opens read-only, wb makes a write-file stream.
    script(NUV_SYS_open, {6});
    uint32_t f = call("fopen", {str("data.txt"), str("r+")});
    ASSERT_NE(f, 0u);
    ASSERT_EQ(g().traps().size(), 1u);
    const nuv::TrapRecord& t = g().traps()[0];
    EXPECT_EQ(t.args.nr, NUV_SYS_open);
    EXPECT_EQ(g().read_string(t.args.ebx), "data.txt");
    EXPECT_EQ(t.args.ecx, 0u);
    EXPECT_EQ(t.args.edx, 0u);
    Record r = record(f);
    EXPECT_EQ(r.kind, 1);
    EXPECT_EQ(r.fd, 6);
    EXPECT_EQ(r.path, 0u);
    EXPECT_EQ(r.pos, 0);
    // A read-only stream takes no output.
    EXPECT_EQ(icall("fputc", {'x', f}), -1);

    g().clear_traps();
    uint32_t path = str("out.txt");
    uint32_t w = call("fopen", {path, str("wb")});
    ASSERT_NE(w, 0u);
    EXPECT_TRUE(g().traps().empty()) << "a write-file stream touches nothing until fclose";
    Record rw = record(w);
    EXPECT_EQ(rw.kind, 3);
    EXPECT_EQ(rw.fd, 0);
    EXPECT_NE(rw.path, path);
    EXPECT_EQ(g().read_string(rw.path), "out.txt");
    EXPECT_EQ(rw.buf, 0u);

    for (const char* mode : {"a", "", "+r", "R"}) {
        g().clear_traps();
        uint32_t used = heap_used();
        EXPECT_EQ(call("fopen", {path, str(mode)}), 0u) << mode;
        EXPECT_TRUE(g().traps().empty()) << mode;
        EXPECT_EQ(heap_used(), used) << mode;
    }
}

TEST_F(Streams, FopenFailuresReleaseWhatTheyTook) {
    // A refused open gives null and allocates nothing.
    script(NUV_SYS_open, {-2});
    uint32_t used = heap_used();
    EXPECT_EQ(call("fopen", {str("missing"), str("r")}), 0u);
    EXPECT_EQ(heap_used(), used);

    // No room for the record: the descriptor is closed again.
    SetUp();
    script(NUV_SYS_open, {9});
    g().set_u32(sym("g_heap_used"), 1u << 20);
    EXPECT_EQ(call("fopen", {str("f"), str("r")}), 0u);
    EXPECT_EQ(trap_numbers(), (std::vector<uint32_t>{NUV_SYS_open, NUV_SYS_close}));
    EXPECT_EQ(g().traps()[1].args.ebx, 9u);
    EXPECT_EQ(var("errno"), 12u);

    // Room for the record (a 48-byte block) but not for the path copy.
    SetUp();
    g().set_u32(sym("g_heap_used"), (1u << 20) - 48);
    EXPECT_EQ(call("fopen", {str("a-long-path-name"), str("w")}), 0u);
    EXPECT_TRUE(g().traps().empty());
}

TEST_F(Streams, FcloseOfAWriteFileStreamWritesOnceWithTheWholeContent) {
    script(NUV_SYS_writefile, {0});
    uint32_t f = call("fopen", {str("out.txt"), str("w")});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(icall("fputs", {str("hello, "), f}), 7);
    EXPECT_EQ(icall("fputs", {str("world"), f}), 5);
    EXPECT_TRUE(g().traps().empty());
    EXPECT_EQ(icall("fclose", {f}), 0);
    ASSERT_EQ(trap_numbers(), std::vector<uint32_t>{NUV_SYS_writefile});
    const nuv::SyscallArgs& a = g().traps()[0].args;
    EXPECT_EQ(g().read_string(a.ebx), "out.txt");
    EXPECT_EQ(a.edx, 12u);
    std::vector<uint8_t> data = g().read_bytes(a.ecx, 12);
    EXPECT_EQ(std::string(data.begin(), data.end()), "hello, world");
}

TEST_F(Streams, FcloseWithoutWritesWritesAnEmptyFile) {
    struct Case {
        int32_t kernel;
        int32_t result;
    };
    for (const Case c : {Case{0, 0}, Case{5, 0}, Case{-13, -1}, Case{-1, -1}}) {
        SetUp();
        script(NUV_SYS_writefile, {c.kernel});
        uint32_t f = call("fopen", {str("/no/such/dir/file"), str("w")});
        ASSERT_NE(f, 0u) << "a path the kernel refuses shows only at fclose";
        EXPECT_EQ(icall("fclose", {f}), c.result) << c.kernel;
        ASSERT_EQ(trap_numbers(), std::vector<uint32_t>{NUV_SYS_writefile});
        const nuv::SyscallArgs& a = g().traps()[0].args;
        EXPECT_EQ(a.edx, 0u);
        ASSERT_NE(a.ecx, 0u) << "never a null data pointer";
        EXPECT_EQ(g().read_string(a.ecx), "");
    }
}

TEST_F(Streams, FcloseByKind) {
    uint32_t free_fn = sym("free");
    g().watch_exec(free_fn);
    // A descriptor stream above 2 is closed, and the kernel's result comes back.
    script(NUV_SYS_close, {-9});
    uint32_t f = make_record(1, 5);
    EXPECT_EQ(icall("fclose", {f}), -9);
    ASSERT_EQ(trap_numbers(), std::vector<uint32_t>{NUV_SYS_close});
    EXPECT_EQ(g().traps()[0].args.ebx, 5u);
    EXPECT_EQ(g().exec_count(free_fn), 1u) << "the record";

    // Descriptors 0 to 2 of a record that is not a standard stream: not closed.
    for (int32_t fd : {0, 1, 2}) {
        g().clear_traps();
        EXPECT_EQ(icall("fclose", {make_record(1, fd)}), 0) << fd;
        EXPECT_TRUE(g().traps().empty()) << fd;
    }

    // A write-file stream without a path fails, but is still released.
    uint32_t frees = static_cast<uint32_t>(g().exec_count(free_fn));
    g().clear_traps();
    EXPECT_EQ(icall("fclose", {make_record(3, 0)}), -1);
    EXPECT_TRUE(g().traps().empty());
    EXPECT_EQ(g().exec_count(free_fn), frees + 1u);

    // Unknown kinds close with 0.
    EXPECT_EQ(icall("fclose", {make_record(9, 5)}), 0);
    EXPECT_TRUE(g().traps().empty());
    EXPECT_EQ(icall("fclose", {0u}), -1);
}

TEST_F(Streams, FcloseReleasesBufferPathAndRecord) {
    uint32_t free_fn = sym("free");
    g().watch_exec(free_fn);
    script(NUV_SYS_writefile, {0});
    uint32_t f = call("fopen", {str("x"), str("w")});
    EXPECT_EQ(icall("fputc", {'a', f}), 'a');
    EXPECT_EQ(icall("fclose", {f}), 0);
    EXPECT_EQ(g().exec_count(free_fn), 3u);

    // A memory stream's buffer stays with its caller: only the record goes.
    uint32_t bufp = nuvtest::alloc(g(), 4, 4), sizep = nuvtest::alloc(g(), 4, 4);
    uint32_t m = call("open_memstream", {bufp, sizep});
    ASSERT_NE(m, 0u);
    EXPECT_EQ(icall("fputs", {str("abc"), m}), 3);
    uint32_t held = g().u32(bufp);
    EXPECT_EQ(icall("fclose", {m}), 0);
    EXPECT_EQ(g().exec_count(free_fn), 4u);
    EXPECT_EQ(g().u32(bufp), held);
    EXPECT_EQ(g().u32(sizep), 3u);
    EXPECT_EQ(g().read_string(held), "abc");
}

TEST_F(Streams, StandardStreamsAreNeverClosed) {
    for (const char* name : {"stdin", "stdout", "stderr"}) {
        g().clear_traps();
        uint32_t used = heap_used();
        EXPECT_EQ(icall("fclose", {var(name)}), 0) << name;
        EXPECT_TRUE(g().traps().empty()) << name;
        EXPECT_EQ(heap_used(), used);
    }
    EXPECT_EQ(icall("puts", {str("still here")}), 0);
    EXPECT_EQ(g().output(), "still here\n");
    // Whatever record stdin points at now counts as standard.
    uint32_t f = make_record(1, 5);
    g().set_u32(sym("stdin"), f);
    g().clear_traps();
    EXPECT_EQ(icall("fclose", {f}), 0);
    EXPECT_TRUE(g().traps().empty());
}

TEST_F(Streams, OpenMemstream) {
    uint32_t bufp = nuvtest::alloc(g(), 4, 4), sizep = nuvtest::alloc(g(), 4, 4);
    g().set_u32(bufp, 0xDEADBEEF);
    g().set_u32(sizep, 77);
    EXPECT_EQ(call("open_memstream", {0u, sizep}), 0u);
    EXPECT_EQ(call("open_memstream", {bufp, 0u}), 0u);
    EXPECT_EQ(g().u32(bufp), 0xDEADBEEFu) << "untouched when refused";
    uint32_t f = call("open_memstream", {bufp, sizep});
    ASSERT_NE(f, 0u);
    EXPECT_EQ(g().u32(bufp), 0u);
    EXPECT_EQ(g().u32(sizep), 0u);
    Record r = record(f);
    EXPECT_EQ(r.kind, 2);
    EXPECT_EQ(r.out_buf, bufp);
    EXPECT_EQ(r.out_len, sizep);
    // No room for the record: null, and the caller's variables are left alone.
    g().set_u32(bufp, 1);
    g().set_u32(sizep, 2);
    g().set_u32(sym("g_heap_used"), 1u << 20);
    EXPECT_EQ(call("open_memstream", {bufp, sizep}), 0u);
    EXPECT_EQ(g().u32(bufp), 1u);
    EXPECT_EQ(g().u32(sizep), 2u);
}

TEST_F(Streams, FreadCountsWholeItemsAndSetsEofOnAShortRead) {
    struct Case {
        uint32_t size, nmemb;
        int32_t kernel;  // what read returns
        uint32_t items;
        int32_t pos, eof;
    };
    const Case cases[] = {
        {4, 3, 10, 2, 10, 1}, {4, 3, 12, 3, 12, 0}, {1, 5, 5, 5, 5, 0},
        {4, 3, 3, 0, 3, 1},   {4, 3, 0, 0, 0, 1},   {4, 3, -5, 0, 0, 1},
    };
    for (const Case& c : cases) {
        SetUp();
        uint32_t f = make_record(1, 5);
        script(NUV_SYS_read, {c.kernel});
        EXPECT_EQ(call("fread", {buf(16), c.size, c.nmemb, f}), c.items) << c.kernel;
        ASSERT_EQ(trap_numbers(), std::vector<uint32_t>{NUV_SYS_read});
        EXPECT_EQ(g().traps()[0].args.ebx, 5u);
        EXPECT_EQ(g().traps()[0].args.edx, c.size * c.nmemb);
        Record r = record(f);
        EXPECT_EQ(r.pos, c.pos) << c.kernel;
        EXPECT_EQ(r.eof, c.eof) << c.kernel;
    }
}

TEST_F(Streams, FreadRefusalsMakeNoCall) {
    uint32_t f = make_record(1, 5), b = buf(16);
    struct Case {
        uint32_t ptr, size, nmemb, stream;
    };
    const Case cases[] = {
        {0, 1, 1, f},
        {b, 0, 1, f},
        {b, 1, 0, f},
        {b, 1, 1, 0},
        {b, 65536, 65536, f},
        {b, 1, 1, make_record(2, 0)},
        {b, 1, 1, make_record(3, 0)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(call("fread", {c.ptr, c.size, c.nmemb, c.stream}), 0u);
    }
    EXPECT_TRUE(g().traps().empty());
    EXPECT_EQ(record(f).eof, 0);
}

TEST_F(Streams, FgetcAtEndThenRewind) {
    opts_.input = std::string("\xFFz", 2);
    SetUp();
    uint32_t in = var("stdin");
    EXPECT_EQ(icall("fgetc", {in}), 255) << "a byte, not -1";
    EXPECT_EQ(icall("getchar", {}), 'z');
    EXPECT_EQ(icall("fgetc", {in}), -1);
    EXPECT_EQ(record(in).eof, 1);
    EXPECT_EQ(record(in).pos, 2);
    // The indicator does not stop further reads.
    g().clear_traps();
    EXPECT_EQ(icall("getchar", {}), -1);
    EXPECT_EQ(trap_numbers(), std::vector<uint32_t>{NUV_SYS_read});
    // rewind clears the indicators; descriptor 0 is not positioned.
    set_field(in, 8, 1);
    g().clear_traps();
    call("rewind", {in});
    EXPECT_TRUE(g().traps().empty());
    EXPECT_EQ(record(in).eof, 0);
    EXPECT_EQ(record(in).error, 0);
    EXPECT_EQ(record(in).pos, 2);

    // On a file, rewind also takes the position lseek reports.
    uint32_t f = make_record(1, 5);
    set_field(f, 9, 40);
    script(NUV_SYS_read, {0});
    EXPECT_EQ(icall("fgetc", {f}), -1);
    EXPECT_EQ(record(f).eof, 1);
    script(NUV_SYS_lseek, {0});
    call("rewind", {f});
    EXPECT_EQ(record(f).pos, 0);
    EXPECT_EQ(record(f).eof, 0);
    // A refused lseek leaves pos alone but still clears the indicators.
    set_field(f, 9, 40);
    set_field(f, 10, 1);
    script(NUV_SYS_lseek, {-29});
    call("rewind", {f});
    EXPECT_EQ(record(f).pos, 40);
    EXPECT_EQ(record(f).eof, 0);
}

TEST_F(Streams, FgetcAndGetcharRefuseWhatIsNotADescriptorStream) {
    EXPECT_EQ(icall("fgetc", {0u}), -1);
    EXPECT_EQ(icall("fgetc", {make_record(2, 0)}), -1);
    g().set_u32(sym("stdin"), 0);
    EXPECT_EQ(icall("getchar", {}), -1);
    g().set_u32(sym("stdin"), make_record(3, 0));
    EXPECT_EQ(icall("getchar", {}), -1);
    EXPECT_TRUE(g().traps().empty());
}

TEST_F(Streams, FseekAndFtellRefuseStandardDescriptorsAndOtherKinds) {
    const uint32_t refused[] = {make_record(1, 0),
                                make_record(1, 1),
                                make_record(1, 2),
                                make_record(2, 5),
                                make_record(3, 5),
                                var("stdin"),
                                0u};
    for (uint32_t f : refused) {
        if (f != 0) set_field(f, 9, 7);
        EXPECT_EQ(icall("fseek", {f, 0, 0}), -1);
        EXPECT_EQ(icall("ftell", {f}), -1);
    }
    EXPECT_TRUE(g().traps().empty());
}

TEST_F(Streams, FseekTakesThePositionTheKernelReports) {
    uint32_t f = make_record(1, 5);
    set_field(f, 9, 3);
    set_field(f, 10, 1);
    EXPECT_EQ(icall("ftell", {f}), 3);
    script(NUV_SYS_lseek, {120, -22});
    EXPECT_EQ(icall("fseek", {f, -8, 2}), 0);
    const nuv::SyscallArgs& a = g().traps().back().args;
    EXPECT_EQ(a.ebx, 5u);
    EXPECT_EQ(static_cast<int32_t>(a.ecx), -8);
    EXPECT_EQ(a.edx, 2u);
    EXPECT_EQ(icall("ftell", {f}), 120);
    EXPECT_EQ(record(f).eof, 0);
    // A refused lseek changes nothing; whence goes through unchecked.
    set_field(f, 10, 1);
    EXPECT_EQ(icall("fseek", {f, 5, 77}), -1);
    EXPECT_EQ(g().traps().back().args.edx, 77u);
    EXPECT_EQ(icall("ftell", {f}), 120);
    EXPECT_EQ(record(f).eof, 1);
}

TEST_F(Streams, FeofAndFerror) {
    EXPECT_EQ(icall("feof", {0u}), 1);
    EXPECT_EQ(icall("ferror", {0u}), 1);
    uint32_t f = make_record(2, 0);
    EXPECT_EQ(icall("feof", {f}), 0);
    EXPECT_EQ(icall("ferror", {f}), 0);
    set_field(f, 8, 1);
    set_field(f, 10, 1);
    EXPECT_EQ(icall("feof", {f}), 1);
    EXPECT_EQ(icall("ferror", {f}), 1);
    // rewind clears both on any kind, and leaves a memory stream's bytes alone.
    set_field(f, 3, 0x1234);
    call("rewind", {f});
    EXPECT_EQ(icall("feof", {f}), 0);
    EXPECT_EQ(icall("ferror", {f}), 0);
    EXPECT_EQ(record(f).buf, 0x1234u);
    EXPECT_TRUE(g().traps().empty());
    call("rewind", {0u});
}

}  // namespace
