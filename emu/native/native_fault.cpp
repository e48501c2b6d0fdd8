// What a signal in a native guest process means: the fault it reports, or a
// trapped time-stamp read that the engine answers itself.
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <capstone/capstone.h>

#include <cstdint>

#include "native_abi.hpp"
#include "direct_call.h"
#include "native_engine.hpp"

namespace nuv {
using namespace native;

namespace {

// What an instruction does to memory, from its encoding: whether it writes
// (for the pages the probe below cannot open: Linux maps nothing in the
// lowest 64 KiB, where a null pointer points), and how many bytes it reads
// and writes at a time, as Unicorn reports the access.
struct Decoded {
    bool writes = false;
    uint8_t read_size = 0, write_size = 0;
};

Decoded decode(const uint8_t* code, size_t n, uint32_t eip) {
    Decoded d;
    csh h = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &h) != CS_ERR_OK) return d;
    cs_option(h, CS_OPT_DETAIL, CS_OPT_ON);
    cs_insn* insn = nullptr;
    if (cs_disasm(h, code, n, eip, 1, &insn) == 1 && insn->detail != nullptr) {
        const cs_x86& x = insn->detail->x86;
        for (uint8_t i = 0; i < x.op_count; ++i) {
            const cs_x86_op& op = x.operands[i];
            if (op.type != X86_OP_MEM) continue;
            if (op.access & CS_AC_WRITE) {
                d.writes = true;
                if (d.write_size == 0) d.write_size = op.size;
            }
            if ((op.access & CS_AC_READ) && d.read_size == 0) d.read_size = op.size;
        }
        // String instructions move a byte, or a word or doubleword by the
        // operand size.
        const uint8_t op = x.opcode[0];
        if ((op >= 0xA4 && op <= 0xA7) || (op >= 0xAA && op <= 0xAF)) {
            uint8_t size = (op & 1) == 0 ? 1 : x.prefix[2] == 0x66 ? 2 : 4;
            d.read_size = size;
            if (op == 0xA4 || op == 0xA5 || op == 0xAA || op == 0xAB) {
                d.writes = true;
                d.write_size = size;
            }
        }
        // The stack's accesses, which the encoding does not name.
        switch (insn->id) {
            case X86_INS_PUSH:
            case X86_INS_PUSHAL:
            case X86_INS_PUSHFD:
            case X86_INS_CALL:
            case X86_INS_ENTER:
                d.writes = true;
                d.write_size = 4;
                break;
            case X86_INS_POP:
            case X86_INS_POPAL:
            case X86_INS_POPFD:
            case X86_INS_RET:
            case X86_INS_LEAVE:
                d.read_size = 4;
                break;
            default:
                break;
        }
    }
    if (insn != nullptr) cs_free(insn, 1);
    cs_close(&h);
    return d;
}

}  // namespace

bool NativeEngine::probe_write(uint32_t address, bool unmapped) {
    // A signal does not say whether the access was a read or a write. Made
    // readable for a moment, the page answers it: the instruction, stepped
    // once more, faults there again only if it writes.
    uint32_t page = address & ~(kPage - 1);
    uint32_t perms = unmapped ? 0 : space_.page_perms(address);
    if (!unmapped && (perms & kPermRead)) return true;
    auto decoded = [&] {
        uint8_t code[16];
        size_t n = sizeof code;
        uint32_t eip = static_cast<uint32_t>(proc_.regs().rip);
        while (n > 0 && !read(eip, code, n)) --n;
        return decode(code, n, eip).writes;
    };
    if (!space_.guest_range(page, kPage)) return decoded();
    int64_t r = 0;
    bool opened = unmapped ? map(page, kPage, kPermRead) : protect(page, kPage, kPermRead);
    if (!opened) return decoded();
    user_regs_struct saved = proc_.regs();
    bool writes = false;
    int status = 0;
    if (proc_.resume(ResumeBy::Step) && proc_.wait_stop(status)) {
        siginfo_t si{};
        if (WIFSTOPPED(status) && WSTOPSIG(status) == SIGSEGV &&
            ptrace(PTRACE_GETSIGINFO, proc_.pid(), nullptr, &si) == 0) {
            uint32_t at = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(si.si_addr));
            writes = (at & ~(kPage - 1)) == page;
        }
    }
    if (proc_.pid() <= 0) return writes;
    proc_.regs() = saved;
    proc_.mark_dirty();
    if (unmapped) {
        proc_.remote(abi_of(opts_).munmap, {page, kPage}, r);
    } else {
        proc_.remote(abi_of(opts_).mprotect, {page, kPage, linux_prot(perms)}, r);
    }
    return writes;
}

uint8_t NativeEngine::access_size(uint32_t eip, bool writes) {
    uint8_t code[16];
    size_t n = sizeof code;
    while (n > 0 && !read(eip, code, n)) --n;
    Decoded d = decode(code, n, eip);
    return writes ? d.write_size : d.read_size;
}

bool NativeEngine::fault_event(int sig, const siginfo_t& si, const RunLimits& limits,
                               EngineEvent& ev, bool& runs_on) {
    runs_on = false;
    uint32_t eip = static_cast<uint32_t>(proc_.regs().rip);
    ev.eip = eip;
    uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(si.si_addr));
    // Through the site segment an instruction's own address is read higher.
    if ((proc_.regs().cs & 0xffff) == NUV_SITE_CS && addr == eip + NUV_SLED_BASE) addr = eip;
    uint8_t code[3] = {0, 0, 0};
    GuestFault& f = ev.fault;
    f = GuestFault::at(FaultKind::None, eip);
    f.host_signal = sig;
    f.host_code = si.si_code;
    switch (sig) {
        case SIGSEGV:
            if (limits.return_address != 0 && eip == limits.return_address) {
                ev.stop = EngineStop::Returned;
                ev.fault = GuestFault{};
                return true;
            }
            ev.stop = EngineStop::Fault;
            if (si.si_code == SI_KERNEL) {
                // A general protection fault: a privileged instruction, an
                // interrupt other than the kernel's, or RDTSC when it is trapped.
                if (read(eip, code, 1)) read(eip, code, sizeof code);
                if (opts_.tsc && code[0] == 0x0F && (code[1] == 0x31 || code[1] == 0x01)) {
                    bool rdtscp = code[1] == 0x01 && code[2] == 0xF9;
                    if (code[1] == 0x31 || rdtscp) {
                        proc_.regs().rax = static_cast<uint32_t>(tsc_next_);
                        proc_.regs().rdx = static_cast<uint32_t>(tsc_next_ >> 32);
                        if (rdtscp) proc_.regs().rcx = 0;
                        proc_.regs().rip = eip + (rdtscp ? 3 : 2);
                        proc_.mark_dirty();
                        ++tsc_next_;
                        runs_on = true;
                        ev.fault = GuestFault{};
                        return true;
                    }
                }
                if (opts_.stand_in_64 && code[0] == 0xCD && code[1] == 0x80) {
                    // Without 32-bit support Linux refuses int 0x80 itself.
                    proc_.regs().rip = eip + 2;
                    proc_.mark_dirty();
                    ev.stop = EngineStop::Trap;
                    ev.eip = eip + 2;
                    ev.fault = GuestFault{};
                    return true;
                }
                if (code[0] == 0xF4) {
                    f.kind = FaultKind::Halt;
                } else if (code[0] == 0xCD) {
                    // int N through a gate the guest may not use.
                    GuestFault i = GuestFault::interrupt(code[1], eip);
                    f.kind = i.kind;
                    f.vector = i.vector;
                } else {
                    f.kind = FaultKind::Privileged;
                }
                return true;
            }
            f.address = addr;
            f.kind = si.si_code == SEGV_MAPERR ? FaultKind::Unmapped : FaultKind::Protection;
            // At the instruction's own address the fetch failed, unless its
            // page is executable and the instruction touched itself.
            if (addr == eip &&
                (si.si_code == SEGV_MAPERR || (space_.page_perms(addr) & kPermExec) == 0)) {
                f.access = FaultAccess::Execute;
                return true;
            }
            {
                bool writes = probe_write(addr, si.si_code == SEGV_MAPERR);
                f.access = writes ? FaultAccess::Write : FaultAccess::Read;
                f.size = access_size(eip, writes);
            }
            return true;
        case SIGBUS:
            ev.stop = EngineStop::Fault;
            f.kind = FaultKind::Bus;
            f.address = addr;
            return true;
        case SIGILL:
            ev.stop = EngineStop::Fault;
            // syscall or sysenter where this processor has none in 32-bit
            // code: the same fault as where it has them.
            f.kind = read(eip, code, 2) && code[0] == 0x0F && (code[1] == 0x05 || code[1] == 0x34)
                         ? FaultKind::SystemCall
                         : FaultKind::Invalid;
            return true;
        case SIGFPE: {
            ev.stop = EngineStop::Fault;
            bool divide = si.si_code == FPE_INTDIV || si.si_code == FPE_INTOVF;
            GuestFault i = GuestFault::interrupt(divide ? 0 : 16, eip);
            f.kind = i.kind;
            f.vector = i.vector;
            return true;
        }
        case SIGTRAP: {
            ev.stop = EngineStop::Fault;
            read(eip - 1, code, 1);
            GuestFault i = GuestFault::interrupt(code[0] == 0xCC ? 3 : 1, eip);
            f.kind = i.kind;
            f.vector = i.vector;
            return true;
        }
        case SIGSYS:
            ev.stop = EngineStop::Fault;
            f.kind = FaultKind::RefusedCall;
            return true;
        default:
            ev.fault = GuestFault{};
            return false;
    }
}

}  // namespace nuv
