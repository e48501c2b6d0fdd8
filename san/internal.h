// The sanitizer runtime's shared pieces: the shadow memory, the guest's
// areas, frame-pointer backtraces and the report that stops the process.
//
// Shadow: one byte for every 8 bytes of the guest, at (address >> 3) +
// kShadowOffset (the drivers compile with -fasan-shadow-offset of the same
// value). 0: all 8 bytes are the program's; 1-7: the first N are; a negative
// value: none is, and which redzone it is (the values below). Only the image's
// own memory and the stack have shadow, two zero-filled segments that the
// sanitizer's linker script (nuvos-san.ld) places; nothing is mapped at run
// time.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "sanitizer_record.h"

namespace nuvsan {

constexpr uint32_t kShadowOffset = 0x20000000u;
constexpr uint32_t kStackTop = 0xC0000000u;
constexpr uint32_t kStackLow = kStackTop - (8u << 20);
constexpr uint32_t kImageBase = 0x400000u;
constexpr uint32_t kScratchBase = 0x10000000u, kScratchEnd = 0x10400000u;
constexpr uint32_t kMapBase = 0x40000000u, kMapEnd = 0x80000000u;

// Redzone values (as the compiler writes them for locals).
constexpr uint8_t kHeapLeft = 0xfa, kHeapRight = 0xfb, kHeapFreed = 0xfd;
constexpr uint8_t kStackLeft = 0xf1, kStackMid = 0xf2, kStackRight = 0xf3;
constexpr uint8_t kStackScope = 0xf8, kGlobalRedzone = 0xf9;

inline int8_t* shadow_of(uint32_t address) {
    return reinterpret_cast<int8_t*>((address >> 3) + kShadowOffset);
}

// Whether an address has shadow: the image's memory or the stack.
bool shadowed(uint32_t address);
// Marks [address, address + size) with `value` (both multiples of 8).
void poison(uint32_t address, uint32_t size, uint8_t value);
// Marks [address, address + size) as the program's (address a multiple of
// 8), the partial last granule included.
void unpoison(uint32_t address, uint32_t size);

// Checks an access of n bytes at a, as the compiler's checks do.
void check_access(uint32_t a, uint32_t n, bool write);

// Return addresses from frame pointer fp outwards, at most n; the rest 0.
void backtrace(uint32_t fp, uint32_t* out, int n);

// The heap block whose extent (redzones included) holds address, for a
// report: false when none does.
bool heap_block_of(uint32_t address, nuv_san_record& r);

// Fills what is known of an access and stops the process; never returns.
[[noreturn]] void report(nuv_san_kind kind, uint32_t address, uint32_t size, bool write,
                         uint32_t bad);
// The one record the host reads.
nuv_san_record& record();

}  // namespace nuvsan

// The library's own memory functions: sanitized links wrap them (memory.cpp),
// and the runtime, which reads and writes redzones and shadow, calls them
// directly.
extern "C" void* __real_memcpy(void* to, const void* from, size_t n);
extern "C" void* __real_memset(void* to, int c, size_t n);

// The trap nuvemu recognises (NUV_SAN_STOP): ud2 with the record in EAX.
extern "C" [[noreturn]] void nuv_san_stop(nuv_san_record* r);
