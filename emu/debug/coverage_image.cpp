// Reading the profiles an image lists from a process's memory (coverage.hpp).
#include <cstring>

#include "coverage.hpp"
#include "hex.hpp"

namespace nuv::coverage {
namespace {

// GCC 12's structures as an i386 image holds them.
//   gcov_info:    version, next, stamp, checksum, filename, merge[8],
//                 n_functions, functions (an array of gcov_fn_info pointers)
//   gcov_fn_info: key (its gcov_info), ident, lineno_checksum, cfg_checksum,
//                 then for each kind with a merge function: num, values
constexpr uint32_t kInfoBytes = 60;
constexpr uint32_t kInfoName = 16, kInfoMerge = 20, kInfoFunctionCount = 52, kInfoFunctions = 56;
constexpr uint32_t kFunctionBytes = 16;

uint32_t word(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;  // the guest and every host this runs on are little-endian
}

Error fail(const std::string& what) {
    return Error{HostError::BadImage, what};
}

class Reader {
  public:
    explicit Reader(const GuestMemory& m) : m_(m) {}

    bool bytes(uint32_t address, void* out, size_t n) const {
        return m_.read(address, out, n) == 0;
    }
    bool words(uint32_t address, uint32_t* out, size_t n) const {
        return bytes(address, out, n * 4);
    }

    Result<Object> object(uint32_t info) {
        uint8_t raw[kInfoBytes];
        if (!bytes(info, raw, sizeof raw)) return fail("unreadable profile at " + hex(info));
        Object o;
        o.version = word(raw);
        if ((o.version & kVersionMask) != kVersionFamily) {
            char v[5] = {static_cast<char>(o.version >> 24), static_cast<char>(o.version >> 16),
                         static_cast<char>(o.version >> 8), static_cast<char>(o.version), 0};
            for (char& c : v) c = c == 0 || (c >= ' ' && c <= '~') ? c : '?';
            return fail(std::string("profile of another compiler version (") + v +
                        "); this nuvemu reads GCC 12's");
        }
        o.stamp = word(raw + 8);
        o.checksum = word(raw + 12);
        uint32_t name = word(raw + kInfoName);
        if (int32_t e = m_.read_string(name, kMaxName, o.data_file); e < 0) {
            return fail("unreadable data file name at " + hex(name));
        }
        for (uint32_t k = 0; k < kKinds; ++k) {
            if (word(raw + kInfoMerge + 4 * k) == 0) continue;
            if (!additive(k)) {
                return fail(o.data_file + ": counter kind " + std::to_string(k) +
                            " is not one that coverage builds make");
            }
            o.kinds.push_back(k);
        }
        uint32_t n = word(raw + kInfoFunctionCount);
        if (n > kMaxFunctions - functions_) return fail(o.data_file + ": too many functions");
        functions_ += n;
        std::vector<uint32_t> list(n);
        if (n != 0 && !words(word(raw + kInfoFunctions), list.data(), n)) {
            return fail(o.data_file + ": unreadable function list");
        }
        for (uint32_t f : list) {
            Result<Function> fn = function(f, info, o.kinds.size());
            if (!fn) return fail(o.data_file + ": " + fn.error().message);
            o.functions.push_back(std::move(*fn));
        }
        return o;
    }

  private:
    Result<Function> function(uint32_t at, uint32_t info, size_t kinds) {
        Function fn;
        if (at == 0) {
            fn.present = false;
            return fn;
        }
        uint32_t head[kFunctionBytes / 4];
        if (!words(at, head, 4)) return fail("unreadable function record at " + hex(at));
        if (head[0] != info) {
            fn.present = false;  // kept in another object
            return fn;
        }
        fn.ident = head[1];
        fn.lineno_checksum = head[2];
        fn.cfg_checksum = head[3];
        for (size_t k = 0; k < kinds; ++k) {
            uint32_t ctr[2];
            if (!words(at + kFunctionBytes + static_cast<uint32_t>(8 * k), ctr, 2)) {
                return fail("unreadable counters of function " + hex(at));
            }
            if (ctr[0] > kMaxCounters - counters_) return fail("too many counters");
            counters_ += ctr[0];
            std::vector<uint64_t> values(ctr[0]);
            if (ctr[0] != 0 && !bytes(ctr[1], values.data(), values.size() * 8)) {
                return fail("unreadable counters at " + hex(ctr[1]));
            }
            fn.counters.push_back(std::move(values));
        }
        return fn;
    }

    const GuestMemory& m_;
    uint64_t functions_ = 0, counters_ = 0;  // so far, every object of the image
};

}  // namespace

Result<std::vector<Object>> read_objects(const elf::File& image, const GuestMemory& memory) {
    std::vector<Object> out;
    const elf::Section* s = image.section(".gcov_info");
    if (s == nullptr || s->size == 0) return out;
    if ((s->flags & elf::SHF_ALLOC) == 0 || s->size % 4 != 0 || s->size / 4 > kMaxObjects) {
        return fail("malformed .gcov_info section");
    }
    Reader r(memory);
    std::vector<uint32_t> list(s->size / 4);
    if (!r.words(s->addr, list.data(), list.size())) {
        return fail("unreadable .gcov_info list at " + hex(s->addr));
    }
    for (uint32_t info : list) {
        if (info == 0) continue;
        Result<Object> o = r.object(info);
        if (!o) return o.error();
        out.push_back(std::move(*o));
    }
    return out;
}

}  // namespace nuv::coverage
