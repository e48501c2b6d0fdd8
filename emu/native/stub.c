/* The first code of every guest process under the native engine: a static
 * i386 program that the engine executes as a traced child. It drops what the
 * process inherited from the host, sets its limits, installs the system-call
 * filter and hands over to the engine at the gate, a page of its own that
 * holds one `int 0x80` (`syscall` in the 64-bit stand-in). From then on the engine drives the
 * process by system calls made at the gate and unmaps everything else, this code too.
 *
 * Arguments (decimal): open-file limit, process limit, address-space limit
 * in KiB (0: none), 1 to make RDTSC fault so that the engine can answer it.
 * On failure the process exits with the number of the step that failed. */
#include <stdint.h>

#include "filter.h"

#ifdef __x86_64__
/* The 64-bit build is a stand-in for hosts without 32-bit support; it runs
 * the same steps with the 64-bit call numbers. */
#define NR_exit 60
#define NR_getpid 39
#define NR_prctl 157
#define NR_prlimit64 302
#define NR_seccomp 317
#define NR_close_range 436
#define NR_personality 135
#define TRAP_INSN "syscall"
#define TRAP_LENGTH 2
#define HANDOVER_FD_REG(v) "S"(v)
#else
#define NR_exit 1
#define NR_getpid 20
#define NR_prctl 172
#define NR_prlimit64 340
#define NR_seccomp 354
#define NR_close_range 436
#define NR_personality 136
#define TRAP_INSN "int $0x80"
#define TRAP_LENGTH 2
#define HANDOVER_FD_REG(v) "c"(v)
#endif

#define PR_SET_TSC 26
#define PR_TSC_SIGSEGV 2
#define PR_SET_NO_NEW_PRIVS 38
#define PR_SET_DUMPABLE 4

#define RLIMIT_NPROC 6
#define RLIMIT_NOFILE 7
#define RLIMIT_AS 9
#define RLIMIT_CORE 4

/* What the engine recognises at the hand-over: getpid with this in EBX. */
#define HANDOVER_MAGIC 0x4E55564Fu

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

#ifdef __x86_64__
static long sys5(long nr, long a, long b, long c, long d, long e) {
    long r;
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    __asm__ volatile("syscall"
                     : "=a"(r)
                     : "a"(nr), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8)
                     : "rcx", "r11", "memory");
    return r;
}
#else
static long sys5(long nr, long a, long b, long c, long d, long e) {
    long r;
    __asm__ volatile("int $0x80"
                     : "=a"(r)
                     : "a"(nr), "b"(a), "c"(b), "d"(c), "S"(d), "D"(e)
                     : "memory");
    return r;
}
#endif

static long sys3(long nr, long a, long b, long c) {
    return sys5(nr, a, b, c, 0, 0);
}

static __attribute__((noreturn)) void fail(int step) {
    for (;;) sys3(NR_exit, step, 0, 0);
}

static uint64_t number(const char* s) {
    uint64_t v = 0;
    if (s == 0) return 0;
    while (*s >= '0' && *s <= '9') v = v * 10 + (uint64_t)(*s++ - '0');
    return v;
}

static void limit(int resource, uint64_t value, int step) {
    struct rlimit64_pair r;
    r.cur = value;
    r.max = value;
    if (sys5(NR_prlimit64, 0, resource, (long)&r, 0, 0) != 0) fail(step);
}

/* The hand-over jumps here; the engine finds the gate two bytes before the
 * instruction pointer of that first stop. */
extern void nuv_gate(void);
__asm__(
    ".pushsection .text.gate,\"ax\",@progbits\n"
    ".balign 4096, 0xcc\n"
    ".globl nuv_gate\n"
    "nuv_gate:\n"
    "  " TRAP_INSN
    "\n"
    "  int3\n"
    ".balign 4096, 0xcc\n"
    ".popsection\n");

__attribute__((noreturn, used)) void nuv_stub_main(int argc, char** argv) {
    uint64_t nofile = argc > 1 ? number(argv[1]) : 64;
    uint64_t nproc = argc > 2 ? number(argv[2]) : 1;
    uint64_t as_kib = argc > 3 ? number(argv[3]) : 0;
    int trap_tsc = argc > 4 && number(argv[4]) != 0;

    /* The plain Linux persona: with the read-implies-exec flag that a caller
     * may have passed on, every readable guest page would be executable. */
    if (sys3(NR_personality, 0, 0, 0) < 0 || sys3(NR_personality, 0xffffffffL, 0, 0) != 0) fail(9);
    /* Nothing of the host stays open: not even the standard descriptors. */
    if (sys3(NR_close_range, 0, -1, 0) != 0) fail(10);
    limit(RLIMIT_CORE, 0, 11);
    limit(RLIMIT_NOFILE, nofile, 12);
    limit(RLIMIT_NPROC, nproc, 13);
    if (as_kib != 0) limit(RLIMIT_AS, as_kib * 1024, 14);
    if (sys5(NR_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail(15);
    if (trap_tsc && sys5(NR_prctl, PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0) != 0) fail(16);

    /* The engine's own calls are the ones made at the gate. */
    uint32_t gate_ip = (uint32_t)(uintptr_t)nuv_gate + TRAP_LENGTH;
    struct filter_prog prog;
    long listener = -1;
#ifndef __x86_64__
    {
        /* Where the kernel offers it, the guest's calls come to the engine
         * as notifications on a descriptor that the engine takes over. */
        const struct filter_insn insns[] = NUV_FILTER_PROGRAM(gate_ip, NUV_FILTER_I386_NOTIFY);
        prog.len = (unsigned short)(sizeof insns / sizeof insns[0]);
        prog.insns = insns;
        listener = sys3(NR_seccomp, NUV_SECCOMP_SET_MODE_FILTER,
                        NUV_SECCOMP_FILTER_FLAG_NEW_LISTENER, (long)&prog);
        if (listener < 0) listener = -1;
    }
#endif
    if (listener < 0) {
        const struct filter_insn insns[] = NUV_FILTER_PROGRAM(gate_ip, NUV_FILTER_I386_STOP);
        prog.len = (unsigned short)(sizeof insns / sizeof insns[0]);
        prog.insns = insns;
        if (sys3(NR_seccomp, NUV_SECCOMP_SET_MODE_FILTER, 0, (long)&prog) != 0) fail(17);
    }

    /* Every call now goes to the engine, this one first: the hand-over says
     * which descriptor, if any, carries the notifications. */
    __asm__ volatile("jmp nuv_gate"
                     :
                     : "a"(NR_getpid), "b"(HANDOVER_MAGIC), HANDOVER_FD_REG(listener)
                     : "memory");
    __builtin_unreachable();
}

#ifdef __x86_64__
__asm__(
    ".text\n"
    ".globl _start\n"
    "_start:\n"
    "  xor %ebp, %ebp\n"
    "  mov (%rsp), %rdi\n"
    "  lea 8(%rsp), %rsi\n"
    "  and $-16, %rsp\n"
    "  call nuv_stub_main\n"
    "  hlt\n");
#else
__asm__(
    ".text\n"
    ".globl _start\n"
    "_start:\n"
    "  xor %ebp, %ebp\n"
    "  mov (%esp), %eax\n"
    "  lea 4(%esp), %edx\n"
    "  and $-16, %esp\n"
    "  sub $8, %esp\n"
    "  push %edx\n"
    "  push %eax\n"
    "  call nuv_stub_main\n"
    "  hlt\n");
#endif
