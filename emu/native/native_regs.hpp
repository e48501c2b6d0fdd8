// The guest's registers wherever the engine finds them, in one table: the
// engine interface's Registers, the tracer's user_regs_struct (the low
// halves, in the 64-bit stand-in too) and the register words of the direct
// call path's page (direct_call.h).
#pragma once

#include <sys/user.h>

#include <cstddef>
#include <cstdint>

#include "direct_call.h"
#include "engine.hpp"

namespace nuv::native {

struct RegisterSlot {
    uint32_t Registers::*guest;  // nullptr: a selector, which Registers does not hold
    unsigned long long user_regs_struct::*host;
    uint32_t word;  // its index in the call page's register words
};

// The registers Registers holds come first, then the selectors.
inline constexpr RegisterSlot kRegisterSlots[] = {
    {&Registers::eax, &user_regs_struct::rax, NUV_CTX_EAX},
    {&Registers::ebx, &user_regs_struct::rbx, NUV_CTX_EBX},
    {&Registers::ecx, &user_regs_struct::rcx, NUV_CTX_ECX},
    {&Registers::edx, &user_regs_struct::rdx, NUV_CTX_EDX},
    {&Registers::esi, &user_regs_struct::rsi, NUV_CTX_ESI},
    {&Registers::edi, &user_regs_struct::rdi, NUV_CTX_EDI},
    {&Registers::ebp, &user_regs_struct::rbp, NUV_CTX_EBP},
    {&Registers::esp, &user_regs_struct::rsp, NUV_CTX_ESP},
    {&Registers::eip, &user_regs_struct::rip, NUV_CTX_EIP},
    {&Registers::eflags, &user_regs_struct::eflags, NUV_CTX_EFLAGS},
    {nullptr, &user_regs_struct::cs, NUV_CTX_CS},
    {nullptr, &user_regs_struct::ss, NUV_CTX_SS},
    {nullptr, &user_regs_struct::ds, NUV_CTX_DS},
    {nullptr, &user_regs_struct::es, NUV_CTX_ES},
    {nullptr, &user_regs_struct::fs, NUV_CTX_FS},
    {nullptr, &user_regs_struct::gs, NUV_CTX_GS},
};
inline constexpr size_t kGeneralSlots = 10;
static_assert(sizeof kRegisterSlots / sizeof kRegisterSlots[0] == kGeneralSlots + 6);

// Each of these goes over the slots in the table's order.
template <typename F>
void for_general(F&& f) {
    for (size_t i = 0; i < kGeneralSlots; ++i) f(kRegisterSlots[i]);
}
template <typename F>
void for_all(F&& f) {
    for (const RegisterSlot& s : kRegisterSlots) f(s);
}

inline Registers to_registers(const user_regs_struct& u) {
    Registers r;
    for_general([&](const RegisterSlot& s) { r.*s.guest = static_cast<uint32_t>(u.*s.host); });
    return r;
}

inline void set_general(user_regs_struct& u, const Registers& r) {
    for_general([&](const RegisterSlot& s) { u.*s.host = r.*s.guest; });
}

// All of them, from the call page's words: a selector is 16 bits there.
inline void load_words(user_regs_struct& u, const uint32_t* words) {
    for_all([&](const RegisterSlot& s) {
        u.*s.host = s.guest != nullptr ? words[s.word] : words[s.word] & 0xffff;
    });
}

// The ones Registers holds, into the call page's words.
inline void store_words(uint32_t* words, const user_regs_struct& u) {
    for_general([&](const RegisterSlot& s) { words[s.word] = static_cast<uint32_t>(u.*s.host); });
}

// All of them, from one user_regs_struct into another (the rest of `to` stays).
inline void copy_slots(user_regs_struct& to, const user_regs_struct& from) {
    for_all([&](const RegisterSlot& s) { to.*s.host = from.*s.host; });
}

}  // namespace nuv::native
