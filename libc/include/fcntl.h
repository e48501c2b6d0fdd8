/* Opening files through the kernel. */
#ifndef NUV_FCNTL_H
#define NUV_FCNTL_H

#include "_nuv_cdefs.h"
#include "nuvos/kernel.h"

#define O_RDONLY NUV_O_RDONLY
#define O_WRONLY NUV_O_WRONLY
#define O_CREAT NUV_O_CREAT
#define O_TRUNC NUV_O_TRUNC

NUV_BEGIN_DECLS
/* The mode reaches the kernel only when flags contain O_CREAT. */
int open(const char* path, int flags, ...);
/* Same as open(path, O_WRONLY | O_CREAT | O_TRUNC, 0). */
int creat(const char* path, ...);
NUV_END_DECLS

#endif
