/* The start-up stub's symbols in its gate area (stub_gate.c). */
#ifndef NUV_NATIVE_STUB_GATE_H
#define NUV_NATIVE_STUB_GATE_H

/* The hand-over jumps here; the engine finds the gate two bytes before the
 * instruction pointer of that first stop. The gate area lies apart from the
 * rest of the stub (see the build), so that the pages after the gate page
 * are free for the call page and the handler's stack. */
extern void nuv_gate(void);

#ifndef __x86_64__
/* The direct call path's handler, its signal restorer (never used), and the
 * sites of its two Linux calls: the wake-up write and the futex wait. */
extern char nuv_direct_handler[], nuv_direct_restorer[], nuv_direct_wake[], nuv_direct_sleep[];
#endif

#endif
