#include "fiber.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NUV_FIBER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define NUV_FIBER_ASAN 1
#endif
#ifdef NUV_FIBER_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

#if !defined(__x86_64__)
#error "the fiber switch is written for x86-64 hosts"
#endif

// Saves the callee-saved registers, MXCSR and the x87 control word on the
// current stack, stores the stack pointer at *save and takes up the stack at
// `load`, restoring what was saved there. A fiber's first entry "returns"
// into nuv_fiber_entry, which calls r13(r12) and never comes back.
extern "C" void nuv_fiber_switch(void** save, void* load);
extern "C" void nuv_fiber_entry();

asm(R"(
    .text
    .p2align 4
    .globl nuv_fiber_switch
    .hidden nuv_fiber_switch
    .type nuv_fiber_switch, @function
nuv_fiber_switch:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .cfi_endproc
    .size nuv_fiber_switch, .-nuv_fiber_switch

    .p2align 4
    .globl nuv_fiber_entry
    .hidden nuv_fiber_entry
    .type nuv_fiber_entry, @function
nuv_fiber_entry:
    .cfi_startproc
    .cfi_undefined rip
    movq %r12, %rdi
    callq *%r13
    ud2
    .cfi_endproc
    .size nuv_fiber_entry, .-nuv_fiber_entry
)");

namespace nuv {

std::unique_ptr<Fiber> Fiber::create(size_t stack_bytes, Body body, void* arg) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    stack_bytes = (stack_bytes + page - 1) / page * page;
    const size_t total = stack_bytes + page;
    void* map = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (map == MAP_FAILED) return nullptr;
    // The guard page below the stack: an overflow faults rather than writes
    // over whatever lies there.
    if (mprotect(map, page, PROT_NONE) != 0) {
        munmap(map, total);
        return nullptr;
    }
#ifdef NUV_FIBER_ASAN
    // The frames a fiber never returned from stay poisoned in the shadow of
    // memory that a new stack may take up again.
    __asan_unpoison_memory_region(map, total);
#endif
    std::unique_ptr<Fiber> f(new Fiber());
    f->map_ = map;
    f->map_bytes_ = total;
    f->stack_bottom_ = static_cast<char*>(map) + page;
    f->stack_bytes_ = stack_bytes;
    f->body_ = body;
    f->arg_ = arg;
    // The frame nuv_fiber_switch pops on the first entry, from the lowest
    // address: MXCSR and the x87 control word, r15, r14, r13, r12, rbx, rbp
    // and the return address. The top is 16-byte aligned, so the call in
    // nuv_fiber_entry finds the stack as the calling convention has it.
    auto* top = reinterpret_cast<uint64_t*>(static_cast<char*>(map) + total);
    uint64_t* frame = top - 8;
    uint32_t mxcsr = 0;
    uint16_t fcw = 0;
    asm volatile("stmxcsr %0" : "=m"(mxcsr));
    asm volatile("fnstcw %0" : "=m"(fcw));
    frame[0] = mxcsr | (uint64_t{fcw} << 32);
    frame[1] = 0;                                             // r15
    frame[2] = 0;                                             // r14
    frame[3] = reinterpret_cast<uint64_t>(&Fiber::start);     // r13
    frame[4] = reinterpret_cast<uint64_t>(f.get());           // r12
    frame[5] = 0;                                             // rbx
    frame[6] = 0;                                             // rbp
    frame[7] = reinterpret_cast<uint64_t>(&nuv_fiber_entry);  // return address
    f->fiber_sp_ = frame;
    return f;
}

Fiber::~Fiber() {
    if (map_ == nullptr) return;
#ifdef NUV_FIBER_ASAN
    __asan_unpoison_memory_region(map_, map_bytes_);
#endif
    munmap(map_, map_bytes_);
}

void Fiber::start(Fiber* f) {
#ifdef NUV_FIBER_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &f->outer_bottom_, &f->outer_bytes_);
#endif
    f->body_(f->arg_);
    f->finished_ = true;
#ifdef NUV_FIBER_ASAN
    // Gone for good: no fake stack to keep.
    __sanitizer_start_switch_fiber(nullptr, f->outer_bottom_, f->outer_bytes_);
#endif
    void* dead = nullptr;
    nuv_fiber_switch(&dead, f->outer_sp_);
    std::abort();
}

void Fiber::enter() {
    if (inside_ || finished_) std::abort();
    inside_ = true;
#ifdef NUV_FIBER_ASAN
    __sanitizer_start_switch_fiber(&outer_fake_, stack_bottom_, stack_bytes_);
#endif
    nuv_fiber_switch(&outer_sp_, fiber_sp_);
#ifdef NUV_FIBER_ASAN
    __sanitizer_finish_switch_fiber(outer_fake_, nullptr, nullptr);
#endif
    inside_ = false;
}

void Fiber::leave() {
    if (!inside_) std::abort();
#ifdef NUV_FIBER_ASAN
    __sanitizer_start_switch_fiber(&fiber_fake_, outer_bottom_, outer_bytes_);
#endif
    nuv_fiber_switch(&fiber_sp_, outer_sp_);
#ifdef NUV_FIBER_ASAN
    __sanitizer_finish_switch_fiber(fiber_fake_, &outer_bottom_, &outer_bytes_);
#endif
}

}  // namespace nuv
