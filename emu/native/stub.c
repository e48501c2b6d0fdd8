/* The first code of every guest process under the native engine: a static
 * i386 program that the engine executes as a traced child. It drops what the
 * process inherited from the host, sets its limits, installs the system-call
 * filter and hands over to the engine at the gate, a page of its own that
 * holds one `int 0x80` (`syscall` in the 64-bit stand-in). From then on the engine drives the
 * process by system calls made at the gate and unmaps everything else, this code too.
 *
 * Arguments (decimal): open-file limit, process limit, address-space limit
 * in KiB (0: none), 1 to make RDTSC fault so that the engine can answer it,
 * 1 for the direct call path (direct_call.h), whose page and wake-up
 * descriptor the engine passes as descriptors 0 and 1. The two words of the
 * gate's key (filter.h) come on descriptor 2, read first. Nothing of the key
 * survives the hand-over in a register: the stub uses no floating-point or
 * vector register, and the hand-over clears the two that carry the key in
 * the engine's calls.
 * On failure the process exits with the number of the step that failed. */
#include <stdint.h>

#include <nuvos/kernel.h>

#include "direct_call.h"
#include "filter.h"
#include "gate.h"
#include "stub_gate.h"
#include "stub_linux.h"

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

static void limit_to(int resource, uint64_t value, uint64_t max, int step) {
    struct rlimit64_pair r;
    r.cur = value;
    r.max = max;
    if (sys5(NR_prlimit64, 0, resource, (long)&r, 0, 0) != 0) fail(step);
}

static void limit(int resource, uint64_t value, int step) {
    limit_to(resource, value, value, step);
}

#ifndef __x86_64__
static volatile struct nuv_call_page* call_page(void) {
    return (volatile struct nuv_call_page*)((uintptr_t)nuv_gate + NUV_GATE_CALL_PAGE);
}

static void map_fixed(uint32_t addr, uint32_t len, uint32_t flags, long fd, int step) {
    /* read and write, placed exactly there and nowhere else */
    struct old_mmap_args a = {addr, len, 3, flags | 0x100000u, (uint32_t)fd, 0};
    if ((uint32_t)sys3(NR_old_mmap, (long)&a, 0, 0) != addr) fail(step);
}

/* The call page (shared with the engine through the memory file it passed
 * as descriptor 0), the handler's stack and the engine's wake-up descriptor
 * (1, kept); then the handler for the call signal and every fault, and
 * every other signal blocked: a signal from outside neither ends nor
 * interrupts the guest. */
static uint32_t aux(char** envp, uint32_t type) {
    while (*envp != 0) ++envp;
    for (uint32_t* a = (uint32_t*)(envp + 1); a[0] != AT_NULL_; a += 2) {
        if (a[0] == type) return a[1];
    }
    return 0;
}

/* Linux's fast system-call code moved into the gate area; the point its
 * calls return to, or 0 where it cannot be used. Its data pages go with
 * the rest of the stub's address space. */
static uint32_t move_vdso(char** envp) {
    uint32_t base = aux(envp, AT_SYSINFO_EHDR_), entry = aux(envp, AT_SYSINFO_);
    uint32_t to = (uint32_t)(uintptr_t)nuv_gate + NUV_GATE_VDSO;
    if (base == 0 || entry <= base || entry - base >= NUV_GATE_VDSO_SIZE - 32) return 0;
    /* 3: may move, to exactly there; Linux refuses any other size */
    if ((uint32_t)sys5(NR_mremap, base, NUV_GATE_VDSO_SIZE, NUV_GATE_VDSO_SIZE, 3, to) != to) {
        return 0;
    }
    entry = entry - base + to;
    const uint8_t* code = (const uint8_t*)(uintptr_t)entry;
    for (uint32_t i = 0; i < 32; ++i) {
        if (code[i] == 0xCD && code[i + 1] == 0x80) {
            call_page()->vsyscall = entry;
            return entry + i + 2;
        }
    }
    return 0;
}

static void direct_setup(void) {
    uint32_t gate = (uint32_t)(uintptr_t)nuv_gate;
    map_fixed(gate + NUV_GATE_CALL_PAGE, NUV_PAGE_SIZE, 1 /* shared */, 0, 21);
    if (sys3(NR_close, 0, 0, 0) != 0) fail(20);
    map_fixed(gate + NUV_GATE_STACK, NUV_GATE_STACK_SIZE, 0x22 /* private, anonymous */, -1, 22);
    call_page()->event_fd = 1;
    struct kernel_stack st = {(void*)(uintptr_t)(gate + NUV_GATE_STACK), 0, NUV_GATE_STACK_SIZE};
    if (sys3(NR_sigaltstack, (long)&st, 0, 0) != 0) fail(24);
    /* SA_SIGINFO | SA_ONSTACK | SA_NODEFER | SA_RESTORER */
    struct kernel_sigaction sa = {nuv_direct_handler, 0x4c000004u, nuv_direct_restorer, {0, 0}};
    const int sigs[] = {SIGSYS_, SIGSEGV_, SIGBUS_, SIGILL_, SIGFPE_, SIGTRAP_};
    uint32_t keep[2] = {0, 0};
    for (unsigned i = 0; i < sizeof sigs / sizeof sigs[0]; ++i) {
        if (sys5(NR_rt_sigaction, sigs[i], (long)&sa, 0, 8, 0) != 0) fail(25);
        keep[(sigs[i] - 1) / 32] |= 1u << ((sigs[i] - 1) % 32);
    }
    /* A write past the file size limit fails, and nothing else happens. */
    struct kernel_sigaction ignore = {(void*)1 /* SIG_IGN */, 0, 0, {0, 0}};
    if (sys5(NR_rt_sigaction, SIGXFSZ_, (long)&ignore, 0, 8, 0) != 0) fail(27);
    keep[(SIGXFSZ_ - 1) / 32] |= 1u << ((SIGXFSZ_ - 1) % 32);
    uint32_t block[2] = {~keep[0], ~keep[1]};
    if (sys5(NR_rt_sigprocmask, 2 /* SIG_SETMASK */, (long)block, 0, 8, 0) != 0) fail(26);
}
#endif

__attribute__((noreturn, used)) void nuv_stub_main(int argc, char** argv, char** envp) {
    uint64_t nofile = argc > 1 ? number(argv[1]) : 64;
    uint64_t nproc = argc > 2 ? number(argv[2]) : 1;
    uint64_t as_kib = argc > 3 ? number(argv[3]) : 0;
    int trap_tsc = argc > 4 && number(argv[4]) != 0;
    int direct = argc > 5 && number(argv[5]) != 0;
    uint32_t key[2] = {0, 0};
    if (sys3(NR_read, 2, (long)key, sizeof key) != (long)sizeof key) fail(8);
    uint32_t key0 = key[0], key1 = key[1] & NUV_GATE_KEY1_MASK;

    /* The plain Linux persona: with the read-implies-exec flag that a caller
     * may have passed on, every readable guest page would be executable. */
    if (sys3(NR_personality, 0, 0, 0) < 0 || sys3(NR_personality, 0xffffffffL, 0, 0) != 0) fail(9);
    /* Nothing of the host stays open: not even the standard descriptors;
     * only the engine's two for the direct call path. */
    if (direct ? sys3(NR_close_range, 2, 2, 0) != 0 ||
                     sys3(NR_close_range, NUV_DIRECT_FD_SOCKET + 1, -1, 0) != 0
               : sys3(NR_close_range, 0, -1, 0) != 0) {
        fail(10);
    }
    /* Room for the descriptors the engine installs (direct_call.h). */
    if (direct && nofile < NUV_DIRECT_FD_BASE + NUV_DIRECT_FD_COUNT) {
        nofile = NUV_DIRECT_FD_BASE + NUV_DIRECT_FD_COUNT;
    }
    limit(RLIMIT_CORE, 0, 11);
    limit(RLIMIT_NOFILE, nofile, 12);
    limit(RLIMIT_NPROC, nproc, 13);
    if (as_kib != 0) limit(RLIMIT_AS, as_kib * 1024, 14);
    /* No file grows through the guest process's own writes until the engine
     * lets it (direct_call.h), and never past a position the guest can be
     * told. */
    limit_to(RLIMIT_FSIZE, 0, NUV_DIRECT_POSITION_END - 1, 19);
    if (sys5(NR_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail(15);
    if (trap_tsc && sys5(NR_prctl, PR_SET_TSC, PR_TSC_SIGSEGV, 0, 0, 0) != 0) fail(16);

    /* The engine's own calls are the ones made at the gate. */
    uint32_t gate_ip = (uint32_t)(uintptr_t)nuv_gate + TRAP_LENGTH;
    struct filter_prog prog;
    long listener = -1, page_fd = -1, event_fd = -1;
#ifndef __x86_64__
    if (direct) {
        /* The direct call path: its page, its event descriptor, the handler. */
        direct_setup();
        uint32_t io_ip = move_vdso(envp);
        page_fd = 1; /* set up */
        event_fd = 1;
        const struct filter_insn insns[] = NUV_DIRECT_FILTER_PROGRAM(
            gate_ip, (uint32_t)(uintptr_t)nuv_direct_wake + 2,
            (uint32_t)(uintptr_t)nuv_direct_sleep + 2, io_ip, (uint32_t)event_fd,
            (uint32_t)(uintptr_t)&call_page()->done, key0, key1);
        prog.len = (unsigned short)(sizeof insns / sizeof insns[0]);
        prog.insns = insns;
        if (sys3(NR_seccomp, NUV_SECCOMP_SET_MODE_FILTER, 0, (long)&prog) != 0) fail(18);
    } else {
        /* Where the kernel offers it, the guest's calls come to the engine
         * as notifications on a descriptor that the engine takes over. */
        const struct filter_insn insns[] =
            NUV_FILTER_PROGRAM(gate_ip, NUV_FILTER_I386_NOTIFY, key0, key1);
        prog.len = (unsigned short)(sizeof insns / sizeof insns[0]);
        prog.insns = insns;
        listener = sys3(NR_seccomp, NUV_SECCOMP_SET_MODE_FILTER,
                        NUV_SECCOMP_FILTER_FLAG_NEW_LISTENER, (long)&prog);
        if (listener < 0) listener = -1;
    }
#else
    (void)direct;
    (void)event_fd;
    (void)envp;
#endif
    if (listener < 0 && page_fd < 0) {
        const struct filter_insn insns[] =
            NUV_FILTER_PROGRAM(gate_ip, NUV_FILTER_I386_STOP, key0, key1);
        prog.len = (unsigned short)(sizeof insns / sizeof insns[0]);
        prog.insns = insns;
        if (sys3(NR_seccomp, NUV_SECCOMP_SET_MODE_FILTER, 0, (long)&prog) != 0) fail(17);
    }

    /* Every call now goes to the engine, this one first: the hand-over says
     * which descriptors, if any, carry the notifications, the call page and
     * the wake-ups. */
    __asm__ volatile(CLEAR_KEY_REGS "jmp nuv_gate"
                     :
                     : "a"(NR_getpid), "b"(NUV_HANDOVER_MAGIC),
                       HANDOVER_FDS(listener, page_fd, event_fd)
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
    "  lea 8(%rsi,%rdi,8), %rdx\n"
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
    "  lea 4(%edx,%eax,4), %ecx\n"
    "  and $-16, %esp\n"
    "  sub $4, %esp\n"
    "  push %ecx\n"
    "  push %edx\n"
    "  push %eax\n"
    "  call nuv_stub_main\n"
    "  hlt\n");
#endif
