#include "loader.hpp"

#include <cstdio>
#include <map>

namespace nuv {
namespace {

constexpr uint32_t kPage = GuestMemory::kPage;
constexpr uint64_t kMaxImageMemory = 256u << 20;

uint32_t perms_of(uint32_t elf_flags) {
    uint32_t p = 0;
    if (elf_flags & elf::PF_R) p |= kPermRead;
    if (elf_flags & elf::PF_W) p |= kPermWrite;
    if (elf_flags & elf::PF_X) p |= kPermExec;
    return p;
}

Error bad(std::string why) {
    return Error{HostError::BadImage, std::move(why)};
}

}  // namespace

Result<LoadPlan> plan_image(const elf::File& image) {
    if (std::string why = elf::check_loadable(image); !why.empty()) return bad(why);
    LoadPlan plan;
    plan.entry = image.entry;
    // Every page has one set of permissions, never writable and executable
    // both: a segment that would be, or two segments that would share a page
    // with different permissions, make the image unloadable. The page's
    // permissions and the address of the segment that set them:
    struct Page {
        uint32_t perms, owner;
    };
    std::map<uint32_t, Page> pages;
    uint64_t total = 0;
    for (const elf::Segment& s : image.segments) {
        if (s.type != elf::PT_LOAD || s.memsz == 0) continue;
        uint64_t begin = s.vaddr & ~(kPage - 1);
        uint64_t end = (uint64_t{s.vaddr} + s.memsz + kPage - 1) & ~uint64_t{kPage - 1};
        total += end - begin;
        if (total > kMaxImageMemory) return bad("image needs more than 256 MiB of memory");
        if (end > Layout::kStackTop - Layout::kStackSize && begin < uint64_t{Layout::kStackTop}) {
            return bad("segment overlaps the stack area");
        }
        if (end > Layout::kScratchBase &&
            begin < uint64_t{Layout::kScratchBase} + Layout::kScratchSize) {
            return bad("segment overlaps the reserved area at " + hex(Layout::kScratchBase));
        }
        if (end > Layout::kReturnAddress) {
            return bad("segment overlaps the top page of the address space");
        }
        if (begin == 0) return bad("segment maps the null page");
        const uint32_t perms = perms_of(s.flags);
        if ((perms & kPermWrite) && (perms & kPermExec)) {
            return bad("segment at " + hex(s.vaddr) + " is both writable and executable");
        }
        for (uint64_t p = begin; p < end; p += kPage) {
            auto [it, added] = pages.try_emplace(static_cast<uint32_t>(p), Page{perms, s.vaddr});
            if (!added && it->second.perms != perms) {
                return bad("segments at " + hex(it->second.owner) + " and " + hex(s.vaddr) +
                           " share the page at " + hex(p) + " with different permissions");
            }
        }
        if (s.filesz != 0) plan.copies.push_back({s.vaddr, s.offset, s.filesz});
        if ((s.flags & elf::PF_X) != 0 && s.filesz != 0) {
            plan.code.emplace_back(s.vaddr, s.vaddr + s.filesz);
        }
    }
    for (auto it = pages.begin(); it != pages.end();) {
        uint32_t begin = it->first, perms = it->second.perms;
        uint64_t end = uint64_t{begin} + kPage;
        ++it;
        while (it != pages.end() && it->first == end && it->second.perms == perms) {
            end += kPage;
            ++it;
        }
        plan.areas.push_back({begin, static_cast<uint32_t>(end - begin), perms});
    }
    return plan;
}

Status place_image(const LoadPlan& plan, const elf::File& image, GuestMemory& memory) {
    for (const LoadPlan::Area& a : plan.areas) {
        if (!memory.map(a.begin, a.size, a.perms)) {
            return Error{HostError::NoEngine, "cannot map guest memory at " + hex(a.begin)};
        }
    }
    if (!memory.map(Layout::kStackTop - Layout::kStackSize, Layout::kStackSize,
                    kPermRead | kPermWrite)) {
        return Error{HostError::NoEngine, "cannot map the guest's stack"};
    }
    for (const LoadPlan::Copy& c : plan.copies) {
        if (!memory.load(c.vaddr, image.bytes.data() + c.offset, c.size)) {
            return Error{HostError::NoEngine, "cannot place segment at " + hex(c.vaddr)};
        }
    }
    return Done{};
}

}  // namespace nuv
