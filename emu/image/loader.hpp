// The image loader: checks that an ELF file is an image this system runs and
// plans where its segments go, independent of the engine that runs it; then
// places the plan in a guest's memory.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "elf32.hpp"
#include "guest_memory.hpp"
#include "result.hpp"

namespace nuv {

// Fixed places in every guest's address space.
struct Layout {
    static constexpr uint32_t kStackTop = 0xC0000000;
    static constexpr uint32_t kStackSize = 8u << 20;
    static constexpr uint32_t kScratchBase = 0x10000000;  // kept free for test data
    static constexpr uint32_t kScratchSize = 4u << 20;
    static constexpr uint32_t kReturnAddress = 0xFFFFF000;  // where host calls return to
};

struct LoadPlan {
    struct Area {
        uint32_t begin, size, perms;  // whole pages, engine permissions
    };
    struct Copy {
        uint32_t vaddr, offset, size;  // file bytes [offset, offset + size) at vaddr
    };
    std::vector<Area> areas;
    std::vector<Copy> copies;
    std::vector<std::pair<uint32_t, uint32_t>> code;  // executable bytes [begin, end)
    uint32_t entry = 0;
};

// Checks the image and plans its memory: a BadImage error with a one-line
// reason when it cannot be loaded.
Result<LoadPlan> plan_image(const elf::File& image);

// Maps the plan's areas, the stack, and copies the file's bytes.
Status place_image(const LoadPlan& plan, const elf::File& image, GuestMemory& memory);

}  // namespace nuv
