// The system-call wrappers that the library itself relies on.
#include <unistd.h>

#include "src/trap.h"

using nuv::clamp_length;
using nuv::word;

extern "C" int write(int fd, const void* buf, size_t count) {
    return nuv::sys_write(fd, buf, count);
}

extern "C" int read(int fd, void* buf, size_t count) {
    if (buf == nullptr) return -1;
    return nuv::trap3(NUV_SYS_read, static_cast<unsigned>(fd), word(buf), clamp_length(count));
}

extern "C" int close(int fd) {
    return nuv::trap1(NUV_SYS_close, static_cast<unsigned>(fd));
}

extern "C" int lseek(int fd, int offset, int whence) {
    return nuv::trap3(NUV_SYS_lseek, static_cast<unsigned>(fd), static_cast<unsigned>(offset),
                      static_cast<unsigned>(whence));
}

extern "C" int writefile(const char* path, const void* data, size_t length) {
    if (path == nullptr || data == nullptr) return -1;
    return nuv::trap3(NUV_SYS_writefile, word(path), word(data), clamp_length(length));
}

// _exit(status): the exit call with the status in EBX. It never returns, so
// it needs no frame and saves no register. A kernel that returns from the
// exit call gets no further: halt for ever.
static_assert(NUV_SYS_exit == 2, "the exit call's number below");
asm(R"(
    .section .text._exit,"ax",@progbits
    .globl _exit
    .type _exit, @function
_exit:
    movl 4(%esp), %ebx
    movl $2, %eax
    int $0x80
1:  hlt
    jmp 1b
    .size _exit, . - _exit
    .previous
)");
