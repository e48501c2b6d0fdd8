/* A plain static 32-bit host program for the native engine's benchmark:
 * "calls N" makes N getpid calls through int 0x80, "loop N" runs N
 * iterations of the benchmark's register-only loop; then it exits. */
static long sys1(long nr, long a) {
    long r;
    __asm__ volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a) : "memory");
    return r;
}

static unsigned long number(const char* s) {
    unsigned long v = 0;
    while (s && *s >= '0' && *s <= '9') v = v * 10 + (unsigned long)(*s++ - '0');
    return v;
}

__attribute__((noreturn, used)) void plain_main(int argc, char** argv) {
    unsigned long n = argc > 2 ? number(argv[2]) : 0;
    if (argc > 1 && argv[1][0] == 'c') {
        for (unsigned long i = 0; i < n; ++i) sys1(20, 0);
    } else if (n != 0) {
        unsigned long x = 0;
        __asm__ volatile("1: imul $3, %0, %0\n add $1, %0\n dec %1\n jnz 1b" : "+r"(x), "+c"(n));
    }
    for (;;) sys1(1, 0);
}

__asm__(
    ".text\n.globl _start\n_start:\n"
    "  mov (%esp), %eax\n  lea 4(%esp), %edx\n  and $-16, %esp\n  sub $8, %esp\n"
    "  push %edx\n  push %eax\n  call plain_main\n  hlt\n");
