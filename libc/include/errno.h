/* The process-wide error code. Only the heap stores into it (ENOMEM). */
#ifndef NUV_ERRNO_H
#define NUV_ERRNO_H

#include "_nuv_cdefs.h"

#define ENOENT 2
#define ENOMEM 12
#define EINVAL 22
#define ENOSYS 38

NUV_BEGIN_DECLS
extern int errno;
NUV_END_DECLS

#endif
