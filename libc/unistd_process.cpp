// The wrappers offered to commands: processes, directories, descriptors,
// mappings, sleeping and the keyboard. Like the core wrappers they refuse bad
// arguments with -1 before trapping and otherwise return the kernel's result.
#include <unistd.h>

#include "src/trap.h"

using nuv::clamp_length;
using nuv::word;

namespace {

// The sleeping call takes at most this many microseconds at a time: 4294
// whole seconds, the most that fits in 32 bits.
constexpr unsigned kMaxSleepChunk = 4294000000u;

inline unsigned as_flag(int flag) {
    return flag != 0 ? 1u : 0u;
}

inline unsigned u(int v) {
    return static_cast<unsigned>(v);
}

// The only call with six arguments: the sixth goes in EBP, which the compiler
// may be using, so it is saved around the trap. The offset is pushed first
// (its address is computed before the stack pointer moves) and loaded from
// the stack once EBP is saved.
inline int trap6(int nr, unsigned a, unsigned b, unsigned c, unsigned d, unsigned e,
                 const unsigned& f) {
    int r;
    asm volatile(
        "pushl %[f]\n\t"
        "pushl %%ebp\n\t"
        "movl 4(%%esp), %%ebp\n\t"
        "int $0x80\n\t"
        "popl %%ebp\n\t"
        "addl $4, %%esp"
        : "=a"(r)
        : "a"(nr), "b"(a), "c"(b), "d"(c), "S"(d), "D"(e), [f] "m"(f)
        : "memory");
    return r;
}

}  // namespace

extern "C" int access(const char* path, ...) {
    if (path == nullptr) return -1;
    int fd = nuv::trap3(NUV_SYS_open, word(path), 0, 0);
    if (fd < 0) return -1;
    nuv::trap1(NUV_SYS_close, u(fd));
    return 0;
}

extern "C" int getkey(void) {
    return nuv::trap0(NUV_SYS_getkey);
}

extern "C" int usleep(unsigned int microseconds) {
    nuv::trap1(NUV_SYS_usleep, microseconds);
    return 0;
}

extern "C" unsigned int sleep(unsigned int seconds) {
    // Up to 4294 seconds this is one call; longer sleeps take as many calls as
    // needed rather than a product that wraps around to a short sleep.
    unsigned long long rest = static_cast<unsigned long long>(seconds) * 1000000u;
    do {
        unsigned chunk = rest > kMaxSleepChunk ? kMaxSleepChunk : static_cast<unsigned>(rest);
        nuv::trap1(NUV_SYS_usleep, chunk);
        rest -= chunk;
    } while (rest != 0);
    return 0;
}

extern "C" int mkdir(const char* path, ...) {
    if (path == nullptr) return -1;
    return nuv::trap1(NUV_SYS_mkdir, word(path));
}

extern "C" int unlink(const char* path) {
    if (path == nullptr) return -1;
    return nuv::trap1(NUV_SYS_unlink, word(path));
}

extern "C" int rmdir(const char* path) {
    if (path == nullptr) return -1;
    return nuv::trap1(NUV_SYS_rmdir, word(path));
}

extern "C" int getcwd(char* buf, size_t size) {
    if (buf == nullptr || size == 0) return -1;
    return nuv::trap3(NUV_SYS_getcwd, word(buf), clamp_length(size), 0);
}

extern "C" int nuvfs_stream_begin(const char* path) {
    if (path == nullptr) return -1;
    return nuv::trap1(NUV_SYS_nuvfs_stream_begin, word(path));
}

extern "C" int nuvfs_stream_write(int stream, const void* buf, size_t length) {
    if (buf == nullptr) return -1;
    return nuv::trap3(NUV_SYS_nuvfs_stream_write, u(stream), word(buf), clamp_length(length));
}

extern "C" int nuvfs_stream_end(int stream) {
    return nuv::trap1(NUV_SYS_nuvfs_stream_end, u(stream));
}

extern "C" int chdir(const char* path) {
    if (path == nullptr) return -1;
    return nuv::trap1(NUV_SYS_chdir, word(path));
}

extern "C" void* mmap(void* addr, size_t length, int prot, int flags, int fd, int offset) {
    if (length == 0) return reinterpret_cast<void*>(-1);
    unsigned off = u(offset);
    int r = trap6(NUV_SYS_mmap, word(addr), length, u(prot), u(flags), u(fd), off);
    // Only -1 is a failure; any other result is the mapping's address.
    return reinterpret_cast<void*>(r);
}

extern "C" int munmap(void* addr, size_t length) {
    return nuv::trap3(NUV_SYS_munmap, word(addr), length, 0);
}

extern "C" int pipe(int* fds) {
    if (fds == nullptr) return -1;
    return nuv::trap1(NUV_SYS_pipe, word(fds));
}

extern "C" int mkfifo(const char* path, ...) {
    if (path == nullptr) return -1;
    return nuv::trap1(NUV_SYS_mkfifo, word(path));
}

extern "C" int dup(int fd) {
    return nuv::trap1(NUV_SYS_dup, u(fd));
}

extern "C" int dup2(int oldfd, int newfd) {
    return nuv::trap3(NUV_SYS_dup2, u(oldfd), u(newfd), 0);
}

extern "C" int fd_set_inherit(int flag) {
    return nuv::trap1(NUV_SYS_fd_set_inherit, as_flag(flag));
}

extern "C" int fd_set_stdio(int in, int out, int err) {
    return nuv::trap3(NUV_SYS_fd_set_stdio, u(in), u(out), u(err));
}

extern "C" int fd_set_nonblock(int fd, int flag) {
    return nuv::trap3(NUV_SYS_fd_set_nonblock, u(fd), as_flag(flag), 0);
}

extern "C" int spawn(const char* path, char* const* argv, int argc) {
    if (path == nullptr || argc < 0) return -1;
    return nuv::trap3(NUV_SYS_spawn, word(path), word(argv), u(argc));
}

extern "C" int waitpid(int pid, int* status, int options) {
    return nuv::trap3(NUV_SYS_waitpid, u(pid), word(status), u(options));
}

extern "C" int spawn_ex(const char* path, char* const* argv, int argc, int child_stdin,
                        int child_stdout, int child_stderr, int inherit_all) {
    if (path == nullptr || argc < 0) return -1;
    // The block lives in this frame for the duration of the call only.
    nuv_spawn_block block = {word(path),   word(argv),          argc, child_stdin, child_stdout,
                             child_stderr, as_flag(inherit_all)};
    return nuv::trap1(NUV_SYS_spawn_ex, word(&block));
}
