// The kernel's system-call trap: int 0x80, call number in EAX, arguments in
// EBX, ECX, EDX (ESI, EDI, EBP for longer calls), result in EAX.
#ifndef NUV_LIBC_TRAP_H
#define NUV_LIBC_TRAP_H

#include <nuvos/kernel.h>

namespace nuv {

// Byte counts above 2^31 - 1 reach the kernel as 2^31 - 1.
inline unsigned clamp_length(unsigned n) {
    return n > 0x7fffffffu ? 0x7fffffffu : n;
}

inline int trap0(int nr) {
    int r;
    asm volatile("int $0x80" : "=a"(r) : "a"(nr) : "memory");
    return r;
}

inline int trap1(int nr, unsigned a) {
    int r;
    asm volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a) : "memory");
    return r;
}

inline int trap2(int nr, unsigned a, unsigned b) {
    int r;
    asm volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a), "c"(b) : "memory");
    return r;
}

inline int trap3(int nr, unsigned a, unsigned b, unsigned c) {
    int r;
    asm volatile("int $0x80" : "=a"(r) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
    return r;
}

template <typename T>
inline unsigned word(T* p);

// The write call with the wrapper's checks, for callers inside the library
// that loop on it (the stream writer): the same trap as write() makes.
inline int sys_write(int fd, const void* buf, unsigned count) {
    if (buf == nullptr) return -1;
    return trap3(NUV_SYS_write, static_cast<unsigned>(fd), word(buf), clamp_length(count));
}

template <typename T>
inline unsigned word(T* p) {
    return static_cast<unsigned>(reinterpret_cast<__UINTPTR_TYPE__>(p));
}

}  // namespace nuv

#endif
