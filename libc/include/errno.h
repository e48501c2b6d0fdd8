/* Error codes and the process-wide error variable.
 *
 * Kernel calls report failure in their result, as the negated code: open()
 * giving -ENOENT means no such file. The wrappers pass these results through
 * unchanged and never store into errno; only the heap does (ENOMEM). See
 * share/doc/nuvos/library-guide.md and kernel-calls.md.
 *
 * These are the codes the kernel returns, with its numbers; this list is the
 * one place in the library's headers that names them. */
#ifndef NUV_ERRNO_H
#define NUV_ERRNO_H

#include "_nuv_cdefs.h"

#define ENOENT 2        /* no such file or directory */
#define EIO 5           /* the host failed in some other way */
#define ENOEXEC 8       /* not a loadable image */
#define EBADF 9         /* bad descriptor */
#define ECHILD 10       /* no such child */
#define EAGAIN 11       /* try again (non-blocking, or a table is full) */
#define ENOMEM 12       /* out of memory */
#define EACCES 13       /* permission denied */
#define EFAULT 14       /* bad address */
#define EEXIST 17       /* already exists */
#define ENOTDIR 20      /* not a directory */
#define EISDIR 21       /* is a directory */
#define EINVAL 22       /* invalid argument */
#define EMFILE 24       /* too many open descriptors */
#define ENOSPC 28       /* no space left */
#define ESPIPE 29       /* cannot be positioned */
#define EPIPE 32        /* nobody reads the pipe any more */
#define ERANGE 34       /* buffer too small */
#define EDEADLK 35      /* every process waits: the call could never complete */
#define ENAMETOOLONG 36 /* path or name too long */
#define ENOSYS 38       /* not implemented */
#define ENOTEMPTY 39    /* directory not empty */
#define ELOOP 40        /* too many symbolic links */

NUV_BEGIN_DECLS
extern int errno;
NUV_END_DECLS

#endif
