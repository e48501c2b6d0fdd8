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
 * writes its answer next to `done` and raises `done`; the handler loads
 * them and jumps back to the guest (the states of a post: enum
 * nuv_post_state below). No system call, no switch between processes, when
 * both sides are on processors of their own.
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

#include <stddef.h>
#include <stdint.h>

#include "gate.h"

/* The call page is struct nuv_call_page below; these are the byte offsets
 * of its fields for the handler's assembly, checked against the struct.
 * Each side spins on a cache line of its own, which only the other side's
 * last store of a hand-over touches: the post's number (SEQ) and the
 * answer's (DONE); what the post carries lies apart from both. */
#define NUV_DIRECT_SEQ 0
#define NUV_DIRECT_DONE 64
#define NUV_DIRECT_SLEEPING 68
/* The answer: the registers from edi to eflags, at their word indices
 * (NUV_CTX_*) counted from this base, so that they share DONE's cache line
 * (words 4 to 16 only: 72 to 123). */
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

/* Word indices of the guest's registers in the register words: the 22 words
 * of the signal frame (CTX) and, from edi to eflags, the answer. */
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
#define NUV_ANSWER_WORDS (NUV_CTX_EFLAGS - NUV_CTX_EDI + 1)

/* The handshake's flags, each 0 or 1 and written by one side only: */
#define NUV_HANDLER_SPINNING 0 /* sleeping: the handler waits on the page */
#define NUV_HANDLER_SLEEPING 1 /*   ... or on the futex at done */
#define NUV_ENGINE_ASLEEP 0    /* awake: a post must wake the engine */
#define NUV_ENGINE_AWAKE 1     /*   ... or the engine looks at the page first */
#define NUV_ENGINE_AWAY 0      /* watching: no wait on the page for the engine */
#define NUV_ENGINE_WATCHING 1  /*   ... or it is on a processor for this guest */

/* The handshake. One post at a time goes through three states, told by the
 * page's three counters, each written by one side only: seq by the handler,
 * taken and done by the engine. Each side reads the other's counters from
 * the page and its own from a copy of its own (the handler keeps the seq it
 * posted in a register, the engine the taken and done it last wrote), so
 * that both see the same state whatever the guest writes on the page.
 *
 *   NUV_POST_POSTED    seq differs from taken and done: the handler has
 *                      posted; the engine has not taken the post yet (it
 *                      finds it on the page, or the handler wakes it).
 *   NUV_POST_TAKEN     taken equals seq: the engine has copied the post and
 *                      serves it; the handler waits on the page or, asleep,
 *                      on the futex at done.
 *   NUV_POST_ANSWERED  done equals seq: the answer lies next to done; the
 *                      handler loads it and returns to the guest. Also the
 *                      state before the first post.
 *
 * How each side waits on the way is told by the flags above. The engine
 * asks nuv_post_state(); the handler's assembly makes the same two tests
 * in the same order, its seq in a register against the word at
 * NUV_POST_ANSWERED_AT, then at NUV_POST_TAKEN_AT. */
enum nuv_post_state { NUV_POST_ANSWERED = 0, NUV_POST_POSTED = 1, NUV_POST_TAKEN = 2 };
#define NUV_POST_ANSWERED_AT NUV_DIRECT_DONE
#define NUV_POST_TAKEN_AT NUV_DIRECT_TAKEN

static inline enum nuv_post_state nuv_post_state(uint32_t seq, uint32_t taken, uint32_t done) {
    if (done == seq) return NUV_POST_ANSWERED;
    return taken == seq ? NUV_POST_TAKEN : NUV_POST_POSTED;
}

/* The call page. */
struct nuv_call_page {
    /* The handler's line. */
    uint32_t seq;
    uint8_t seq_line_rest[60];
    /* The engine's line: the answer's number and registers. */
    uint32_t done;
    uint32_t sleeping; /* NUV_HANDLER_* */
    uint32_t answer[NUV_ANSWER_WORDS];
    uint32_t done_line_rest;
    /* The engine's flags and the handler's settings. */
    uint32_t taken;
    uint32_t spin;     /* the rounds a handler waits on the page at most */
    uint32_t awake;    /* NUV_ENGINE_ASLEEP or AWAKE */
    uint32_t event_fd; /* the guest's number of the event descriptor */
    uint32_t watching; /* NUV_ENGINE_AWAY or WATCHING */
    uint8_t flags_line_rest[44];
    /* The post. */
    uint32_t signo;
    uint32_t code;
    uint32_t addr; /* the faulting address; for SIGSYS, after the call */
    uint32_t nr;   /* SIGSYS: the call's number */
    uint32_t arch; /* SIGSYS: the call's architecture */
    uint32_t ctx[NUV_DIRECT_CTX_WORDS];
    uint8_t post_rest[20];
    /* Changes with each round a handler waits on the page. */
    uint32_t beat;
    uint8_t beat_line_rest[60];
    /* Calls in the guest's own process (below). */
    uint8_t fds[NUV_DIRECT_FD_COUNT];
    uint32_t vsyscall;
    uint32_t result[2];
    uint32_t max_position;
    uint32_t max_size;
};

#ifdef __cplusplus
#define NUV_CALL_PAGE_ASSERT(what, why) static_assert(what, why)
#else
#define NUV_CALL_PAGE_ASSERT(what, why) _Static_assert(what, why)
#endif
#define NUV_CALL_PAGE_AT(field, at) \
    NUV_CALL_PAGE_ASSERT(offsetof(struct nuv_call_page, field) == (at), "call page: " #field)
NUV_CALL_PAGE_AT(seq, NUV_DIRECT_SEQ);
NUV_CALL_PAGE_AT(done, NUV_DIRECT_DONE);
NUV_CALL_PAGE_AT(done, NUV_POST_ANSWERED_AT);
NUV_CALL_PAGE_AT(taken, NUV_POST_TAKEN_AT);
NUV_CALL_PAGE_AT(sleeping, NUV_DIRECT_SLEEPING);
NUV_CALL_PAGE_AT(answer, NUV_DIRECT_ANSWER + 4 * NUV_CTX_EDI);
NUV_CALL_PAGE_AT(taken, NUV_DIRECT_TAKEN);
NUV_CALL_PAGE_AT(spin, NUV_DIRECT_SPIN);
NUV_CALL_PAGE_AT(awake, NUV_DIRECT_AWAKE);
NUV_CALL_PAGE_AT(event_fd, NUV_DIRECT_EVENT_FD);
NUV_CALL_PAGE_AT(watching, NUV_DIRECT_WATCHING);
NUV_CALL_PAGE_AT(signo, NUV_DIRECT_SIGNO);
NUV_CALL_PAGE_AT(code, NUV_DIRECT_CODE);
NUV_CALL_PAGE_AT(addr, NUV_DIRECT_ADDR);
NUV_CALL_PAGE_AT(nr, NUV_DIRECT_NR);
NUV_CALL_PAGE_AT(arch, NUV_DIRECT_ARCH);
NUV_CALL_PAGE_AT(ctx, NUV_DIRECT_CTX);
NUV_CALL_PAGE_AT(beat, NUV_DIRECT_BEAT);
NUV_CALL_PAGE_AT(fds, NUV_DIRECT_FDS);
NUV_CALL_PAGE_AT(vsyscall, NUV_DIRECT_VSYSCALL);
NUV_CALL_PAGE_AT(result, NUV_DIRECT_RESULT);
NUV_CALL_PAGE_AT(max_position, NUV_DIRECT_MAX_POSITION);
NUV_CALL_PAGE_AT(max_size, NUV_DIRECT_MAX_SIZE);
/* The lines apart: seq alone on the first, done and the answer on the
 * second, the engine's flags on the third, the post after them and beat
 * on a line of its own. */
NUV_CALL_PAGE_ASSERT(NUV_DIRECT_DONE % 64 == 0 && NUV_DIRECT_TAKEN % 64 == 0 &&
                         NUV_DIRECT_SIGNO % 64 == 0 && NUV_DIRECT_BEAT % 64 == 0,
                     "call page: cache lines");
NUV_CALL_PAGE_ASSERT(offsetof(struct nuv_call_page, done_line_rest) < NUV_DIRECT_TAKEN &&
                         offsetof(struct nuv_call_page, post_rest) + 20 <= NUV_DIRECT_BEAT,
                     "call page: cache lines");
NUV_CALL_PAGE_ASSERT(sizeof(struct nuv_call_page) <= NUV_PAGE_SIZE, "call page: one page");
#undef NUV_CALL_PAGE_AT

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
