// What a signal in a native guest process means: the fault it reports, or a
// trapped time-stamp read that the engine answers itself.
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <capstone/capstone.h>

#include <cstdint>
#include <string>

#include "native_abi.hpp"
#include "direct_call.h"
#include "native_engine.hpp"

namespace nuv {
using namespace native;

namespace {

// Whether an instruction writes memory, from its encoding: for the pages
// the probe below cannot open (Linux maps nothing in the lowest 64 KiB, where
// a null pointer points).
bool encoding_writes(const uint8_t* code, size_t n, uint32_t eip) {
    csh h = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_32, &h) != CS_ERR_OK) return false;
    cs_option(h, CS_OPT_DETAIL, CS_OPT_ON);
    cs_insn* insn = nullptr;
    bool writes = false;
    if (cs_disasm(h, code, n, eip, 1, &insn) == 1 && insn->detail != nullptr) {
        const cs_x86& x = insn->detail->x86;
        for (uint8_t i = 0; i < x.op_count; ++i) {
            if (x.operands[i].type == X86_OP_MEM && (x.operands[i].access & CS_AC_WRITE)) {
                writes = true;
            }
        }
        switch (insn->id) {
            case X86_INS_PUSH:
            case X86_INS_PUSHAL:
            case X86_INS_PUSHFD:
            case X86_INS_CALL:
            case X86_INS_ENTER:
            case X86_INS_STOSB:
            case X86_INS_STOSW:
            case X86_INS_STOSD:
            case X86_INS_MOVSB:
            case X86_INS_MOVSW:
            case X86_INS_MOVSD:
                writes = true;
                break;
            default:
                break;
        }
    }
    if (insn != nullptr) cs_free(insn, 1);
    cs_close(&h);
    return writes;
}

}  // namespace

uint32_t NativeEngine::page_perms(uint32_t address) {
    for (const MapsLine& m : read_maps(pid_)) {
        if (address < m.begin || address >= m.end || m.perms.size() < 3) continue;
        uint32_t p = 0;
        if (m.perms[0] == 'r') p |= kPermRead;
        if (m.perms[1] == 'w') p |= kPermWrite;
        if (m.perms[2] == 'x') p |= kPermExec;
        return p;
    }
    return 0;
}

bool NativeEngine::probe_write(uint32_t address, bool unmapped) {
    // A signal does not say whether the access was a read or a write. Made
    // readable for a moment, the page answers it: the instruction, stepped
    // once more, faults there again only if it writes.
    uint32_t page = address & ~(kPage - 1);
    uint32_t perms = unmapped ? 0 : page_perms(address);
    if (!unmapped && (perms & kPermRead)) return true;
    auto decoded = [&] {
        uint8_t code[16];
        size_t n = sizeof code;
        uint32_t eip = static_cast<uint32_t>(regs_.rip);
        while (n > 0 && !read(eip, code, n)) --n;
        return encoding_writes(code, n, eip);
    };
    if (!guest_range(page, kPage)) return decoded();
    int64_t r = 0;
    bool opened = unmapped ? map(page, kPage, kPermRead) : protect(page, kPage, kPermRead);
    if (!opened) return decoded();
    user_regs_struct saved = regs_;
    bool writes = false;
    int status = 0;
    if (proceed(Go::Step) && wait_stop(status)) {
        siginfo_t si{};
        if (WIFSTOPPED(status) && WSTOPSIG(status) == SIGSEGV &&
            ptrace(PTRACE_GETSIGINFO, pid_, nullptr, &si) == 0) {
            uint32_t at = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(si.si_addr));
            writes = (at & ~(kPage - 1)) == page;
        }
    }
    if (pid_ <= 0) return writes;
    regs_ = saved;
    regs_dirty_ = true;
    if (unmapped) {
        remote(abi_of(opts_).munmap, {page, kPage}, r);
    } else {
        remote(abi_of(opts_).mprotect, {page, kPage, linux_prot(perms)}, r);
    }
    return writes;
}

bool NativeEngine::fault_event(int sig, const siginfo_t& si, const RunLimits& limits,
                               EngineEvent& ev, bool& go_on) {
    go_on = false;
    uint32_t eip = static_cast<uint32_t>(regs_.rip);
    ev.eip = eip;
    uint32_t addr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(si.si_addr));
    // Through the site segment an instruction's own address is read higher.
    if ((regs_.cs & 0xffff) == NUV_SITE_CS && addr == eip + NUV_SLED_BASE) addr = eip;
    uint8_t code[3] = {0, 0, 0};
    switch (sig) {
        case SIGSEGV:
            if (limits.return_address != 0 && eip == limits.return_address) {
                ev.stop = EngineStop::Returned;
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
                        regs_.rax = static_cast<uint32_t>(tsc_next_);
                        regs_.rdx = static_cast<uint32_t>(tsc_next_ >> 32);
                        if (rdtscp) regs_.rcx = 0;
                        regs_.rip = eip + (rdtscp ? 3 : 2);
                        regs_dirty_ = true;
                        ++tsc_next_;
                        go_on = true;
                        return true;
                    }
                }
                if (opts_.stand_in_64 && code[0] == 0xCD && code[1] == 0x80) {
                    // Without 32-bit support Linux refuses int 0x80 itself.
                    regs_.rip = eip + 2;
                    regs_dirty_ = true;
                    ev.stop = EngineStop::Trap;
                    ev.eip = eip + 2;
                    return true;
                }
                if (code[0] == 0xF4) {
                    ev.message = "guest halted at eip " + hex(eip);
                } else if (code[0] == 0xCD) {
                    ev.message =
                        "unexpected interrupt " + std::to_string(code[1]) + " at eip " + hex(eip);
                } else {
                    ev.message = "privileged instruction at eip " + hex(eip);
                }
                return true;
            }
            ev.address = addr;
            // At the instruction's own address the fetch failed, unless its
            // page is executable and the instruction touched itself.
            if (addr == eip && (si.si_code == SEGV_MAPERR || (page_perms(addr) & kPermExec) == 0)) {
                ev.message =
                    std::string(si.si_code == SEGV_MAPERR ? "execution of unmapped memory"
                                                          : "execution of non-executable memory") +
                    " at " + hex(addr) + " (eip " + hex(eip) + ")";
                return true;
            }
            {
                bool unmapped = si.si_code == SEGV_MAPERR;
                bool writes = probe_write(addr, unmapped);
                const char* what =
                    unmapped ? (writes ? "write to unmapped memory" : "read of unmapped memory")
                             : (writes ? "write to protected memory" : "read of protected memory");
                ev.message = std::string(what) + " at " + hex(addr) + " (eip " + hex(eip) + ")";
            }
            return true;
        case SIGBUS:
            ev.stop = EngineStop::Fault;
            ev.address = addr;
            ev.message = "bus error at " + hex(addr) + " (eip " + hex(eip) + ")";
            return true;
        case SIGILL:
            ev.stop = EngineStop::Fault;
            // syscall or sysenter where this processor has none in 32-bit
            // code: the same fault as where it has them.
            if (read(eip, code, 2) && code[0] == 0x0F && (code[1] == 0x05 || code[1] == 0x34)) {
                ev.message = "system call other than int 0x80 at eip " + hex(eip);
                return true;
            }
            ev.message = "invalid instruction at " + hex(eip);
            return true;
        case SIGFPE:
            ev.stop = EngineStop::Fault;
            ev.message = std::string("unexpected interrupt ") +
                         (si.si_code == FPE_INTDIV || si.si_code == FPE_INTOVF ? "0" : "16") +
                         " at eip " + hex(eip);
            return true;
        case SIGTRAP:
            ev.stop = EngineStop::Fault;
            read(eip - 1, code, 1);
            ev.message = std::string("unexpected interrupt ") + (code[0] == 0xCC ? "3" : "1") +
                         " at eip " + hex(eip);
            return true;
        case SIGSYS:
            ev.stop = EngineStop::Fault;
            ev.message = "refused system call at eip " + hex(eip);
            return true;
        default:
            return false;
    }
}

}  // namespace nuv
