/* Opening files through the kernel. */
#ifndef NUV_FCNTL_H
#define NUV_FCNTL_H

#include "_nuv_cdefs.h"

#define O_RDONLY 0x0
#define O_WRONLY 0x1
#define O_CREAT 0x40
#define O_TRUNC 0x200

NUV_BEGIN_DECLS
/* The mode reaches the kernel only when flags contain O_CREAT. */
int open(const char* path, int flags, ...);
/* Same as open(path, O_WRONLY | O_CREAT | O_TRUNC, 0). */
int creat(const char* path, ...);
NUV_END_DECLS

#endif
