#include "insn_sweep.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unicorn/unicorn.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "insn_guard.hpp"

namespace nuvtest::sweep {
namespace {

constexpr uint32_t kCode = 0x00400000;
constexpr uint32_t kEnd = kCode + 16;  // where a run that falls through stops
constexpr uint32_t kStack = 0x007FF000;
constexpr size_t kInstructionLimit = 64;
constexpr unsigned kAlarmSeconds = 10;  // a safety net against a stuck engine

void on_interrupt(uc_engine* uc, uint32_t, void* user) {
    *static_cast<bool*>(user) = true;
    uc_emu_stop(uc);
}

Outcome classify(uc_err e, bool interrupted, bool refused, uint32_t eip) {
    if (interrupted) return Interrupt;
    switch (e) {
        case UC_ERR_OK:
            if (refused) return Refused;
            return eip == kEnd ? Completed : Stopped;
        case UC_ERR_INSN_INVALID:
            return Invalid;
        case UC_ERR_READ_UNMAPPED:
        case UC_ERR_WRITE_UNMAPPED:
        case UC_ERR_FETCH_UNMAPPED:
        case UC_ERR_READ_PROT:
        case UC_ERR_WRITE_PROT:
        case UC_ERR_FETCH_PROT:
        case UC_ERR_READ_UNALIGNED:
        case UC_ERR_WRITE_UNALIGNED:
        case UC_ERR_FETCH_UNALIGNED:
            return MemoryFault;
        default:
            return OtherError;
    }
}

}  // namespace

const char* outcome_name(Outcome o) {
    static const char* const names[kOutcomes] = {"Completed",   "Refused",   "Invalid",
                                                 "MemoryFault", "Interrupt", "Stopped",
                                                 "OtherError",  "Crashed",   "Hung"};
    return o < kOutcomes ? names[o] : "?";
}

Outcome run_encoding(uint16_t encoding, const Config& config) {
    uc_engine* uc = nullptr;
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc) != UC_ERR_OK) return OtherError;
    std::vector<uint8_t> page(4096, config.tail);
    page[0] = static_cast<uint8_t>(encoding >> 8);
    page[1] = static_cast<uint8_t>(encoding);
    uc_mem_map(uc, kCode, 4096, UC_PROT_READ | UC_PROT_EXEC);
    uc_mem_write(uc, kCode, page.data(), page.size());
    uc_mem_map(uc, kStack, 4096, UC_PROT_READ | UC_PROT_WRITE);
    uint32_t esp = kStack + 2048;
    uc_reg_write(uc, UC_X86_REG_ESP, &esp);
    bool interrupted = false;
    uc_hook hook;
    uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&on_interrupt), &interrupted, 1,
                0);

    Outcome outcome;
    if (config.guarded) {
        nuv::guard::UnicornGuard guard(uc);
        guard.code_mapped(kCode, page);
        nuv::guard::GuardedStop s = guard.start(kCode, kEnd, 0, kInstructionLimit);
        outcome = classify(s.error, interrupted, s.refused, s.eip);
    } else {
        uc_err e = uc_emu_start(uc, kCode, kEnd, 0, kInstructionLimit);
        uint32_t eip = 0;
        uc_reg_read(uc, UC_X86_REG_EIP, &eip);
        outcome = classify(e, interrupted, false, eip);
    }
    uc_close(uc);
    return outcome;
}

uint64_t Result::total() const {
    uint64_t n = 0;
    for (uint64_t c : counts) n += c;
    return n;
}

std::string Result::summary() const {
    std::string out;
    for (int o = 0; o < kOutcomes; ++o) {
        if (!out.empty()) out += ' ';
        out += outcome_name(static_cast<Outcome>(o));
        out += '=' + std::to_string(counts[o]);
    }
    return out;
}

Result sweep(std::span<const uint16_t> encodings, const Config& config) {
    Result result;
    auto record = [&](uint16_t encoding, Outcome o) {
        result.counts[o] += 1;
        if (o == Crashed || o == Hung) result.crashed.push_back(encoding);
        if (o == Refused || o == Invalid) result.invalid.push_back(encoding);
    };
    size_t next = 0;
    while (next < encodings.size()) {
        int fds[2];
        if (pipe(fds) != 0) break;
        pid_t pid = fork();
        if (pid < 0) {
            close(fds[0]);
            close(fds[1]);
            break;
        }
        if (pid == 0) {
            close(fds[0]);
            // The engine's own complaint on an abort is expected here.
            int null = open("/dev/null", O_WRONLY);
            if (null >= 0) dup2(null, 2);
            for (size_t i = next; i < encodings.size(); ++i) {
                alarm(kAlarmSeconds);
                uint8_t o = run_encoding(encodings[i], config);
                if (write(fds[1], &o, 1) != 1) _exit(1);
            }
            _exit(0);
        }
        close(fds[1]);
        uint8_t o;
        while (read(fds[0], &o, 1) == 1) {
            record(encodings[next], o < kOutcomes ? static_cast<Outcome>(o) : OtherError);
            ++next;
        }
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (next < encodings.size()) {
            bool alarmed = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
            record(encodings[next], alarmed ? Hung : Crashed);
            ++next;
        }
    }
    return result;
}

}  // namespace nuvtest::sweep
