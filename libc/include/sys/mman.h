/* Memory beyond the heap: the kernel's anonymous mappings under the names
 * programs written for other systems use. Nothing here adds a call: mmap
 * and munmap are the wrappers declared in unistd.h, and the names stand for
 * the kernel's own values in nuvos/kernel.h.
 *
 * Only anonymous memory exists: every mapping needs MAP_ANONYMOUS, and the
 * kernel ignores the address hint, the descriptor, the offset and every
 * other flag (MAP_PRIVATE is accepted for that reason). Memory is never
 * writable and executable at once. Every failure gives MAP_FAILED. */
#ifndef NUV_SYS_MMAN_H
#define NUV_SYS_MMAN_H

#include "_nuv_cdefs.h"
#include "nuvos/kernel.h"

#define PROT_NONE 0x0
#define PROT_READ NUV_PROT_READ
#define PROT_WRITE NUV_PROT_WRITE
#define PROT_EXEC NUV_PROT_EXEC

#define MAP_PRIVATE 0x02
#define MAP_ANONYMOUS NUV_MAP_ANONYMOUS
#define MAP_ANON MAP_ANONYMOUS
#define MAP_FAILED ((void*)-1)

NUV_BEGIN_DECLS
void* mmap(void* addr, size_t length, int prot, int flags, int fd, int offset);
int munmap(void* addr, size_t length);
NUV_END_DECLS

#endif
