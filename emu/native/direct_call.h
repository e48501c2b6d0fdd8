/* The direct call path of a native guest process: what the start-up stub
 * and the engine agree on.
 *
 * The gate area is three parts, one after another from the gate's address:
 * the code page (the engine's own `int 0x80`, the handler below and the two
 * call sites it may use), the call page, shared with the engine through a
 * memory file, and the handler's own stack.
 *
 * The filter turns the guest's calls (and every call of another
 * architecture) into SIGSYS, and faults arrive as their own signals; one
 * handler takes them all on its own stack, puts the guest's floating-point
 * state back at once, copies the signal and the guest's registers into the
 * call page and posts them by raising `seq`. The engine, spinning on the
 * page or woken through the event descriptor, takes the post (`taken`),
 * writes its answer next to `done` and raises `done`; the
 * handler loads them and jumps back to the guest. No system call, no switch
 * between processes, when both sides are on processors of their own.
 *
 * A handler whose post the engine is not watching for (`awake` clear) wakes
 * it through the event descriptor. A handler that has waited `spin` rounds
 * sleeps on `done` (a futex), `sleeping` set, after waking the engine if it
 * has still not taken the post. The guest may write all of this:
 * the engine trusts nothing on the page beyond what the guest could put in
 * its own registers. */
#ifndef NUV_NATIVE_DIRECT_CALL_H
#define NUV_NATIVE_DIRECT_CALL_H

#include "gate.h"

/* Byte offsets in the call page. Each side spins on a cache line of its
 * own, which only the other side's last store of a hand-over touches: the
 * post's number (SEQ) and the answer's (DONE); what the post carries lies
 * apart from both. */
#define NUV_DIRECT_SEQ 0
#define NUV_DIRECT_DONE 64
#define NUV_DIRECT_SLEEPING 68
/* The answer: the registers from edi to eflags, at their word indices below
 * counted from this base, so that they share DONE's cache line (words 4 to
 * 16 only: 72 to 123). */
#define NUV_DIRECT_ANSWER 56
#define NUV_DIRECT_TAKEN 128
#define NUV_DIRECT_SPIN 132
#define NUV_DIRECT_AWAKE 136    /* the engine is watching the page */
#define NUV_DIRECT_EVENT_FD 140 /* the guest's number of the event descriptor */
#define NUV_DIRECT_SIGNO 192
#define NUV_DIRECT_CODE 196
#define NUV_DIRECT_ADDR 200 /* the faulting address; for SIGSYS, after the call */
#define NUV_DIRECT_NR 204   /* SIGSYS: the call's number */
#define NUV_DIRECT_ARCH 208 /* SIGSYS: the call's architecture */
/* The guest's registers as the signal frame holds them: 22 words. */
#define NUV_DIRECT_CTX 212
#define NUV_DIRECT_CTX_WORDS 22

/* Word indices in the register words. */
#define NUV_CTX_GS 0
#define NUV_CTX_FS 1
#define NUV_CTX_ES 2
#define NUV_CTX_DS 3
#define NUV_CTX_EDI 4
#define NUV_CTX_ESI 5
#define NUV_CTX_EBP 6
#define NUV_CTX_ESP 7
#define NUV_CTX_EBX 8
#define NUV_CTX_EDX 9
#define NUV_CTX_ECX 10
#define NUV_CTX_EAX 11
#define NUV_CTX_EIP 14
#define NUV_CTX_CS 15
#define NUV_CTX_EFLAGS 16
#define NUV_CTX_SS 18

/* The i386 numbers of the two calls the handler makes, each at its own site. */
#define NUV_DIRECT_NR_WRITE 4
#define NUV_DIRECT_NR_FUTEX 240
#define NUV_FUTEX_WAIT 0

#endif
