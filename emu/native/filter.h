/* The system-call filter of a guest process run by the native engine.
 *
 * Every system call of every architecture stops for the tracer; none runs on
 * its own. The filter's data word says which kind of call it was: 0 for the
 * i386 interface (int 0x80), 1 for any other (a 64-bit `syscall`, x32, ...),
 * which the tracer refuses. Without a tracer every call fails with ENOSYS
 * and nothing happens.
 *
 * Shared by the freestanding start-up stub and the host side, so it spells
 * out the classic BPF encoding itself: each entry is {code, jt, jf, k} as in
 * struct sock_filter. */
#ifndef NUV_NATIVE_FILTER_H
#define NUV_NATIVE_FILTER_H

#define NUV_FILTER_DATA_I386 0u
#define NUV_FILTER_DATA_OTHER 1u

#define NUV_AUDIT_ARCH_I386 0x40000003u
#define NUV_SECCOMP_RET_TRACE 0x7ff00000u
#define NUV_SECCOMP_SET_MODE_FILTER 1

/* ld [4] (seccomp_data.arch); jeq i386 ? next : skip one; ret; ret. */
#define NUV_FILTER_PROGRAM                                                \
    {                                                                     \
        {0x20, 0, 0, 4}, {0x15, 0, 1, NUV_AUDIT_ARCH_I386},               \
            {0x06, 0, 0, NUV_SECCOMP_RET_TRACE | NUV_FILTER_DATA_I386}, { \
            0x06, 0, 0, NUV_SECCOMP_RET_TRACE | NUV_FILTER_DATA_OTHER     \
        }                                                                 \
    }

#endif
