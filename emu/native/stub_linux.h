/* The Linux interface of the freestanding start-up stub (stub.c): the
 * numbers of the calls it makes, for i386 and for the 64-bit stand-in, the
 * constants they take and the kernel's structures they read. */
#ifndef NUV_NATIVE_STUB_LINUX_H
#define NUV_NATIVE_STUB_LINUX_H

#include <stdint.h>

#ifdef __x86_64__
/* The 64-bit build is a stand-in for hosts without 32-bit support; it runs
 * the same steps with the 64-bit call numbers. */
#define NR_exit 60
#define NR_read 0
#define NR_getpid 39
#define NR_prctl 157
#define NR_prlimit64 302
#define NR_seccomp 317
#define NR_close_range 436
#define NR_personality 135
#define TRAP_INSN "syscall"
#define TRAP_LENGTH 2
#define HANDOVER_FDS(listener, page, event) "S"(listener)
#define CLEAR_KEY_REGS "xor %%r8d, %%r8d\n xor %%r9d, %%r9d\n"
#else
#define NR_exit 1
#define NR_read 3
#define NR_getpid 20
#define NR_prctl 172
#define NR_prlimit64 340
#define NR_seccomp 354
#define NR_close_range 436
#define NR_personality 136
#define TRAP_INSN "int $0x80"
#define TRAP_LENGTH 2
#define HANDOVER_FDS(listener, page, event) "c"(listener), "d"(page), "S"(event)
#define CLEAR_KEY_REGS "xor %%edi, %%edi\n xor %%ebp, %%ebp\n"
#endif

#define PR_SET_TSC 26
#define PR_TSC_SIGSEGV 2
#define PR_SET_NO_NEW_PRIVS 38
#define PR_SET_DUMPABLE 4

#define RLIMIT_NPROC 6
#define RLIMIT_NOFILE 7
#define RLIMIT_AS 9
#define RLIMIT_CORE 4
#define RLIMIT_FSIZE 1

struct filter_insn {
    uint16_t code;
    uint8_t jt, jf;
    uint32_t k;
};

struct filter_prog {
    unsigned short len;
    const struct filter_insn* insns;
};

struct rlimit64_pair {
    uint64_t cur, max;
};

#ifndef __x86_64__
/* Only the i386 stub sets up the direct call path. */
#define NR_old_mmap 90
#define NR_close 6
#define NR_rt_sigprocmask 175
#define NR_rt_sigaction 174
#define NR_sigaltstack 186
#define NR_mremap 163

#define AT_NULL_ 0
#define AT_SYSINFO_ 32
#define AT_SYSINFO_EHDR_ 33

#define SIGTRAP_ 5
#define SIGBUS_ 7
#define SIGFPE_ 8
#define SIGILL_ 4
#define SIGSEGV_ 11
#define SIGSYS_ 31
#define SIGXFSZ_ 25

struct old_mmap_args {
    uint32_t addr, len, prot, flags, fd, offset;
};

struct kernel_sigaction {
    void* handler;
    uint32_t flags;
    void* restorer;
    uint32_t mask[2];
};

struct kernel_stack {
    void* sp;
    int32_t flags;
    uint32_t size;
};
#endif

#endif
