// A fiber: a body that runs on a stack of its own and can leave it at any
// depth, to be entered again where it left. The Unicorn engine runs the
// emulator in one, so that a guest's trap can return from Engine::run() while
// the emulator stays where it stood inside its hook.
//
// The switch saves only what the x86-64 calling convention asks a callee to
// keep (the callee-saved registers, the stack pointer, MXCSR and the x87
// control word): a few nanoseconds, no system call. Under AddressSanitizer
// every switch is announced to it.
#pragma once

#include <cstddef>
#include <memory>

namespace nuv {

class Fiber {
  public:
    using Body = void (*)(void* arg);

    // A fiber that will run body(arg) when first entered, on a stack of
    // stack_bytes below a guard page; nullptr when the stack cannot be mapped.
    static std::unique_ptr<Fiber> create(size_t stack_bytes, Body body, void* arg);
    // Frees the stack: the body must have returned, or never begun; what
    // stands on the stack of a body left midway is not destroyed.
    ~Fiber();
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    // From outside: runs the fiber until it leaves or its body returns.
    void enter();
    // From inside: back to the enter() that entered it, until entered again.
    void leave();

    // Whether the code running now is the fiber's (between enter and leave).
    bool inside() const { return inside_; }
    bool finished() const { return finished_; }

  private:
    Fiber() = default;
    [[noreturn]] static void start(Fiber* f);

    void* map_ = nullptr;
    size_t map_bytes_ = 0;
    void* stack_bottom_ = nullptr;  // lowest usable address
    size_t stack_bytes_ = 0;
    void* fiber_sp_ = nullptr;  // where the fiber stands while out
    void* outer_sp_ = nullptr;  // where the enterer stands while in
    Body body_ = nullptr;
    void* arg_ = nullptr;
    bool inside_ = false, finished_ = false;
    // AddressSanitizer's view of the stacks: the enterer's (learned at each
    // entry) and each side's fake stack.
    const void* outer_bottom_ = nullptr;
    size_t outer_bytes_ = 0;
    void* outer_fake_ = nullptr;
    void* fiber_fake_ = nullptr;
};

}  // namespace nuv
