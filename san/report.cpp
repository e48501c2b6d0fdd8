// What a bad access was next to, found when it is reported: the heap block
// (heap.cpp), the global variable (registered by the compiler's constructors)
// or the local variable (from the frame's description that the compiler
// leaves at the bottom of every instrumented frame), and the stop itself.
#include <string.h>

#include "internal.h"

namespace nuvsan {
namespace {

// A global as the compiler describes it to __asan_register_globals.
struct Global {
    uint32_t begin, size, size_with_redzone;
    const char* name;
    const char* module;
    uint32_t has_dynamic_init;
    const void* location;
    uint32_t odr_indicator;
};

// The registered tables, for reports; more are checked but not named.
constexpr int kTables = 256;
struct Table {
    const Global* globals;
    uint32_t count;
};
Table g_tables[kTables];
int g_table_count;

nuv_san_record g_record;

void copy_name(nuv_san_record& r, const char* name, size_t n) {
    if (n >= sizeof r.name) n = sizeof r.name - 1;
    __real_memcpy(r.name, name, n);
    r.name[n] = '\0';
}

bool global_of(uint32_t bad, nuv_san_record& r) {
    for (int t = 0; t < g_table_count; ++t) {
        for (uint32_t i = 0; i < g_tables[t].count; ++i) {
            const Global& g = g_tables[t].globals[i];
            if (bad >= g.begin && bad - g.begin < g.size_with_redzone) {
                r.block = g.begin;
                r.block_size = g.size;
                copy_name(r, g.name, strlen(g.name));
                return true;
            }
        }
    }
    return false;
}

// The compiler's frame layout: at the frame's base (where its left redzone
// begins) this magic word, the description "COUNT (OFFSET SIZE LENGTH
// NAME:LINE)..." and an address in the function.
constexpr uint32_t kFrameMagic = 0x41B58AB3u;

uint32_t number(const char*& s) {
    while (*s == ' ') ++s;
    uint32_t v = 0;
    while (*s >= '0' && *s <= '9') v = v * 10 + static_cast<uint32_t>(*s++ - '0');
    return v;
}

bool local_of(uint32_t bad, nuv_san_record& r) {
    // Down from the bad byte to the bottom of its frame's left redzone.
    uint32_t g = bad & ~7u;
    const uint32_t floor = g - kStackLow > 0x100000 ? g - 0x100000 : kStackLow;
    while (g >= floor + 8 && static_cast<uint8_t>(*shadow_of(g)) != kStackLeft) g -= 8;
    while (g >= floor + 8 && static_cast<uint8_t>(*shadow_of(g - 8)) == kStackLeft) g -= 8;
    const uint32_t* base = reinterpret_cast<const uint32_t*>(g);
    if (static_cast<uint8_t>(*shadow_of(g)) != kStackLeft || base[0] != kFrameMagic) return false;
    r.frame_pc = base[2];
    const char* s = reinterpret_cast<const char*>(base[1]);
    const uint32_t at = bad - g;
    uint32_t count = number(s);
    // The variable with the highest offset at or below the bad byte, else
    // the one with the lowest offset (an access below them all).
    uint32_t best_offset = 0, best_size = 0, best_length = 0;
    bool best_below = false;
    const char* best_name = nullptr;
    for (uint32_t i = 0; i < count && *s != '\0'; ++i) {
        uint32_t offset = number(s), size = number(s), length = number(s);
        while (*s == ' ') ++s;
        const bool below = offset <= at;
        if (best_name == nullptr || (below && (!best_below || offset > best_offset)) ||
            (!below && !best_below && offset < best_offset)) {
            best_offset = offset, best_size = size, best_length = length;
            best_below = below;
            best_name = s;
        }
        const size_t have = strnlen(s, length);
        s += have;
        if (have < length) break;
    }
    if (best_name == nullptr) return false;
    r.block = g + best_offset;
    r.block_size = best_size;
    copy_name(r, best_name, best_length);
    return true;
}

}  // namespace

nuv_san_record& record() {
    return g_record;
}

void report(nuv_san_kind kind, uint32_t address, uint32_t size, bool write, uint32_t bad) {
    nuv_san_record& r = g_record;
    r.kind = kind;
    r.address = address;
    r.size = size;
    r.write = write ? 1 : 0;
    r.bad = bad;
    switch (kind) {
        case NUV_SAN_HEAP_OVERFLOW:
            if (heap_block_of(bad, r)) {
                if (r.freed[0] != 0 && bad >= r.block && bad - r.block < r.block_size)
                    r.kind = NUV_SAN_USE_AFTER_FREE;
                else if (bad < r.block)
                    r.kind = NUV_SAN_HEAP_UNDERFLOW;
            }
            break;
        case NUV_SAN_STACK_OVERFLOW:
        case NUV_SAN_STACK_UNDERFLOW:
        case NUV_SAN_STACK_AFTER_SCOPE:
            if (local_of(bad, r) && r.kind != NUV_SAN_STACK_AFTER_SCOPE)
                r.kind = bad < r.block ? NUV_SAN_STACK_UNDERFLOW : NUV_SAN_STACK_OVERFLOW;
            break;
        case NUV_SAN_GLOBAL_OVERFLOW:
            global_of(bad, r);
            break;
        default:
            break;
    }
    r.magic = NUV_SAN_MAGIC;
    nuv_san_stop(&r);
}

}  // namespace nuvsan

extern "C" void __asan_register_globals(const nuvsan::Global* globals, uint32_t count) {
    using namespace nuvsan;
    if (g_table_count < kTables) g_tables[g_table_count++] = {globals, count};
    for (uint32_t i = 0; i < count; ++i) {
        const Global& g = globals[i];
        unpoison(g.begin, g.size);
        uint32_t end = (g.begin + g.size + 7) & ~7u;
        poison(end, g.begin + g.size_with_redzone - end, kGlobalRedzone);
    }
}

// Globals stay for the whole run: nothing runs after exit.
extern "C" void __asan_unregister_globals(const nuvsan::Global*, uint32_t) {}

// The trap: its own function, with the record in EAX, so that nuvemu knows
// it by name.
extern "C" [[gnu::noinline]] void nuv_san_stop(nuv_san_record* r) {
    asm volatile("ud2" : : "a"(r) : "memory");
    __builtin_unreachable();
}
