/* The system-call filter of a guest process run by the native engine.
 *
 * Every system call of every architecture goes to the engine; none runs on
 * its own but the engine's own, made at the gate with the gate's key in the
 * last two argument registers (edi and ebp; r8 and r9 in the 64-bit
 * stand-in), which only the engine and the filter know. The guest never
 * learns the key: the stub that installed the filter is unmapped before the
 * guest's first instruction, and the filter cannot be read back. A call at
 * the gate without the key stops for the tracer, which never lets a stopped
 * call run: it skips it.
 *
 * An i386 call (int 0x80) made anywhere but at the gate reaches the engine
 * through the filter's notification descriptor when the process has one
 * (the guest waits in the call while the engine answers it), else as a stop
 * for the tracer. The data word of a stop says which kind of call it was:
 * 0 for i386, 1 for any other (a 64-bit `syscall`, x32, ...). Without an
 * engine every call fails with ENOSYS and nothing happens.
 *
 * Shared by the freestanding start-up stub and the host side, so it spells
 * out the classic BPF encoding itself: each entry is {code, jt, jf, k} as in
 * struct sock_filter. Offsets into seccomp_data: nr 0, arch 4, the low half
 * of the instruction pointer 8, the low half of argument i 16 + 8 * i. */
#ifndef NUV_NATIVE_FILTER_H
#define NUV_NATIVE_FILTER_H

#define NUV_FILTER_DATA_I386 0u
#define NUV_FILTER_DATA_OTHER 1u

#define NUV_AUDIT_ARCH_I386 0x40000003u
#define NUV_AUDIT_ARCH_X86_64 0xC000003Eu
#define NUV_SECCOMP_RET_TRACE 0x7ff00000u
#define NUV_SECCOMP_RET_TRAP 0x00030000u
#define NUV_SECCOMP_RET_ALLOW 0x7fff0000u
#define NUV_SECCOMP_RET_USER_NOTIF 0x7fc00000u
#define NUV_SECCOMP_SET_MODE_FILTER 1
#define NUV_SECCOMP_FILTER_FLAG_NEW_LISTENER 8u

/* The gate's key: two words, the second a multiple of the page size (in the
 * stand-in it is mmap's offset argument, which must be). */
#define NUV_GATE_KEY_ARG0 4
#define NUV_GATE_KEY_ARG1 5
#define NUV_GATE_KEY1_MASK 0xFFFFF000u

/* The action for i386 calls away from the gate: a notification, or a stop
 * where the process has no notification descriptor. */
#define NUV_FILTER_I386_NOTIFY NUV_SECCOMP_RET_USER_NOTIF
#define NUV_FILTER_I386_STOP (NUV_SECCOMP_RET_TRACE | NUV_FILTER_DATA_I386)

/*  0 ld arch; 1 jeq i386 ? 2 : 10; 2 ld ip; 3 jeq gate_ip ? 5 : 4;
 *  4 ret i386_action; 5 ld arg4; 6 jeq key0 ? 7 : 9; 7 ld arg5;
 *  8 jeq key1 ? 18 : 9; 9 ret stop (i386); 10 jeq x86-64 ? 11 : 17;
 * 11 ld ip; 12 jeq gate_ip ? 13 : 17; 13 ld arg4; 14 jeq key0 ? 15 : 17;
 * 15 ld arg5; 16 jeq key1 ? 18 : 17; 17 ret stop (other); 18 ret allow. */
#define NUV_FILTER_PROGRAM(gate_ip, i386_action, key0, key1)                                \
    {                                                                                       \
        {0x20, 0, 0, 4}, {0x15, 0, 8, NUV_AUDIT_ARCH_I386}, {0x20, 0, 0, 8},                \
            {0x15, 1, 0, (gate_ip)}, {0x06, 0, 0, (i386_action)}, {0x20, 0, 0, 48},         \
            {0x15, 0, 2, (key0)}, {0x20, 0, 0, 56}, {0x15, 9, 0, (key1)},                   \
            {0x06, 0, 0, NUV_SECCOMP_RET_TRACE | NUV_FILTER_DATA_I386},                     \
            {0x15, 0, 6, NUV_AUDIT_ARCH_X86_64}, {0x20, 0, 0, 8}, {0x15, 0, 4, (gate_ip)},  \
            {0x20, 0, 0, 48}, {0x15, 0, 2, (key0)}, {0x20, 0, 0, 56}, {0x15, 1, 0, (key1)}, \
            {0x06, 0, 0, NUV_SECCOMP_RET_TRACE | NUV_FILTER_DATA_OTHER}, {                  \
            0x06, 0, 0, NUV_SECCOMP_RET_ALLOW                                               \
        }                                                                                   \
    }

/* The filter of the direct call path (see direct_call.h): every call becomes
 * a SIGSYS for the guest's own handler, but the engine's calls at the gate
 * (allowed with the key, else a stop for the tracer) and the handler's own:
 * at wake_ip only a write to the event descriptor, at sleep_ip only a futex
 * wait on the `done` word, at io_ip (Linux's return point for its fast
 * system-call entry; 0: none) only a read, write or _llseek on the
 * descriptors the engine installed, [NUV_DIRECT_FD_BASE, + NUV_DIRECT_FD_COUNT),
 * and an _llseek only from the start to below NUV_DIRECT_POSITION_END (its
 * high offset word 0) or by nothing from where it stands: no position it
 * allows reaches 2^31. Arguments: fd arg0, high offset arg1, low arg2,
 * origin arg4.
 *
 *  0 ld arch; 1 jeq i386 ? 2 : 33; 2 ld ip; 3 jeq gate_ip ? 34 : 4;
 *  4 jeq wake_ip ? 5 : 9; 5 ld nr; 6 jeq write ? 7 : 33; 7 ld arg0;
 *  8 jeq event_fd ? 39 : 33; 9 jeq sleep_ip ? 10 : 16; 10 ld nr;
 * 11 jeq futex ? 12 : 33; 12 ld arg0; 13 jeq done_addr ? 14 : 33;
 * 14 ld arg1; 15 jeq FUTEX_WAIT ? 39 : 33; 16 jeq io_ip ? 17 : 33;
 * 17 ld nr; 18 jeq read ? 30 : 19; 19 jeq write ? 30 : 20;
 * 20 jeq _llseek ? 21 : 33; 21 ld arg1; 22 jeq 0 ? 23 : 33; 23 ld arg4;
 * 24 jeq SEEK_SET ? 28 : 25; 25 jeq SEEK_CUR ? 26 : 33; 26 ld arg2;
 * 27 jeq 0 ? 30 : 33; 28 ld arg2; 29 jge POSITION_END ? 33 : 30;
 * 30 ld arg0; 31 jge fd_base ? 32 : 33; 32 jge fd_base + count ? 33 : 39;
 * 33 ret trap; 34 ld arg4; 35 jeq key0 ? 36 : 38; 36 ld arg5;
 * 37 jeq key1 ? 39 : 38; 38 ret stop (i386); 39 ret allow. */
#define NUV_DIRECT_FILTER_PROGRAM(gate_ip, wake_ip, sleep_ip, io_ip, event_fd, done_addr, key0,    \
                                  key1)                                                            \
    {                                                                                              \
        {0x20, 0, 0, 4}, {0x15, 0, 31, NUV_AUDIT_ARCH_I386}, {0x20, 0, 0, 8},                      \
            {0x15, 30, 0, (gate_ip)}, {0x15, 0, 4, (wake_ip)}, {0x20, 0, 0, 0},                    \
            {0x15, 0, 26, NUV_LINUX_WRITE}, {0x20, 0, 0, 16}, {0x15, 30, 24, (event_fd)},          \
            {0x15, 0, 6, (sleep_ip)}, {0x20, 0, 0, 0}, {0x15, 0, 21, NUV_DIRECT_NR_FUTEX},         \
            {0x20, 0, 0, 16}, {0x15, 0, 19, (done_addr)}, {0x20, 0, 0, 24},                        \
            {0x15, 23, 17, NUV_FUTEX_WAIT}, {0x15, 0, 16, (io_ip)}, {0x20, 0, 0, 0},               \
            {0x15, 11, 0, NUV_LINUX_READ}, {0x15, 10, 0, NUV_LINUX_WRITE},                         \
            {0x15, 0, 12, NUV_LINUX_LLSEEK}, {0x20, 0, 0, 24}, {0x15, 0, 10, 0}, {0x20, 0, 0, 48}, \
            {0x15, 3, 0, NUV_LINUX_SEEK_SET}, {0x15, 0, 7, NUV_LINUX_SEEK_CUR}, {0x20, 0, 0, 32},  \
            {0x15, 2, 5, 0}, {0x20, 0, 0, 32}, {0x35, 3, 0, NUV_DIRECT_POSITION_END},              \
            {0x20, 0, 0, 16}, {0x35, 0, 1, NUV_DIRECT_FD_BASE},                                    \
            {0x35, 0, 6, NUV_DIRECT_FD_BASE + NUV_DIRECT_FD_COUNT},                                \
            {0x06, 0, 0, NUV_SECCOMP_RET_TRAP}, {0x20, 0, 0, 48}, {0x15, 0, 2, (key0)},            \
            {0x20, 0, 0, 56}, {0x15, 1, 0, (key1)},                                                \
            {0x06, 0, 0, NUV_SECCOMP_RET_TRACE | NUV_FILTER_DATA_I386}, {                          \
            0x06, 0, 0, NUV_SECCOMP_RET_ALLOW                                                      \
        }                                                                                          \
    }

#endif
