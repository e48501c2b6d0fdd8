#include "slow_path.hpp"

#include <atomic>
#include <cstddef>

namespace nuv::slow_path {
namespace {

std::atomic<int64_t> g_writable_code{0};
// The slow path's entry the guest is in on this thread: the address it was
// asked for and where in a block of translated code it was called from (0:
// none), and the address of an access about to fault (kNone: none).
constexpr uint64_t kNone = ~uint64_t{0};
[[maybe_unused]] thread_local uint64_t t_access = 0;  // read by the entries alone
thread_local uintptr_t t_called_from = 0;
thread_local uint64_t t_fault = kNone;
// Cached mappings are good while this stays as it was when they were found.
std::atomic<uint64_t> g_generation{1};

}  // namespace

void fault_pending(uint32_t address) {
    t_fault = address;
}

void run_begins() {
    t_called_from = 0;
    t_fault = kNone;
}

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

struct CPUState;
struct CPUArchState;
void __real_cpu_exit(CPUState* cpu);
bool cpu_restore_state_x86_64(CPUState* cpu, uintptr_t host_pc, bool will_exit);

// The library's request to stop, made when an access faults: the guest is
// placed at the instruction of the slow path's entry it is in, if the fault
// is that entry's (an access that spans two pages may fault on the second).
void __wrap_cpu_exit(CPUState* cpu) {
    using namespace nuv::slow_path;
    if (t_fault != kNone) {
        if (t_called_from != 0 && t_fault - t_access < 8) {
            cpu_restore_state_x86_64(cpu, t_called_from, false);
        }
        t_fault = kNone;
        // A load leaves its entry by longjmp, past the line that forgets.
        t_called_from = 0;
    }
    __real_cpu_exit(cpu);
}

// The slow path's entries, which translated code calls with the place it was
// called from, as the library's own exceptions use it.
#define NUV_LOAD_ENTRY(name)                                                                   \
    uint64_t __real_##name(CPUArchState* env, uint64_t addr, uint32_t oi, uintptr_t retaddr);  \
    uint64_t __wrap_##name(CPUArchState* env, uint64_t addr, uint32_t oi, uintptr_t retaddr) { \
        nuv::slow_path::t_access = addr;                                                       \
        nuv::slow_path::t_called_from = retaddr;                                               \
        const uint64_t v = __real_##name(env, addr, oi, retaddr);                              \
        nuv::slow_path::t_called_from = 0;                                                     \
        return v;                                                                              \
    }
#define NUV_STORE_ENTRY(name, type)                                                           \
    void __real_##name(CPUArchState* env, uint64_t addr, type v, uint32_t oi, uintptr_t ra);  \
    void __wrap_##name(CPUArchState* env, uint64_t addr, type v, uint32_t oi, uintptr_t ra) { \
        nuv::slow_path::t_access = addr;                                                      \
        nuv::slow_path::t_called_from = ra;                                                   \
        __real_##name(env, addr, v, oi, ra);                                                  \
        nuv::slow_path::t_called_from = 0;                                                    \
    }
NUV_LOAD_ENTRY(helper_ret_ldub_mmu_x86_64)
NUV_LOAD_ENTRY(helper_le_lduw_mmu_x86_64)
NUV_LOAD_ENTRY(helper_le_ldul_mmu_x86_64)
NUV_LOAD_ENTRY(helper_le_ldq_mmu_x86_64)
NUV_STORE_ENTRY(helper_ret_stb_mmu_x86_64, uint8_t)
NUV_STORE_ENTRY(helper_le_stw_mmu_x86_64, uint16_t)
NUV_STORE_ENTRY(helper_le_stl_mmu_x86_64, uint32_t)
NUV_STORE_ENTRY(helper_le_stq_mmu_x86_64, uint64_t)
#undef NUV_LOAD_ENTRY
#undef NUV_STORE_ENTRY

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

// A page the guest may store to is entered as clean, so that stores to it
// take the fast path, while no page is writable and executable: the library
// would otherwise enter it as holding code, and every store would look.
struct MemTxAttrs {
    uint32_t bits;
};
void __real_tlb_set_page_with_attrs_x86_64(CPUState* cpu, uint64_t vaddr, uint64_t paddr,
                                           MemTxAttrs attrs, int prot, int mmu_idx, uint64_t size);
void tlb_set_dirty_x86_64(CPUState* cpu, uint64_t vaddr);

void __wrap_tlb_set_page_with_attrs_x86_64(CPUState* cpu, uint64_t vaddr, uint64_t paddr,
                                           MemTxAttrs attrs, int prot, int mmu_idx, uint64_t size) {
    __real_tlb_set_page_with_attrs_x86_64(cpu, vaddr, paddr, attrs, prot, mmu_idx, size);
    if (nuv::slow_path::writable_code_pages() == 0) tlb_set_dirty_x86_64(cpu, vaddr);
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
