/* The gate area of the start-up stub (see stub.c): the gate page with the
 * engine's own `int 0x80` (`syscall` in the 64-bit stand-in), and on i386 the
 * handler of the direct call path and a rewritten call site's way in (see
 * direct_call.h). Its code is assembly only; its symbols are in stub_gate.h. */
#include <stdint.h>

#include <nuvos/kernel.h>

#include "direct_call.h"
#include "filter.h"
#include "gate.h"
#include "stub_gate.h"
#include "stub_linux.h"

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
__asm__(
    ".pushsection .nuvgate,\"ax\",@progbits\n"
    ".balign " STR(NUV_PAGE_SIZE) ", 0xcc\n"
    ".globl nuv_gate, nuv_direct_handler, nuv_direct_restorer, nuv_direct_wake, nuv_direct_sleep\n"
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
    "  mov %ebp, " STR(NUV_DIRECT_SEQ) "(%edi)\n" /* NUV_POST_POSTED */
    "  lock orl $0, (%esp)\n"
    "  xor %esi, %esi\n" /* set: the engine was woken from here */
    "  cmpl $" STR(NUV_ENGINE_ASLEEP) ", " STR(NUV_DIRECT_AWAKE) "(%edi)\n"
    "  jne 3f\n"
    "  call 9f\n" /* nobody watches: wake the engine */
    "  inc %esi\n"
    "3: mov " STR(NUV_DIRECT_SPIN) "(%edi), %ecx\n"
    "4: cmp " STR(NUV_POST_ANSWERED_AT) "(%edi), %ebp\n"
    "  je 8f\n" /* NUV_POST_ANSWERED */
    "  test %ecx, %ecx\n"
    "  jz 5f\n"
    "  cmpl $" STR(NUV_ENGINE_AWAY) ", " STR(NUV_DIRECT_WATCHING) "(%edi)\n"
    "  jne 41f\n"
    "  test %esi, %esi\n" /* neither on its way nor on the page: no wait here */
    "  jz 5f\n"
    "41: dec %ecx\n"
    "  incl " STR(NUV_DIRECT_BEAT) "(%edi)\n" /* on a processor, waiting here */
    "  pause\n"
    "  jmp 4b\n"
    "5: movl $" STR(NUV_HANDLER_SLEEPING) ", " STR(NUV_DIRECT_SLEEPING) "(%edi)\n"
    "  lock orl $0, (%esp)\n"
    "  mov " STR(NUV_POST_ANSWERED_AT) "(%edi), %edx\n"
    "  cmp %edx, %ebp\n"
    "  je 7f\n" /* NUV_POST_ANSWERED */
    "  cmp " STR(NUV_POST_TAKEN_AT) "(%edi), %ebp\n"
    "  je 6f\n" /* NUV_POST_TAKEN: the engine serves it */
    "  cmpl $" STR(NUV_ENGINE_ASLEEP) ", " STR(NUV_DIRECT_AWAKE) "(%edi)\n" /* clear: woken or about to look */
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
    "7: movl $" STR(NUV_HANDLER_SPINNING) ", " STR(NUV_DIRECT_SLEEPING) "(%edi)\n"
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
