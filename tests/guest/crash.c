/* crash MODE: faults in a way a command author meets, in small functions
 * compiled with debug information, for the fault reports' tests.
 *   null-read   sum() reads through a null pointer
 *   null-write  store() writes through a null pointer
 *   stack       recurse() never ends and overflows the stack
 *   divide      ratio() divides by zero
 *   invalid     trap() runs ud2
 *   spin        spin() never ends
 *   search      find() calls strstr() on unmapped memory, which faults inside
 *               the library
 *   syscall     system_call() runs syscall, which NUV-OS does not have
 *   iret        leave() returns through iret to selector 0x1b (not a user code segment)
 *   child MODE  spawns `crash MODE` (argument 0 names the image in the root)
 *               and says how it ended
 * Each faulting line carries a FAULT marker that the tests look for. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

volatile int g_zero = 0;
volatile int g_sink;
int *volatile g_null = 0;
const char *volatile g_no_text = (const char *)0x00300000; /* nothing mapped */

__attribute__((noinline)) int sum(const int *p, int n) {
    int total = 0;
    for (int i = 0; i < n; ++i) total += p[i]; /* FAULT:null-read */
    return total;
}

__attribute__((noinline)) void store(int *p, int v) {
    p[1] = v; /* FAULT:null-write */
}

__attribute__((noinline)) int recurse(int depth) {
    volatile char pad[64];
    pad[0] = (char)depth;
    return recurse(depth + 1) + pad[0]; /* FAULT:stack */
}

__attribute__((noinline)) int ratio(int a, int b) {
    return a / b; /* FAULT:divide */
}

__attribute__((noinline)) void trap(void) {
    __builtin_trap(); /* FAULT:invalid */
}

__attribute__((noinline)) int find(const char *text) {
    return strstr(text, "needle") != 0 ? 1 : 2; /* FAULT:search */
}

__attribute__((noinline)) void spin(void) {
    for (;;) g_sink = g_sink + 1; /* FAULT:spin */
}

__attribute__((noinline)) void system_call(void) {
    __asm__ volatile("syscall" ::: "memory", "eax", "ecx", "edx"); /* FAULT:syscall */
}

__attribute__((noinline)) void leave(void) {
    __asm__ volatile("pushfl; pushl $0x1b; pushl $1f; iret; 1:" ::: "memory"); /* FAULT:iret */
}

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "null-read") == 0) {
        g_sink = sum(g_null, 3 + g_zero); /* CALL:null-read */
    } else if (strcmp(mode, "null-write") == 0) {
        store(g_null, 7); /* CALL:null-write */
        g_sink = 1;
    } else if (strcmp(mode, "stack") == 0) {
        g_sink = recurse(0); /* CALL:stack */
    } else if (strcmp(mode, "divide") == 0) {
        g_sink = ratio(10, g_zero); /* CALL:divide */
    } else if (strcmp(mode, "invalid") == 0) {
        trap(); /* CALL:invalid */
        g_sink = 1;
    } else if (strcmp(mode, "syscall") == 0) {
        system_call(); /* CALL:syscall */
        g_sink = 1;
    } else if (strcmp(mode, "iret") == 0) {
        leave(); /* CALL:iret */
        g_sink = 1;
    } else if (strcmp(mode, "search") == 0) {
        g_sink = find(g_no_text); /* CALL:search */
    } else if (strcmp(mode, "spin") == 0) {
        spin(); /* CALL:spin */
    } else if (strcmp(mode, "child") == 0 && argc > 2) {
        char *args[] = {argv[0], argv[2], 0};
        int pid = spawn(argv[0], args, 2);
        if (pid < 0) {
            printf("cannot start %s: %d\n", argv[0], pid);
            return 1;
        }
        int status = 0;
        waitpid(pid, &status, 0); /* CALL:child */
        printf("child %d ended with %d\n", pid, status);
        return 0;
    } else {
        puts("usage: crash null-read|null-write|stack|divide|invalid|search|spin|syscall|iret|child MODE");
        return 2;
    }
    return 0;
}
