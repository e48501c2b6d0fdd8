// The instruction guard: which starts it refuses, and Unicorn run through it
// stopping before them instead of taking the process down.
#include <gtest/gtest.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "insn_guard.hpp"
#include "insn_sweep.hpp"

namespace {

using nuv::guard::Refusal;

TEST(InsnGuard, ClassifiesInstructionStarts) {
    struct Case {
        std::vector<uint8_t> bytes;
        Refusal expected;
    } cases[] = {
        {{0xFF, 0xD8}, Refusal::FarThroughRegister},  // call far eax
        {{0xFF, 0xEF}, Refusal::FarThroughRegister},  // jmp far edi
        {{0x66, 0x2E, 0xFF, 0xDB}, Refusal::FarThroughRegister},
        {{0xFF, 0x18}, Refusal::None},                   // call far [eax]
        {{0xFF, 0xD0}, Refusal::None},                   // call eax
        {{0xFF, 0xF0}, Refusal::None},                   // push eax
        {{0xF0, 0x38, 0x00}, Refusal::LockNotLockable},  // lock cmp [eax], al
        {{0xF0, 0x39, 0x00}, Refusal::LockNotLockable},
        {{0xF0, 0xA6}, Refusal::LockNotLockable},  // lock cmpsb
        {{0xF0, 0xA7, 0x90}, Refusal::LockNotLockable},
        {{0xF0, 0x90}, Refusal::LockNotLockable},                 // lock nop
        {{0xF0, 0x80, 0x38, 0x01}, Refusal::LockNotLockable},     // lock cmp byte [eax], 1
        {{0xF0, 0x0F, 0xA3, 0x00}, Refusal::LockNotLockable},     // lock bt
        {{0xF0, 0x0F, 0xBA, 0x20, 1}, Refusal::LockNotLockable},  // lock bt imm
        {{0xF0, 0x01, 0xC0}, Refusal::LockRegister},              // lock add eax, eax
        {{0xF0, 0x0F, 0xC7, 0xC8}, Refusal::LockRegister},        // lock cmpxchg8b on a register
        {{0xF0, 0x01, 0x00}, Refusal::None},                      // lock add [eax], eax
        {{0xF0, 0x80, 0x00, 0x01}, Refusal::None},                // lock add byte [eax], 1
        {{0xF0, 0xF7, 0x18}, Refusal::None},                      // lock neg [eax]
        {{0xF0, 0x0F, 0xB1, 0x08}, Refusal::None},                // lock cmpxchg [eax], ecx
        {{0xF0, 0x0F, 0xC7, 0x08}, Refusal::None},                // lock cmpxchg8b [eax]
        {{0xF0, 0x0F, 0xBA, 0x28, 1}, Refusal::None},             // lock bts [eax], 1
        {{0x2E, 0xF0, 0x66, 0x87, 0x00}, Refusal::None},          // prefixes in any order
        // Cut short: refused only when the bytes present settle it.
        {{0xFF}, Refusal::None},
        {{0xF0}, Refusal::None},
        {{0xF0, 0x01}, Refusal::None},
        {{0xF0, 0x38}, Refusal::LockNotLockable},
        // Fifteen prefixes leave no room for an opcode.
        {std::vector<uint8_t>(15, 0x66), Refusal::None},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(nuv::guard::classify(c.bytes), c.expected)
            << "first bytes " << std::hex << int(c.bytes[0]) << " " << int(c.bytes.size());
    }
}

TEST(InsnGuard, ScanTriesEveryByteOffset) {
    // mov eax, 0xd8ff; lock cmp [eax], al; nop; jmp far ecx at the very end.
    const std::vector<uint8_t> code = {0xB8, 0xFF, 0xD8, 0x00, 0x00, 0xF0,
                                       0x38, 0x00, 0x90, 0xFF, 0xD9};
    EXPECT_EQ(nuv::guard::scan(code, 0x1000), (std::vector<uint32_t>{0x1001, 0x1005, 0x1009}));
    EXPECT_TRUE(nuv::guard::scan({}, 0x1000).empty());
}

// A fresh 32-bit engine with one code page and a stack page.
struct Engine {
    uc_engine* uc = nullptr;
    Engine(uint32_t base, const std::vector<uint8_t>& code) {
        EXPECT_EQ(uc_open(UC_ARCH_X86, UC_MODE_32, &uc), UC_ERR_OK);
        uc_mem_map(uc, base, 4096, UC_PROT_READ | UC_PROT_EXEC);
        uc_mem_write(uc, base, code.data(), code.size());
        uc_mem_map(uc, 0x7000, 4096, UC_PROT_READ | UC_PROT_WRITE);
        uint32_t esp = 0x7800;
        uc_reg_write(uc, UC_X86_REG_ESP, &esp);
    }
    ~Engine() { uc_close(uc); }
    std::vector<uint8_t> page(uint32_t base) {
        std::vector<uint8_t> b(4096);
        uc_mem_read(uc, base, b.data(), b.size());
        return b;
    }
};

TEST(InsnGuard, UnicornStopsBeforeRefusedInstructions) {
    const uint32_t base = 0x400000;
    struct Case {
        const char* what;
        std::vector<uint8_t> code;
        uint32_t stop;  // expected eip
        bool refused;
    } cases[] = {
        // At the start of a block: Unicorn alone aborts the process here.
        {"far call through a register", {0xFF, 0xD8, 0x90}, base, true},
        {"lock cmp after other code", {0x40, 0x90, 0xF0, 0x38, 0x00}, base + 2, true},
        {"lock cmpsd behind a prefix", {0x90, 0x66, 0xF0, 0xA7}, base + 1, true},
        // The same bytes inside an immediate never begin an instruction.
        {"bytes inside an immediate", {0xB8, 0xFF, 0xD8, 0xF0, 0x38, 0x90}, base + 6, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> code = c.code;
        code.resize(16, 0x90);
        Engine e(base, code);
        nuv::guard::UnicornGuard guard(e.uc);
        ASSERT_TRUE(guard.ok());
        guard.code_mapped(base, e.page(base));
        nuv::guard::GuardedStop s = guard.start(base, base + 6, 0, 100);
        EXPECT_EQ(s.error, UC_ERR_OK) << c.what;
        EXPECT_EQ(s.eip, c.stop) << c.what;
        EXPECT_EQ(s.refused, c.refused) << c.what;
        EXPECT_EQ(s.returned, !c.refused) << c.what;
    }
    Engine e(base, {0x90, 0xFF, 0xD8});
    nuv::guard::UnicornGuard guard(e.uc);
    guard.code_mapped(base, e.page(base));
    EXPECT_EQ(guard.refusal(base + 1), nuv::guard::Refusal::FarThroughRegister);
    EXPECT_EQ(guard.refusal(base), nuv::guard::Refusal::None);
    EXPECT_STREQ(nuv::guard::describe(guard.refusal(base + 1)),
                 "far call or jump through a register");
}

TEST(InsnGuard, UnmappedCodeLeavesTheExitList) {
    const uint32_t base = 0x400000;
    Engine e(base, {0x90, 0xFF, 0xD8});
    nuv::guard::UnicornGuard guard(e.uc);
    guard.code_mapped(base, e.page(base));
    EXPECT_TRUE(guard.refused_at(base + 1));
    // New bytes in the same range replace the old refusals.
    std::vector<uint8_t> fixed(4096, 0x90);
    uc_mem_write(e.uc, base, fixed.data(), fixed.size());
    guard.code_mapped(base, fixed);
    EXPECT_EQ(guard.refused_count(), 0u);
    nuv::guard::GuardedStop s = guard.start(base, base + 8, 0, 100);
    EXPECT_TRUE(s.returned);
    EXPECT_EQ(s.eip, base + 8);

    guard.code_mapped(base + 0x100, std::vector<uint8_t>{0xF0, 0x39, 0x00});
    guard.code_unmapped(base + 0x100, 0x100);
    EXPECT_FALSE(guard.refused_at(base + 0x100));
    guard.code_mapped(0xFFFFF000u, std::vector<uint8_t>{0xF0, 0x39, 0x00});
    guard.code_unmapped(0xFFFFF000u, 0x1000);  // a range that ends at 4 GiB
    EXPECT_EQ(guard.refused_count(), 0u);
}

// Every first byte that can begin a refusal, with all second bytes, and a
// sample of the rest: no encoding may take the engine down once guarded, and
// every known aborting encoding ends as an invalid instruction.
TEST(InsnGuard, SweepOfEncodingsNeverTakesTheEngineDown) {
    std::vector<uint16_t> encodings;
    for (unsigned e = 0; e <= 0xFFFF; ++e) {
        unsigned first = e >> 8;
        if (first == 0xFF || first == 0xF0 || e % 61 == 0) {
            encodings.push_back(static_cast<uint16_t>(e));
        }
    }
    nuvtest::sweep::Result r = nuvtest::sweep::sweep(encodings, {});
    EXPECT_EQ(r.total(), encodings.size());
    EXPECT_TRUE(r.crashed.empty()) << r.summary();
    const uint16_t aborting[] = {0xFFD8, 0xFFDF, 0xFFE8, 0xFFEF, 0xF038, 0xF039, 0xF0A6, 0xF0A7};
    for (uint16_t e : aborting) {
        EXPECT_NE(std::find(r.invalid.begin(), r.invalid.end(), e), r.invalid.end())
            << std::hex << e;
    }
    std::printf("guarded sweep of %zu encodings: %s\n", encodings.size(), r.summary().c_str());
}

}  // namespace
