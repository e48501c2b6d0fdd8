#include "guest_memory.hpp"

#include <algorithm>

namespace nuv {
namespace {

uint64_t page_up(uint64_t a) {
    return (a + GuestMemory::kPage - 1) & ~uint64_t{GuestMemory::kPage - 1};
}

}  // namespace

bool MemoryBudget::take(uint64_t n) {
    uint64_t now = used_.load();
    do {
        if (n > limit_ || now > limit_ - n) return false;
    } while (!used_.compare_exchange_weak(now, now + n));
    return true;
}

GuestMemory::~GuestMemory() {
    if (!budget_) return;
    for (const Region& r : regions_) budget_->give(r.end - r.begin);
}

bool GuestMemory::map(uint32_t begin, uint32_t size, uint32_t perms) {
    if (budget_ && !budget_->take(size)) return false;
    if (!engine_.map(begin, size, perms)) {
        if (budget_) budget_->give(size);
        return false;
    }
    regions_.push_back(Region{begin, uint64_t{begin} + size, perms});
    return true;
}

bool GuestMemory::accessible(uint32_t address, uint64_t n, bool for_write) const {
    uint64_t at = address, end = uint64_t{address} + n;
    uint32_t need = for_write ? kPermWrite : kPermRead;
    while (at < end) {
        const Region* r = nullptr;
        for (const Region& x : regions_) {
            if (at >= x.begin && at < x.end) r = &x;
        }
        if (r == nullptr || (r->perms & need) == 0) return false;
        at = r->end;
    }
    return true;
}

int32_t GuestMemory::check(uint32_t address, uint64_t n, bool for_write) const {
    return accessible(address, n, for_write) ? 0 : -NUV_EFAULT;
}

int32_t GuestMemory::read(uint32_t address, void* out, size_t n) const {
    if (int32_t e = check(address, n, false); e < 0) return e;
    return engine_.read(address, out, n) ? 0 : -NUV_EFAULT;
}

int32_t GuestMemory::write(uint32_t address, const void* data, size_t n) {
    if (int32_t e = check(address, n, true); e < 0) return e;
    return engine_.write(address, data, n) ? 0 : -NUV_EFAULT;
}

int32_t GuestMemory::read_u32(uint32_t address, uint32_t& out) const {
    return read(address, &out, sizeof out);
}

int32_t GuestMemory::write_u32(uint32_t address, uint32_t value) {
    return write(address, &value, sizeof value);
}

std::string GuestMemory::peek_string(uint32_t address, size_t max) const {
    std::string s;
    char c = 0;
    while (s.size() < max && peek(address + static_cast<uint32_t>(s.size()), &c, 1) && c != 0) {
        s.push_back(c);
    }
    return s;
}

int32_t GuestMemory::read_string(uint32_t address, uint32_t max, std::string& out) const {
    out.clear();
    // Mapping is by whole pages: check a page, then read what is left of it.
    for (uint64_t at = address;;) {
        if (at > 0xFFFFFFFFu) return -NUV_EFAULT;  // ran past the top of the address space
        uint64_t n = kPage - (at & (kPage - 1));
        n = std::min<uint64_t>(n, uint64_t{max} + 1 - out.size());
        std::string piece(static_cast<size_t>(n), '\0');
        if (int32_t e = read(static_cast<uint32_t>(at), piece.data(), piece.size()); e < 0) {
            out.clear();
            return e;
        }
        size_t nul = piece.find('\0');
        out.append(piece, 0, nul);
        if (nul != std::string::npos) return 0;
        if (out.size() > max) {
            out.clear();
            return -NUV_ENAMETOOLONG;
        }
        at += n;
    }
}

uint32_t GuestMemory::map_anonymous(uint32_t length, uint32_t prot) {
    if (length == 0 || length > NUV_MAP_BYTES_MAX || mappings_.size() >= NUV_MAP_COUNT_MAX) {
        return 0;
    }
    uint32_t size = static_cast<uint32_t>(page_up(length));
    uint64_t total = size;
    for (const Mapping& x : mappings_) total += x.length;
    if (total > NUV_MAP_BYTES_MAX) return 0;
    // First fit between the mappings already made.
    std::vector<Mapping> sorted = mappings_;
    std::sort(sorted.begin(), sorted.end(),
              [](const Mapping& a, const Mapping& b) { return a.begin < b.begin; });
    uint64_t at = NUV_MAP_BASE;
    for (const Mapping& x : sorted) {
        if (x.begin - at >= size) break;
        at = uint64_t{x.begin} + x.length;
    }
    if (at + size > NUV_MAP_END) return 0;
    uint32_t perms = 0;
    if (prot & NUV_PROT_READ) perms |= kPermRead;
    if (prot & NUV_PROT_WRITE) perms |= kPermWrite;
    if (prot & NUV_PROT_EXEC) perms |= kPermExec;
    uint32_t begin = static_cast<uint32_t>(at);
    if (!map(begin, size, perms)) return 0;
    mappings_.push_back(Mapping{begin, size});
    return begin;
}

bool GuestMemory::unmap_anonymous(uint32_t address, uint32_t length) {
    if (length == 0) return false;
    uint64_t size = page_up(length);
    auto it = std::find_if(mappings_.begin(), mappings_.end(), [&](const Mapping& x) {
        return x.begin == address && x.length == size;
    });
    if (it == mappings_.end()) return false;
    if (!engine_.unmap(it->begin, it->length)) return false;
    regions_.erase(std::find_if(regions_.begin(), regions_.end(),
                                [&](const Region& r) { return r.begin == address; }));
    if (budget_) budget_->give(it->length);
    mappings_.erase(it);
    return true;
}

}  // namespace nuv
