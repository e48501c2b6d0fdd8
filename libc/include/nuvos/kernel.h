/* The NUV-OS kernel interface: every call, its number and the kinds of its
 * arguments, the error codes, the flag bits the calls take, the limits the
 * kernel enforces and the spawn block. The runtime library, the emulator and
 * commands that make their own traps all take these values from here.
 *
 * A call is made with int 0x80: its number in EAX, its arguments in EBX, ECX,
 * EDX, ESI, EDI and EBP, its result back in EAX; a negative result is a
 * negated error code. */
#ifndef NUVOS_KERNEL_H
#define NUVOS_KERNEL_H

/* X(name, number, argument kinds), one letter per argument, as the trace
 * prints it:
 *   d signed (descriptors, counts)   u unsigned   x address   s string
 *   b bytes the call reads, their count in the next argument
 *   r bytes the call writes, their count in the result (shown after the call)
 *   o open flags   O a mode, in octal   p mmap protection   m mmap flags
 *   w lseek origin   n waitpid options   i a status word the call writes
 *   P the two descriptors pipe writes   v an argument vector, its count next
 *   S a spawn block (struct nuv_spawn_block) */
#define NUV_CALLS(X)                 \
    X(write, 1, "dbu")               \
    X(exit, 2, "d")                  \
    X(read, 3, "dru")                \
    X(open, 4, "soO")                \
    X(close, 5, "d")                 \
    X(getkey, 6, "")                 \
    X(writefile, 21, "sbu")          \
    X(usleep, 22, "u")               \
    X(mkdir, 49, "s")                \
    X(unlink, 50, "s")               \
    X(rmdir, 51, "s")                \
    X(getcwd, 52, "ru")              \
    X(nuvfs_stream_begin, 53, "s")   \
    X(nuvfs_stream_write, 54, "dbu") \
    X(nuvfs_stream_end, 55, "d")     \
    X(chdir, 95, "s")                \
    X(mmap, 98, "xupmdd")            \
    X(munmap, 99, "xu")              \
    X(lseek, 110, "ddw")             \
    X(pipe, 124, "P")                \
    X(mkfifo, 125, "s")              \
    X(dup, 126, "d")                 \
    X(dup2, 127, "dd")               \
    X(fd_set_inherit, 128, "d")      \
    X(fd_set_stdio, 129, "ddd")      \
    X(fd_set_nonblock, 130, "dd")    \
    X(spawn, 131, "svd")             \
    X(waitpid, 132, "din")           \
    X(spawn_ex, 150, "S")

#define NUV_CALL_NUMBER_(name, nr, kinds) NUV_SYS_##name = nr,
enum nuv_call { NUV_CALLS(NUV_CALL_NUMBER_) };
#undef NUV_CALL_NUMBER_

/* X(name, code, meaning); the calls return the code negated. */
#define NUV_ERRORS(X)                                                    \
    X(ENOENT, 2, "no such file or directory")                            \
    X(EIO, 5, "host input/output failure")                               \
    X(ENOEXEC, 8, "not a loadable image")                                \
    X(EBADF, 9, "bad descriptor")                                        \
    X(ECHILD, 10, "no such child")                                       \
    X(EAGAIN, 11, "try again")                                           \
    X(ENOMEM, 12, "out of memory")                                       \
    X(EACCES, 13, "permission denied")                                   \
    X(EFAULT, 14, "bad guest address")                                   \
    X(EEXIST, 17, "already exists")                                      \
    X(ENOTDIR, 20, "not a directory")                                    \
    X(EISDIR, 21, "is a directory")                                      \
    X(EINVAL, 22, "invalid argument")                                    \
    X(EMFILE, 24, "too many open descriptors")                           \
    X(ENOSPC, 28, "no space left")                                       \
    X(ESPIPE, 29, "cannot be positioned")                                \
    X(EPIPE, 32, "nobody reads the pipe any more")                       \
    X(ERANGE, 34, "buffer too small")                                    \
    X(EDEADLK, 35, "every process waits: the call could never complete") \
    X(ENAMETOOLONG, 36, "path or name too long")                         \
    X(ENOSYS, 38, "not implemented")                                     \
    X(ENOTEMPTY, 39, "directory not empty")                              \
    X(ELOOP, 40, "too many symbolic links")

#define NUV_ERROR_CODE_(name, code, text) NUV_##name = code,
enum nuv_error { NUV_ERRORS(NUV_ERROR_CODE_) };
#undef NUV_ERROR_CODE_

/* open: flags (ECX). */
#define NUV_O_RDONLY 0x0
#define NUV_O_WRONLY 0x1
#define NUV_O_CREAT 0x40
#define NUV_O_TRUNC 0x200

/* mmap: protection (EDX) and flags (ESI). */
#define NUV_PROT_READ 0x1
#define NUV_PROT_WRITE 0x2
#define NUV_PROT_EXEC 0x4
#define NUV_MAP_ANONYMOUS 0x20

/* waitpid: options (EDX). */
#define NUV_WNOHANG 0x1

/* lseek: origins (EDX). */
#define NUV_SEEK_SET 0
#define NUV_SEEK_CUR 1
#define NUV_SEEK_END 2

/* Limits. */
#define NUV_PATH_MAX 4095         /* bytes of a path, without its NUL */
#define NUV_NAME_MAX 255          /* bytes of one name in a path */
#define NUV_OPEN_MAX 64           /* descriptors of one process */
#define NUV_IO_MAX 0x100000       /* bytes one read or write moves */
#define NUV_PIPE_SIZE 0x10000     /* bytes a pipe holds */
#define NUV_PROCESS_MAX 16        /* processes live at once */
#define NUV_PROCESS_ENTRIES 64    /* live or ended but not yet waited for */
#define NUV_SPAWN_ARGS_MAX 1024   /* arguments of one spawn */
#define NUV_ARG_BYTES_MAX 0x20000 /* bytes of one argument list */
#define NUV_MAP_BASE 0x40000000u  /* anonymous mappings lie in [BASE, END) */
#define NUV_MAP_END 0x80000000u
#define NUV_MAP_COUNT_MAX 64           /* mappings of one process */
#define NUV_MAP_BYTES_MAX 0x4000000    /* bytes mapped by one process */
#define NUV_STREAM_MAX 16              /* streams open at once */
#define NUV_STREAM_BYTES_MAX 0x4000000 /* bytes held by all streams */

/* The block whose address spawn_ex takes (EBX): 32-bit words. */
struct nuv_spawn_block {
    __UINT32_TYPE__ path;        /* address of the image path */
    __UINT32_TYPE__ argv;        /* address of the argument vector */
    __INT32_TYPE__ argc;         /* entries of the vector (0: the path alone) */
    __INT32_TYPE__ fd_in;        /* the caller's descriptors that become the */
    __INT32_TYPE__ fd_out;       /* child's 0, 1 and 2 (negative: as          */
    __INT32_TYPE__ fd_err;       /* fd_set_stdio says)                         */
    __UINT32_TYPE__ inherit_all; /* 1: hand on every descriptor */
};

#if defined(__cplusplus)
static_assert(sizeof(struct nuv_spawn_block) == 28, "the spawn block is seven words");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(struct nuv_spawn_block) == 28, "the spawn block is seven words");
#else
/* Before C11: an array of negative size when the block is not seven words. */
typedef char nuv_spawn_block_is_seven_words[sizeof(struct nuv_spawn_block) == 28 ? 1 : -1];
#endif

#endif
