/* sanbugs MODE: a bug of each kind that -fsanitize=address or
 * -fsanitize=undefined finds, for the sanitizer reports' tests, which build
 * this file through the kit's driver. Every function is kept out of line so
 * that the backtraces name it; indexes come from a volatile so that the
 * compiler sees no constant out of bounds. The tests find lines by their
 * markers (BUG: the bad access, ALLOC: the allocation, CALL: a call).
 *   heap-overflow    writes 1 byte just past a 10-byte block
 *   heap-underflow   reads the 4 bytes just before a 16-byte block
 *   stack-overflow   writes 1 byte just past a 10-byte local array
 *   stack-underflow  reads the int just before a 4-int local array
 *   global-overflow  reads the int just past a 5-int global array
 *   use-after-free   reads 1 byte 2 bytes into a freed 8-byte block
 *   copy-overflow    copies 10 bytes into an 8-byte block with memcpy
 *   double-free      frees a block twice
 *   wild             reads an int where the program has no memory
 *   signed-overflow  adds 1 to INT_MAX (undefined behaviour), then goes on
 *   shift            shifts 1 left by 40 places, then goes on
 *   index            reads element 4 of a 4-element array, then goes on
 *   negate           negates INT_MIN, then goes on
 *   clean            uses heap, stack and globals correctly and prints a sum */
#include <limits.h>
#include <nuvos/meta.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The CMake package writes the record itself. */
#ifndef SANBUGS_NO_RECORD
NUV_COMMAND_RECORD(0, "sanbugs", "Bugs for the sanitizers to find.");
#endif

volatile int g_ten = 10;
volatile int g_one = 1;
int g_table[5] = {1, 2, 3, 4, 5};
volatile int g_sink;

__attribute__((noinline)) void heap_overflow(void) {
    char* p = malloc(10); /* ALLOC:heap-overflow */
    p[g_ten] = 1;         /* BUG:heap-overflow */
}

__attribute__((noinline)) int heap_underflow(void) {
    int* p = malloc(16); /* ALLOC:heap-underflow */
    return p[-g_one];    /* BUG:heap-underflow */
}

__attribute__((noinline)) void stack_overflow(void) {
    char buf[10]; /* VAR:buf */
    memset(buf, 0, sizeof buf);
    buf[g_ten] = 1; /* BUG:stack-overflow */
    g_sink = buf[1];
}

__attribute__((noinline)) int stack_underflow(void) {
    int four[4] = {1, 2, 3, 4}; /* VAR:four */
    g_sink = four[3];
    return four[-g_one]; /* BUG:stack-underflow */
}

__attribute__((noinline)) int global_overflow(void) {
    return g_table[g_ten / 2]; /* BUG:global-overflow */
}

__attribute__((noinline)) void release(void* p) {
    free(p); /* FREE */
}

__attribute__((noinline)) int use_after_free(void) {
    char* p = malloc(8); /* ALLOC:use-after-free */
    p[2] = 7;
    release(p);  /* CALL:use-after-free */
    return p[2]; /* BUG:use-after-free */
}

__attribute__((noinline)) void copy_overflow(void) {
    char* p = malloc(8);            /* ALLOC:copy-overflow */
    memcpy(p, "0123456789", g_ten); /* BUG:copy-overflow */
    g_sink = p[0];
}

__attribute__((noinline)) void double_free(void) {
    char* p = malloc(4); /* ALLOC:double-free */
    release(p);          /* CALL:double-free */
    release(p);          /* BUG:double-free */
}

__attribute__((noinline)) int wild(void) {
    int* p = (int*)(0x12345670u + (unsigned)g_one * 8);
    return *p; /* BUG:wild */
}

__attribute__((noinline)) int signed_overflow(int a) {
    return a + g_one; /* BUG:signed-overflow */
}

__attribute__((noinline)) int shift(void) {
    return 1 << (g_ten * 4); /* BUG:shift */
}

__attribute__((noinline)) int element(void) {
    int four[4] = {1, 2, 3, 4};
    g_sink = four[0];
    return four[g_ten - 6]; /* BUG:index */
}

__attribute__((noinline)) int negate(int a) {
    return -(a * g_one); /* BUG:negate */
}

__attribute__((noinline)) int clean(void) {
    int total = 0;
    char buf[32];
    for (int i = 0; i < 32; ++i) buf[i] = (char)i;
    for (int round = 0; round < 50; ++round) {
        int* p = malloc(sizeof(int) * 20);
        for (int i = 0; i < 20; ++i) p[i] = i * round + buf[i];
        for (int i = 0; i < 20; ++i) total += p[i] + g_table[i % 5];
        free(p);
    }
    return total;
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "heap-overflow") == 0)
        heap_overflow();
    else if (strcmp(mode, "heap-underflow") == 0)
        g_sink = heap_underflow();
    else if (strcmp(mode, "stack-overflow") == 0)
        stack_overflow();
    else if (strcmp(mode, "stack-underflow") == 0)
        g_sink = stack_underflow();
    else if (strcmp(mode, "global-overflow") == 0)
        g_sink = global_overflow();
    else if (strcmp(mode, "use-after-free") == 0)
        g_sink = use_after_free();
    else if (strcmp(mode, "copy-overflow") == 0)
        copy_overflow();
    else if (strcmp(mode, "double-free") == 0)
        double_free();
    else if (strcmp(mode, "wild") == 0)
        g_sink = wild();
    else if (strcmp(mode, "signed-overflow") == 0)
        printf("%d\n", signed_overflow(INT_MAX));
    else if (strcmp(mode, "shift") == 0)
        printf("%d\n", shift() != 0);
    else if (strcmp(mode, "index") == 0)
        printf("%d\n", element() != 0);
    else if (strcmp(mode, "negate") == 0)
        printf("%d\n", negate(INT_MIN) != 0);
    else if (strcmp(mode, "clean") == 0)
        printf("%d\n", clean());
    else
        return 2;
    return 0;
}
