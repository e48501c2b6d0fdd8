// The data files of coverage counts (coverage.hpp): GCC 12's format, merged
// into and written with the checks that keep a guest's names from reaching
// any other host file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "coverage.hpp"
#include "task.hpp"

namespace nuv::coverage {
namespace {

constexpr uint32_t kDataMagic = 0x67636461;   // "gcda"
constexpr uint32_t kNotesMagic = 0x67636e6f;  // "gcno"
constexpr uint32_t kTagFunction = 0x01000000;
constexpr uint32_t kTagCounters = 0x01a10000;
constexpr uint32_t kTagSummary = 0xa1000000;
constexpr uint32_t kFunctionLength = 12, kSummaryLength = 8;
// The largest data file read back: every counter and record of the largest
// object allowed, with room to spare.
constexpr uint64_t kMaxDataBytes = kMaxCounters * 8 + uint64_t{kMaxFunctions} * 64 + 4096;

uint32_t counter_tag(uint32_t kind) {
    return kTagCounters + (kind << 17);
}

Error fail(const std::string& what) {
    return Error{HostError::Io, what};
}

class Words {
  public:
    explicit Words(std::span<const uint8_t> b) : b_(b) {}
    bool left(size_t words) const { return b_.size() - pos_ >= words * 4; }
    uint32_t next() {
        uint32_t v;
        std::memcpy(&v, b_.data() + pos_, 4);
        pos_ += 4;
        return v;
    }

  private:
    std::span<const uint8_t> b_;
    size_t pos_ = 0;
};

void put(std::vector<uint8_t>& out, uint32_t v) {
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), p, p + 4);
}

// The name as a one-line message shows it.
std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= ' ' && c != 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += '?';
        }
    }
    return out;
}

std::string errno_text(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// The notes file beside the data file must come from the same compilation.
Status check_notes(const Object& o, const std::string& notes) {
    int fd = open(notes.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fail("no notes file " + printable(notes) + " beside it");
    struct stat st {};
    uint32_t head[3] = {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head);
    close(fd);
    if (!ok || head[0] != kNotesMagic) return fail(printable(notes) + " is not a notes file");
    if (head[1] != o.version || head[2] != o.stamp) {
        return fail(printable(notes) + " is of another compilation");
    }
    return Done{};
}

bool lock(int fd) {
    struct flock l {};
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    // Another run writing the same file holds it for milliseconds.
    for (int i = 0; i < 300; ++i) {
        if (fcntl(fd, F_SETLK, &l) == 0) return true;
        if (errno != EACCES && errno != EAGAIN && errno != EINTR) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

Result<Summary> merge(Object& o, std::span<const uint8_t> old) {
    Summary before;
    if (old.empty()) return before;
    Words w(old);
    if (!w.left(4) || w.next() != kDataMagic) return fail("not a coverage data file");
    if (w.next() != o.version || w.next() != o.stamp || w.next() != o.checksum) {
        return before;  // another compilation's: replaced
    }
    const Error mismatch = fail("records that do not match the image's (merge mismatch)");
    size_t fi = 0;
    while (w.left(1)) {
        uint32_t tag = w.next();
        if (tag == 0) break;
        if (!w.left(1)) return mismatch;
        uint32_t length = w.next();
        if (tag == kTagSummary) {
            if (length != kSummaryLength || !w.left(2)) return mismatch;
            before.runs = w.next();
            before.sum_max = w.next();
            continue;
        }
        if (tag != kTagFunction || fi >= o.functions.size()) return mismatch;
        Function& f = o.functions[fi++];
        if (length == 0) {
            if (f.present) return mismatch;
            continue;
        }
        if (length != kFunctionLength || !f.present || f.counters.size() != o.kinds.size() ||
            !w.left(3)) {
            return mismatch;
        }
        if (w.next() != f.ident || w.next() != f.lineno_checksum || w.next() != f.cfg_checksum) {
            return mismatch;
        }
        for (size_t k = 0; k < o.kinds.size(); ++k) {
            if (!w.left(2) || w.next() != counter_tag(o.kinds[k])) return mismatch;
            // A negative length: that many counters, all zero, not written out.
            auto signed_length = static_cast<int32_t>(w.next());
            bool zeros = signed_length < 0;
            uint64_t bytes = zeros ? -static_cast<int64_t>(signed_length) : signed_length;
            std::vector<uint64_t>& c = f.counters[k];
            if (bytes != c.size() * 8) return mismatch;
            if (zeros) continue;
            if (!w.left(c.size() * 2)) return mismatch;
            for (uint64_t& v : c) {
                uint64_t lo = w.next();
                v += lo | uint64_t{w.next()} << 32;
            }
        }
    }
    if (fi != o.functions.size()) return mismatch;
    return before;
}

uint64_t run_max(const Object& o) {
    uint64_t m = 0;
    auto arcs = std::find(o.kinds.begin(), o.kinds.end(), 0u);
    if (arcs == o.kinds.end()) return 0;
    auto k = static_cast<size_t>(arcs - o.kinds.begin());
    for (const Function& f : o.functions) {
        if (!f.present) continue;
        for (uint64_t v : f.counters[k]) m = std::max(m, v);
    }
    return m;
}

std::vector<uint8_t> encode(const Object& o, const Summary& summary) {
    std::vector<uint8_t> out;
    for (uint32_t v : {kDataMagic, o.version, o.stamp, o.checksum, kTagSummary, kSummaryLength,
                       summary.runs, summary.sum_max}) {
        put(out, v);
    }
    for (const Function& f : o.functions) {
        put(out, kTagFunction);
        if (!f.present) {
            put(out, 0);
            continue;
        }
        for (uint32_t v : {kFunctionLength, f.ident, f.lineno_checksum, f.cfg_checksum}) {
            put(out, v);
        }
        for (size_t k = 0; k < o.kinds.size(); ++k) {
            const std::vector<uint64_t>& c = f.counters[k];
            put(out, counter_tag(o.kinds[k]));
            auto bytes = static_cast<uint32_t>(c.size() * 8);
            if (std::all_of(c.begin(), c.end(), [](uint64_t v) { return v == 0; })) {
                put(out, static_cast<uint32_t>(-static_cast<int64_t>(bytes)));
                continue;
            }
            put(out, bytes);
            for (uint64_t v : c) {
                put(out, static_cast<uint32_t>(v));
                put(out, static_cast<uint32_t>(v >> 32));
            }
        }
    }
    put(out, 0);
    return out;
}

std::string relocate(const std::string& name, const char* prefix, const char* strip) {
    if (prefix == nullptr || *prefix == 0) return name;
    std::string base = prefix;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    size_t from = 0;
    if (!name.empty() && name[0] == '/') {
        long level = strip != nullptr ? std::strtol(strip, nullptr, 10) : 0;
        for (size_t i = 1; i < name.size() && level > 0; ++i) {
            if (name[i] == '/') {
                from = i;
                --level;
            }
        }
    }
    std::string rest = name.substr(from);
    return base + (rest.empty() || rest[0] == '/' ? "" : "/") + rest;
}

Status write(Object o, const std::string& path) {
    static constexpr std::string_view kSuffix = ".gcda";
    if (path.size() <= kSuffix.size() || path.size() > kMaxName ||
        path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) != 0) {
        return fail("not a data file name (NAME.gcda)");
    }
    // The compiler names data files from the root; a relative name would
    // land wherever nuvemu happens to run.
    if (path[0] != '/') return fail("a relative data file name, not written");
    for (const Function& f : o.functions) {
        if (f.present && f.counters.size() != o.kinds.size()) return fail("malformed profile");
    }
    std::string notes = path.substr(0, path.size() - kSuffix.size()) + ".gcno";
    if (Status n = check_notes(o, notes); !n) return n;
    // The data file itself is never reached through a link, nor waited on.
    int fd =
        open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail(errno == ELOOP ? std::string("a symbolic link, not followed")
                                   : errno_text("cannot open"));
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fail("not a regular file");
    if (static_cast<uint64_t>(st.st_size) > kMaxDataBytes) return fail("too large a data file");
    if (!lock(fd)) return fail("cannot lock it");
    // Read again under the lock: the size may have changed.
    if (fstat(fd, &st) != 0) return fail(errno_text("cannot read"));
    std::vector<uint8_t> old(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), kMaxDataBytes));
    if (!old.empty() && pread(fd, old.data(), old.size(), 0) != static_cast<ssize_t>(old.size())) {
        return fail(errno_text("cannot read"));
    }
    uint64_t this_run = run_max(o);
    Result<Summary> before = merge(o, old);
    if (!before) return before.error();
    Summary now{before->runs + 1, before->sum_max + static_cast<uint32_t>(this_run)};
    std::vector<uint8_t> bytes = encode(o, now);
    if (pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
        ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) {
        return fail(errno_text("cannot write"));
    }
    return Done{};
}

Saved save(const Task& t, std::FILE* warn) {
    Saved s;
    if (t.image().section(".gcov_info") == nullptr) return s;
    Result<std::vector<Object>> objects = read_objects(t.image(), t.memory());
    if (!objects) {
        std::fprintf(warn, "nuvemu: coverage: %s: %s\n", printable(t.name()).c_str(),
                     printable(objects.error().message).c_str());
        ++s.refused;
        return s;
    }
    // A relative prefix names a place under the directory nuvemu runs in, as
    // it does for a host program.
    std::string prefix;
    if (const char* p = std::getenv("GCOV_PREFIX"); p != nullptr && *p != 0) {
        std::error_code e;
        prefix = std::filesystem::absolute(p, e).lexically_normal().string();
        if (e) prefix = p;  // refused below, as a relative name
    }
    const char* strip = std::getenv("GCOV_PREFIX_STRIP");
    for (Object& o : *objects) {
        std::string path = relocate(o.data_file, prefix.c_str(), strip);
        if (Status w = write(std::move(o), path); !w) {
            if (++s.refused <= kMaxWarnings) {
                std::fprintf(warn, "nuvemu: coverage: %s: %s\n", printable(path).c_str(),
                             printable(w.error().message).c_str());
            }
        } else {
            ++s.written;
        }
    }
    if (s.refused > kMaxWarnings) {
        std::fprintf(warn, "nuvemu: coverage: %s: %d more data files refused\n",
                     printable(t.name()).c_str(), s.refused - kMaxWarnings);
    }
    return s;
}

}  // namespace nuv::coverage
