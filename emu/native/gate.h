/* What the start-up stub and the engine agree on about the gate, whichever
 * way the guest's calls reach the engine: the page size, the gate area's
 * layout, the hand-over and the selectors of a 32-bit Linux process.
 *
 * The gate area starts with the code page (the engine's own call, then
 * `int3`); on the direct call path the call page and the handler's stack
 * follow it (see direct_call.h). Plain defines: shared by C and C++. */
#ifndef NUV_NATIVE_GATE_H
#define NUV_NATIVE_GATE_H

#define NUV_PAGE_SIZE 0x1000

#define NUV_GATE_CALL_PAGE NUV_PAGE_SIZE
#define NUV_GATE_STACK (2 * NUV_PAGE_SIZE)
#define NUV_GATE_STACK_SIZE (4 * NUV_PAGE_SIZE)
/* Linux's own code for fast system calls (two pages), moved here on the
 * direct call path: the handler's reads and writes go through it. */
#define NUV_GATE_VDSO (6 * NUV_PAGE_SIZE)
#define NUV_GATE_VDSO_SIZE (2 * NUV_PAGE_SIZE)
#define NUV_GATE_SIZE (8 * NUV_PAGE_SIZE)

/* Where in the gate's code page, past its code, the engine writes what its
 * own calls there need (the timer's setting, a probe). */
#define NUV_GATE_SCRATCH 0xF00

/* The hand-over: the stub's first call after the filter is getpid at the
 * gate with this in ebx (see stub.c). */
#define NUV_HANDOVER_MAGIC 0x4E55564Fu

/* The selectors of a 32-bit Linux process: user code and user data (the
 * stack's too); the 64-bit stand-in's code selector. */
#define NUV_USER_CS32 0x23
#define NUV_USER_DS32 0x2b
#define NUV_USER_CS64 0x33

#endif
