/* Error codes and the process-wide error variable.
 *
 * Kernel calls report failure in their result, as the negated code: open()
 * giving -ENOENT means no such file. The wrappers pass these results through
 * unchanged and never store into errno; only the heap does (ENOMEM). See
 * share/doc/nuvos/library-guide.md and kernel-calls.md.
 *
 * The names are those of every error the kernel's calls return; their numbers
 * come from nuvos/kernel.h. */
#ifndef NUV_ERRNO_H
#define NUV_ERRNO_H

#include "_nuv_cdefs.h"
#include "nuvos/kernel.h"

#define ENOENT NUV_ENOENT
#define EIO NUV_EIO
#define ENOEXEC NUV_ENOEXEC
#define EBADF NUV_EBADF
#define ECHILD NUV_ECHILD
#define EAGAIN NUV_EAGAIN
#define ENOMEM NUV_ENOMEM
#define EACCES NUV_EACCES
#define EFAULT NUV_EFAULT
#define EEXIST NUV_EEXIST
#define ENOTDIR NUV_ENOTDIR
#define EISDIR NUV_EISDIR
#define EINVAL NUV_EINVAL
#define EMFILE NUV_EMFILE
#define ENOSPC NUV_ENOSPC
#define ESPIPE NUV_ESPIPE
#define EPIPE NUV_EPIPE
#define ERANGE NUV_ERANGE
#define EDEADLK NUV_EDEADLK
#define ENAMETOOLONG NUV_ENAMETOOLONG
#define ENOSYS NUV_ENOSYS
#define ENOTEMPTY NUV_ENOTEMPTY
#define ELOOP NUV_ELOOP

NUV_BEGIN_DECLS
extern int errno;
NUV_END_DECLS

#endif
