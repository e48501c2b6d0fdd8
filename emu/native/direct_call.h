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
 * it through the event descriptor. It waits for the answer on the page only
 * while the engine is on a processor for it (`watching`: spinning on the page
 * or serving the post it took) or has just been woken from here, counting
 * its rounds in `beat`, and for at most `spin` rounds: when the other side
 * is not running, a spin only keeps it off the processor. Then it
 * sleeps on `done` (a futex), `sleeping` set, after waking the engine if
 * it has neither taken the post nor cleared `awake` (it clears it only
 * before it looks at the page once more, and a handler that found it clear
 * at its post has woken it already). The guest may write all of this:
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
#define NUV_DIRECT_AWAKE 136    /* the engine looks at the page before it sleeps */
#define NUV_DIRECT_EVENT_FD 140 /* the guest's number of the event descriptor */
#define NUV_DIRECT_WATCHING 144 /* the engine is on a processor for this guest */
#define NUV_DIRECT_SIGNO 192
#define NUV_DIRECT_CODE 196
#define NUV_DIRECT_ADDR 200 /* the faulting address; for SIGSYS, after the call */
#define NUV_DIRECT_NR 204   /* SIGSYS: the call's number */
#define NUV_DIRECT_ARCH 208 /* SIGSYS: the call's architecture */
/* The guest's registers as the signal frame holds them: 22 words. */
#define NUV_DIRECT_CTX 212
#define NUV_DIRECT_CTX_WORDS 22
/* Changes with each round a handler waits on the page, on a line of its own. */
#define NUV_DIRECT_BEAT 320

/* Reads, writes and seeks in the guest's own process, as the kernel grants
 * them (InProcessPolicy in emu/engine/engine.hpp). The engine installs the
 * host descriptor behind each guest descriptor g that has one as descriptor
 * NUV_DIRECT_FD_BASE + g of the guest process and says in byte g of FDS
 * what the handler may do with it itself (NUV_FD_*). At a rewritten site's
 * entry the handler makes such a call through Linux's fast system-call
 * entry (VSYSCALL: its address, set by the stub) and returns to the guest
 * with the result; an error, or anything else, goes to the engine as
 * before, and the kernel answers it. The handler moves no position past
 * MAX_POSITION and hands a write on a NUV_FD_SIZED descriptor to the kernel
 * when it could end past MAX_SIZE; both words are the engine's, and it
 * bounds them.
 *
 * The filter lets through at Linux's return point for that entry (and for
 * nothing else there) only a read, a write or an _llseek on those
 * descriptors, and an _llseek only to a position below 2^31 from the start
 * or to where the descriptor stands (its offset 0 from there): whatever the
 * guest writes on this page or however it enters Linux, it reaches nothing
 * but its own descriptors and moves no position to 2^31 or beyond. Writes
 * are bounded by the process's RLIMIT_FSIZE, which the engine sets to
 * MAX_SIZE from outside (SIGXFSZ is ignored: a write past it fails with
 * EFBIG, and the kernel answers it). The engine hands the descriptors over
 * through the socket that the stub keeps as descriptor NUV_DIRECT_FD_SOCKET. */
#define NUV_DIRECT_FDS 384
#define NUV_DIRECT_VSYSCALL 448
#define NUV_DIRECT_RESULT 452 /* and the next word: _llseek's 64-bit result */
#define NUV_DIRECT_MAX_POSITION 460
#define NUV_DIRECT_MAX_SIZE 464
#define NUV_DIRECT_FD_COUNT 64
#define NUV_DIRECT_FD_BASE 64
#define NUV_DIRECT_FD_SOCKET 3
#define NUV_FD_READ 1
#define NUV_FD_WRITE 2
#define NUV_FD_SEEK 4
#define NUV_FD_SIZED 8
/* Linux's i386 calls the handler makes through its fast entry, and their
 * arguments. */
#define NUV_LINUX_READ 3
#define NUV_LINUX_WRITE 4
#define NUV_LINUX_LLSEEK 140
#define NUV_LINUX_SEEK_SET 0
#define NUV_LINUX_SEEK_CUR 1
/* The positions the filter lets _llseek reach: below 2^31. */
#define NUV_DIRECT_POSITION_END 0x80000000u

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

/* Rewritten call sites. Once a guest has made enough calls, the engine
 * rewrites each int 0x80 the first time it traps into `call *%eax` (ff d0,
 * the same length) and runs the guest's code through a code segment of its
 * own (NUV_SITE_CS) whose base is NUV_SLED_BASE: the call then lands at the
 * call number's offset in the sled page there, whose bytes (72 73 73 72 ...,
 * conditional jumps forward whichever way they are entered, no flag or
 * register changed) carry it, after a landing zone of no-ops, to a far jump
 * into the flat code at NUV_SLED_ENTRY, which goes on to the gate page's
 * entry at NUV_GATE_SITE_ENTRY. That entry posts the call as the handler
 * does, without a signal, the code word saying so (NUV_DIRECT_CODE_SITE).
 * The guest's code is mapped a second time NUV_SLED_BASE higher (its
 * shadow); its data stays where it is, read through the flat selectors.
 *
 * The sled is short, for the calls' numbers are small. Zero bytes fill the
 * page after the far jump: a call number that lands there or inside the
 * jump faults at once without changing anything (`00 00` adds to memory at
 * the number's address, in page 0, which is never mapped; the jump's
 * address and selector bytes, EC EF EC ED 23 00, are all instructions that
 * fault), as does one past the page, whose next page stays unmapped. */
#define NUV_SITE_CS 0x7 /* the first LDT entry, user privilege */
#define NUV_SLED_BASE 0xC1000000u
#define NUV_SLED_PATTERN 0x72737372u /* the sled's bytes, little-endian */
#define NUV_SLED_LANDING 0x200       /* no-ops from here to the far jump */
#define NUV_SLED_JUMP 0x280          /* ea <NUV_SLED_ENTRY> 23 00, then zeros */
#define NUV_SLED_ENTRY 0xEDECEFECu   /* jmp <gate + NUV_GATE_SITE_ENTRY> */
#define NUV_GATE_SITE_ENTRY 0x800
#define NUV_DIRECT_CODE_SITE 0x4E555653u

/* The i386 numbers of the two calls the handler makes, each at its own site. */
#define NUV_DIRECT_NR_WRITE NUV_LINUX_WRITE
#define NUV_DIRECT_NR_FUTEX 240
#define NUV_FUTEX_WAIT 0

#endif
