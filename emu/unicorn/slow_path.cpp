#include "slow_path.hpp"

#include <atomic>
#include <cstddef>

namespace nuv::slow_path {
namespace {

std::atomic<int64_t> g_writable_code{0};
// Cached mappings are good while this stays as it was when they were found.
std::atomic<uint64_t> g_generation{1};

}  // namespace

void mappings_changed() {
    g_generation.fetch_add(1, std::memory_order_release);
}

void writable_code(int64_t delta) {
    g_writable_code.fetch_add(delta, std::memory_order_relaxed);
}

int64_t writable_code_pages() {
    return g_writable_code.load(std::memory_order_relaxed);
}

#ifdef NUV_UNICORN_SLOW_PATH
bool in_use() {
    return true;
}
#else
bool in_use() {
    return false;
}
#endif

}  // namespace nuv::slow_path

#ifdef NUV_UNICORN_SLOW_PATH
extern "C" {
struct uc_struct;
struct MemoryRegion;
struct page_collection;

MemoryRegion* __real_memory_mapping(uc_struct* uc, uint64_t address);
page_collection* __real_page_collection_lock_x86_64(uc_struct* uc, uint64_t start, uint64_t end);
void __real_page_collection_unlock_x86_64(page_collection* set);
void __real_tb_invalidate_phys_page_fast_x86_64(uc_struct* uc, page_collection* pages,
                                                uint64_t start, int len, uintptr_t retaddr);

// Mappings are whole pages: the one that holds an address holds its page.
MemoryRegion* __wrap_memory_mapping(uc_struct* uc, uint64_t address) {
    struct Entry {
        uc_struct* uc;
        uint64_t page;
        uint64_t generation;
        MemoryRegion* region;
    };
    constexpr size_t kEntries = 256;
    thread_local Entry cache[kEntries] = {};
    const uint64_t page = address >> 12;
    const uint64_t generation = nuv::slow_path::g_generation.load(std::memory_order_acquire);
    Entry& e = cache[page % kEntries];
    if (e.generation == generation && e.uc == uc && e.page == page) return e.region;
    MemoryRegion* region = __real_memory_mapping(uc, address);
    e = Entry{uc, page, generation, region};
    return region;
}

// Without a set of pages nothing is looked at, and nothing is freed.
page_collection* __wrap_page_collection_lock_x86_64(uc_struct* uc, uint64_t start, uint64_t end) {
    if (nuv::slow_path::writable_code_pages() == 0) return nullptr;
    return __real_page_collection_lock_x86_64(uc, start, end);
}

void __wrap_page_collection_unlock_x86_64(page_collection* set) {
    if (set != nullptr) __real_page_collection_unlock_x86_64(set);
}

void __wrap_tb_invalidate_phys_page_fast_x86_64(uc_struct* uc, page_collection* pages,
                                                uint64_t start, int len, uintptr_t retaddr) {
    if (pages != nullptr)
        __real_tb_invalidate_phys_page_fast_x86_64(uc, pages, start, len, retaddr);
}
}
#endif
