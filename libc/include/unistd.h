/* System-call wrappers. Each checks its arguments, traps once and returns the
 * kernel's result unchanged; -1 means an argument was refused before the trap.
 * A negative result is the negated error code (-ENOENT, named in errno.h);
 * errno is not set. The calls and their errors:
 * share/doc/nuvos/kernel-calls.md. */
#ifndef NUV_UNISTD_H
#define NUV_UNISTD_H

#include "_nuv_cdefs.h"
#include "nuvos/kernel.h"

#define SEEK_SET NUV_SEEK_SET
#define SEEK_CUR NUV_SEEK_CUR
#define SEEK_END NUV_SEEK_END

NUV_BEGIN_DECLS
int write(int fd, const void* buf, size_t count);
int read(int fd, void* buf, size_t count);
int close(int fd);
int lseek(int fd, int offset, int whence);
int writefile(const char* path, const void* data, size_t length);
NUV_NORETURN void _exit(int status);

int access(const char* path, ...);
int getkey(void);
int usleep(unsigned int microseconds);
unsigned int sleep(unsigned int seconds);
int mkdir(const char* path, ...);
int unlink(const char* path);
int rmdir(const char* path);
int getcwd(char* buf, size_t size);
int nuvfs_stream_begin(const char* path);
int nuvfs_stream_write(int stream, const void* buf, size_t length);
int nuvfs_stream_end(int stream);
int chdir(const char* path);
void* mmap(void* addr, size_t length, int prot, int flags, int fd, int offset);
int munmap(void* addr, size_t length);
int pipe(int* fds);
int mkfifo(const char* path, ...);
int dup(int fd);
int dup2(int oldfd, int newfd);
int fd_set_inherit(int flag);
int fd_set_stdio(int in, int out, int err);
int fd_set_nonblock(int fd, int flag);
int spawn(const char* path, char* const* argv, int argc);
int waitpid(int pid, int* status, int options);
/* Like spawn, with the caller's descriptors that become the child's 0, 1 and 2
 * for this spawn (negative: as fd_set_stdio says); inherit_all 1 hands on
 * every descriptor for this spawn. */
int spawn_ex(const char* path, char* const* argv, int argc, int child_stdin, int child_stdout,
             int child_stderr, int inherit_all);
NUV_END_DECLS

#endif
