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

/* The hand-over jumps here; the engine finds the gate two bytes before the
 * instruction pointer of that first stop. The gate area lies apart from the
 * rest of this program (see the build), so that the pages after the gate
 * page are free for the call page and the handler's stack. */
extern void nuv_gate(void);
#define STR_(x) #x
#define STR(x) STR_(x)
#ifdef __x86_64__
__asm__(
    ".pushsection .nuvgate,\"ax\",@progbits\n"
    ".balign " STR(NUV_PAGE_SIZE) ", 0xcc\n"
    ".globl nuv_gate\n"
    "nuv_gate:\n"
    "  syscall\n"
    "  int3\n"
    ".balign " STR(NUV_PAGE_SIZE) ", 0xcc\n"
    ".popsection\n");
#else
/* The kernel's call numbers as the guest issues them, for the code below:
 * nuv_sys_read, nuv_sys_write, nuv_sys_lseek, ... (nuvos/kernel.h). */
#define NUV_STUB_CALL_(name, nr, kinds) ".set nuv_sys_" #name ", " #nr "\n"
__asm__(NUV_CALLS(NUV_STUB_CALL_));
#undef NUV_STUB_CALL_
#define PAGE_AT(off) "(nuv_gate + " STR(NUV_GATE_CALL_PAGE) " + " STR(off) ")"
#define CTX(word) STR(NUV_DIRECT_CTX) "+4*" STR(word)
#define ANSWER(word) STR(NUV_DIRECT_ANSWER) "+4*" STR(word)
/* The handler of the direct call path (see direct_call.h). It runs on its own
 * stack with the guest's signal frame above it, never returns through the
 * kernel and uses no floating-point register, so the guest's are put back
 * first and stay live. The last steps load the guest's selectors and go on
 * through the code selector, which always reads the flat space. */
extern char nuv_direct_handler[], nuv_direct_restorer[], nuv_direct_wake[], nuv_direct_sleep[];
__asm__(
    ".pushsection .nuvgate,\"ax\",@progbits\n"
    ".balign " STR(NUV_PAGE_SIZE) ", 0xcc\n"
    ".globl nuv_gate\n"
    "nuv_gate:\n"
    "  int $0x80\n"
    "  int3\n"
    "nuv_direct_restorer:\n"
    "  hlt\n"
    "nuv_direct_handler:\n"
    "  mov 12(%esp), %esi\n" /* the ucontext; its register words after 20 bytes */
    "  add $20, %esi\n"
    "  mov 76(%esi), %ecx\n" /* the saved floating-point state */
    "  test %ecx, %ecx\n"
    "  jz 2f\n"
    "  add $112, %ecx\n" /* its FXSAVE image, 64-byte aligned */
    "  cmpl $0x46505853, 464(%ecx)\n"
    "  jne 1f\n"
    "  mov 472(%ecx), %eax\n"
    "  mov 476(%ecx), %edx\n"
    "  xrstor (%ecx)\n"
    "  jmp 2f\n"
    "1: fxrstor (%ecx)\n"
    "2: mov $" PAGE_AT(0) ", %edi\n"
    "  mov 8(%esp), %edx\n" /* the siginfo */
    "  mov 0(%edx), %eax\n"
    "  mov %eax, " STR(NUV_DIRECT_SIGNO) "(%edi)\n"
    "  mov 8(%edx), %eax\n"
    "  mov %eax, " STR(NUV_DIRECT_CODE) "(%edi)\n"
    "  mov 12(%edx), %eax\n"
    "  mov %eax, " STR(NUV_DIRECT_ADDR) "(%edi)\n"
    "  mov 16(%edx), %eax\n"
    "  mov %eax, " STR(NUV_DIRECT_NR) "(%edi)\n"
    "  mov 20(%edx), %eax\n"
    "  mov %eax, " STR(NUV_DIRECT_ARCH) "(%edi)\n"
    "  add $" STR(NUV_DIRECT_CTX) ", %edi\n"
    "  mov $" STR(NUV_DIRECT_CTX_WORDS) ", %ecx\n"
    "  cld\n"
    "  rep movsl\n"
    "  mov $" PAGE_AT(0) ", %edi\n"
    /* The post, from either entry: %edi the call page, flat data selectors. */
    "nuv_direct_post:\n"
    "  mov " STR(NUV_DIRECT_SEQ) "(%edi), %ebp\n"
    "  inc %ebp\n"
    "  mov %ebp, " STR(NUV_DIRECT_SEQ) "(%edi)\n" /* posted */
    "  lock orl $0, (%esp)\n"
    "  xor %esi, %esi\n" /* set: the engine was woken from here */
    "  cmpl $0, " STR(NUV_DIRECT_AWAKE) "(%edi)\n"
    "  jne 3f\n"
    "  call 9f\n" /* nobody watches: wake the engine */
    "  inc %esi\n"
    "3: mov " STR(NUV_DIRECT_SPIN) "(%edi), %ecx\n"
    "4: cmp " STR(NUV_DIRECT_DONE) "(%edi), %ebp\n"
    "  je 8f\n"
    "  test %ecx, %ecx\n"
    "  jz 5f\n"
    "  cmpl $0, " STR(NUV_DIRECT_WATCHING) "(%edi)\n"
    "  jne 41f\n"
    "  test %esi, %esi\n" /* neither on its way nor on the page: no wait here */
    "  jz 5f\n"
    "41: dec %ecx\n"
    "  incl " STR(NUV_DIRECT_BEAT) "(%edi)\n" /* on a processor, waiting here */
    "  pause\n"
    "  jmp 4b\n"
    "5: movl $1, " STR(NUV_DIRECT_SLEEPING) "(%edi)\n"
    "  lock orl $0, (%esp)\n"
    "  mov " STR(NUV_DIRECT_DONE) "(%edi), %edx\n"
    "  cmp %edx, %ebp\n"
    "  je 7f\n"
    "  cmp " STR(NUV_DIRECT_TAKEN) "(%edi), %ebp\n"
    "  je 6f\n"
    "  cmpl $0, " STR(NUV_DIRECT_AWAKE) "(%edi)\n" /* clear: woken or about to look */
    "  je 6f\n"
    "  push %edx\n"
    "  call 9f\n"
    "  pop %edx\n"
    "6: mov $" STR(NUV_DIRECT_NR_FUTEX) ", %eax\n" /* futex(&done, wait, as it was) */
    "  lea " STR(NUV_DIRECT_DONE) "(%edi), %ebx\n"
    "  mov $" STR(NUV_FUTEX_WAIT) ", %ecx\n"
    "  xor %esi, %esi\n"
    "nuv_direct_sleep:\n"
    "  int $0x80\n"
    "7: movl $0, " STR(NUV_DIRECT_SLEEPING) "(%edi)\n"
    "  jmp 3b\n"
    /* The answer: the guest's registers, as the engine left them. */
    "8: push " ANSWER(NUV_CTX_EFLAGS) "(%edi)\n"
    "  mov " CTX(NUV_CTX_GS) "(%edi), %eax\n"
    "  mov %ax, %gs\n"
    "  mov " CTX(NUV_CTX_FS) "(%edi), %eax\n"
    "  mov %ax, %fs\n"
    "  mov " CTX(NUV_CTX_ES) "(%edi), %eax\n"
    "  mov %ax, %es\n"
    "  mov " ANSWER(NUV_CTX_ESI) "(%edi), %esi\n"
    "  mov " ANSWER(NUV_CTX_EBP) "(%edi), %ebp\n"
    "  mov " ANSWER(NUV_CTX_EBX) "(%edi), %ebx\n"
    "  mov " ANSWER(NUV_CTX_EDX) "(%edi), %edx\n"
    "  mov " ANSWER(NUV_CTX_ECX) "(%edi), %ecx\n"
    "  mov " CTX(NUV_CTX_DS) "(%edi), %eax\n"
    "  mov " ANSWER(NUV_CTX_EDI) "(%edi), %edi\n"
    "  mov %ax, %ds\n"
    "  popf\n"
    "  mov %cs:" PAGE_AT(NUV_DIRECT_ANSWER + 4 * NUV_CTX_ESP) ", %esp\n"
    "  mov %cs:" PAGE_AT(NUV_DIRECT_ANSWER + 4 * NUV_CTX_EAX) ", %eax\n"
    /* eip, then the code selector the engine chose, in the next word */
    "  ljmp *%cs:" PAGE_AT(NUV_DIRECT_ANSWER + 4 * NUV_CTX_EIP) "\n"
    /* write(event descriptor, &one, 8); keeps %edi and %ebp */
    "9: push $0\n"
    "  push $1\n"
    "  mov $" STR(NUV_DIRECT_NR_WRITE) ", %eax\n"
    "  mov " STR(NUV_DIRECT_EVENT_FD) "(%edi), %ebx\n"
    "  mov %esp, %ecx\n"
    "  mov $8, %edx\n"
    "nuv_direct_wake:\n"
    "  int $0x80\n"
    "  add $8, %esp\n"
    "  ret\n"
    /* A rewritten call site's way in (see direct_call.h): the guest's
     * registers as they are, its return address on its stack, which
     * becomes the call's own eip; nothing of the guest's is written.
     * Its stack selector is the flat one (the only writable segment a
     * guest can load), so the words go through it until the data
     * selectors are loaded. */
    ".org " STR(NUV_GATE_SITE_ENTRY) ", 0xcc\n"
    "nuv_site_entry:\n"
    "  mov %eax, %ss:" PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EAX) "\n"
    "  mov %ds, %eax\n"
    "  mov %eax, %ss:" PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_DS) "\n"
    "  mov %es, %eax\n"
    "  mov %eax, %ss:" PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_ES) "\n"
    "  mov %ss, %eax\n"
    "  mov %eax, %ss:" PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_SS) "\n"
    "  mov $" STR(NUV_USER_DS32) ", %eax\n"
    "  mov %eax, %ds\n"
    "  mov %eax, %es\n"
    "  mov %fs, %eax\n"
    "  mov %eax, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_FS) "\n"
    "  mov %gs, %eax\n"
    "  mov %eax, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_GS) "\n"
    "  mov %ebx, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EBX) "\n"
    "  mov %ecx, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_ECX) "\n"
    "  mov %edx, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EDX) "\n"
    "  mov %esi, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_ESI) "\n"
    "  mov %edi, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EDI) "\n"
    "  mov %ebp, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EBP) "\n"
    "  mov %esp, %ecx\n"
    "  mov $(nuv_gate + " STR(NUV_GATE_STACK) " + " STR(NUV_GATE_STACK_SIZE) " - 16), %esp\n"
    "  pushf\n" /* nothing above changed a flag */
    "  pop %eax\n"
    /* A guest with the trap flag set stops before it gets here: a trap
     * flag seen here is the engine's own, stepping the guest out of this
     * code, and not the guest's to take back with it. */
    "  and $0xfffffeff, %eax\n"
    "  mov %eax, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EFLAGS) "\n"
    "  mov %ss:(%ecx), %eax\n" /* the return address */
    "  mov %eax, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EIP) "\n"
    "  mov %eax, " PAGE_AT(NUV_DIRECT_ADDR) "\n"
    "  add $4, %ecx\n"
    "  mov %ecx, " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_ESP) "\n"
    "  movl $" STR(NUV_SITE_CS) ", " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_CS) "\n"
    "  mov " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EAX) ", %eax\n"
    "  mov %eax, " PAGE_AT(NUV_DIRECT_NR) "\n"
    "  movl $" STR(SIGSYS_) ", " PAGE_AT(NUV_DIRECT_SIGNO) "\n"
    "  movl $" STR(NUV_DIRECT_CODE_SITE) ", " PAGE_AT(NUV_DIRECT_CODE) "\n"
    "  movl $" STR(NUV_AUDIT_ARCH_I386) ", " PAGE_AT(NUV_DIRECT_ARCH) "\n"
    /* A read, write or lseek the handler may make itself (see
     * direct_call.h): on a descriptor marked for it, at most what one call
     * moves, its bytes below the engine's pages; %dl the descriptor's
     * marks. */
    "  mov " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EBX) ", %ebx\n"
    "  cmp $" STR(NUV_DIRECT_FD_COUNT) ", %ebx\n"
    "  jae 29f\n"
    "  movzbl " PAGE_AT(NUV_DIRECT_FDS) "(%ebx), %edx\n"
    "  cmp $nuv_sys_lseek, %eax\n"
    "  je 25f\n"
    "  cmp $nuv_sys_read, %eax\n"
    "  jne 21f\n"
    "  test $" STR(NUV_FD_READ) ", %dl\n"
    "  jz 29f\n"
    "  mov $" STR(NUV_LINUX_READ) ", %eax\n"
    "  jmp 22f\n"
    "21: cmp $nuv_sys_write, %eax\n"
    "  jne 29f\n"
    "  test $" STR(NUV_FD_WRITE) ", %dl\n"
    "  jz 29f\n"
    "  mov $" STR(NUV_LINUX_WRITE) ", %eax\n"
    "22: mov %edx, %edi\n"
    "  mov " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EDX) ", %edx\n"
    "  cmp $" STR(NUV_IO_MAX) ", %edx\n"
    "  jbe 23f\n"
    "  mov $" STR(NUV_IO_MAX) ", %edx\n"
    "23: mov " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_ECX) ", %ecx\n"
    "  mov %ecx, %esi\n"
    "  add %edx, %esi\n"
    "  jc 29f\n"
    "  cmp $" STR(NUV_SLED_BASE) ", %esi\n"
    "  ja 29f\n"
    "  add $" STR(NUV_DIRECT_FD_BASE) ", %ebx\n"
    /* A write to a regular file ends within MAX_SIZE, or the kernel makes
     * it: where the file stands, plus the count. */
    "  cmp $" STR(NUV_LINUX_WRITE) ", %eax\n"
    "  jne 24f\n"
    "  test $" STR(NUV_FD_SIZED) ", %edi\n"
    "  jz 24f\n"
    "  push %ecx\n"
    "  push %edx\n"
    "  xor %ecx, %ecx\n"
    "  xor %edx, %edx\n"
    "  mov $" PAGE_AT(NUV_DIRECT_RESULT) ", %esi\n"
    "  mov $" STR(NUV_LINUX_SEEK_CUR) ", %edi\n"
    "  mov $" STR(NUV_LINUX_LLSEEK) ", %eax\n"
    "  call *" PAGE_AT(NUV_DIRECT_VSYSCALL) "\n"
    "  pop %edx\n"
    "  pop %ecx\n"
    "  test %eax, %eax\n"
    "  jnz 29f\n"
    "  cmpl $0, " PAGE_AT(NUV_DIRECT_RESULT + 4) "\n"
    "  jne 29f\n"
    "  mov " PAGE_AT(NUV_DIRECT_RESULT) ", %esi\n"
    "  add %edx, %esi\n"
    "  jc 29f\n"
    "  cmp " PAGE_AT(NUV_DIRECT_MAX_SIZE) ", %esi\n"
    "  ja 29f\n"
    "  mov $" STR(NUV_LINUX_WRITE) ", %eax\n"
    "24: call *" PAGE_AT(NUV_DIRECT_VSYSCALL) "\n"
    "  test %eax, %eax\n"
    "  js 29f\n"
    /* Back to the guest with the result, every other register as it was. */
    "28: mov %eax, " PAGE_AT(NUV_DIRECT_RESULT) "\n"
    "  mov $" PAGE_AT(0) ", %edi\n"
    "  push " CTX(NUV_CTX_EFLAGS) "(%edi)\n"
    "  mov " CTX(NUV_CTX_ES) "(%edi), %eax\n"
    "  mov %ax, %es\n"
    "  mov " CTX(NUV_CTX_ESI) "(%edi), %esi\n"
    "  mov " CTX(NUV_CTX_EBP) "(%edi), %ebp\n"
    "  mov " CTX(NUV_CTX_EBX) "(%edi), %ebx\n"
    "  mov " CTX(NUV_CTX_EDX) "(%edi), %edx\n"
    "  mov " CTX(NUV_CTX_ECX) "(%edi), %ecx\n"
    "  mov " CTX(NUV_CTX_DS) "(%edi), %eax\n"
    "  mov " CTX(NUV_CTX_EDI) "(%edi), %edi\n"
    "  mov %ax, %ds\n"
    "  popf\n"
    "  mov %cs:" PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_ESP) ", %esp\n"
    "  mov %cs:" PAGE_AT(NUV_DIRECT_RESULT) ", %eax\n"
    "  ljmp *%cs:" PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EIP) "\n"
    /* lseek from the start or from where it stands (from the end goes to
     * the kernel): the new position is checked to lie within MAX_POSITION
     * before Linux's 64-bit lseek moves there from the start; a position
     * that does not fit leaves it where it was, and the kernel answers. */
    "25: test $" STR(NUV_FD_SEEK) ", %dl\n"
    "  jz 29f\n"
    "  add $" STR(NUV_DIRECT_FD_BASE) ", %ebx\n"
    "  mov $" PAGE_AT(NUV_DIRECT_RESULT) ", %esi\n"
    "  mov " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_EDX) ", %edi\n"
    "  mov " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_ECX) ", %eax\n"
    "  cmp $" STR(NUV_SEEK_SET) ", %edi\n"
    "  je 26f\n"
    "  cmp $" STR(NUV_SEEK_CUR) ", %edi\n"
    "  jne 29f\n"
    "  xor %ecx, %ecx\n"
    "  xor %edx, %edx\n"
    "  mov $" STR(NUV_LINUX_SEEK_CUR) ", %edi\n"
    "  mov $" STR(NUV_LINUX_LLSEEK) ", %eax\n"
    "  call *" PAGE_AT(NUV_DIRECT_VSYSCALL) "\n"
    "  test %eax, %eax\n"
    "  jnz 29f\n"
    "  cmpl $0, " PAGE_AT(NUV_DIRECT_RESULT + 4) "\n"
    "  jne 29f\n"
    "  mov " PAGE_AT(NUV_DIRECT_RESULT) ", %eax\n"
    "  test %eax, %eax\n"
    "  js 29f\n"
    "  add " PAGE_AT(NUV_DIRECT_CTX + 4 * NUV_CTX_ECX) ", %eax\n"
    "  jo 29f\n"
    "26: test %eax, %eax\n"
    "  js 29f\n"
    "  cmp " PAGE_AT(NUV_DIRECT_MAX_POSITION) ", %eax\n"
    "  ja 29f\n"
    "  mov %eax, %edx\n"
    "  xor %ecx, %ecx\n"
    "  mov $" STR(NUV_LINUX_SEEK_SET) ", %edi\n"
    "  mov $" STR(NUV_LINUX_LLSEEK) ", %eax\n"
    "  call *" PAGE_AT(NUV_DIRECT_VSYSCALL) "\n"
    "  test %eax, %eax\n"
    "  jnz 29f\n"
    "  mov " PAGE_AT(NUV_DIRECT_RESULT) ", %eax\n"
    "  jmp 28b\n"
    "29: mov $" PAGE_AT(0) ", %edi\n"
    "  jmp nuv_direct_post\n"
    /* the engine's scratch space at the end of the page stays free: the
     * code may not reach it (the assembler refuses to go back) */
    ".org " STR(NUV_GATE_SCRATCH) ", 0xcc\n"
    ".balign " STR(NUV_PAGE_SIZE) ", 0xcc\n"
    ".popsection\n");
#endif

#ifndef __x86_64__
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
            *(volatile uint32_t*)(uintptr_t)((uint32_t)(uintptr_t)nuv_gate + NUV_GATE_CALL_PAGE +
                                             NUV_DIRECT_VSYSCALL) = entry;
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
    *(volatile uint32_t*)(uintptr_t)(gate + NUV_GATE_CALL_PAGE + NUV_DIRECT_EVENT_FD) = 1;
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
        uint32_t page = (uint32_t)(uintptr_t)nuv_gate + NUV_GATE_CALL_PAGE;
        const struct filter_insn insns[] =
            NUV_DIRECT_FILTER_PROGRAM(gate_ip, (uint32_t)(uintptr_t)nuv_direct_wake + 2,
                                    (uint32_t)(uintptr_t)nuv_direct_sleep + 2, io_ip, (uint32_t)event_fd,
                                    page + NUV_DIRECT_DONE, key0, key1);
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
