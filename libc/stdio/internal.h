// Internal interfaces between the parts of the stdio unit.
#ifndef NUV_LIBC_STDIO_INTERNAL_H
#define NUV_LIBC_STDIO_INTERNAL_H

#include <stdio.h>

namespace nuv::stdio {

// Appends count (> 0) bytes to the heap buffer of a memory-backed stream.
// Returns 0, or -1 with the record unchanged when the buffer cannot grow.
int memory_append(FILE* stream, const void* data, size_t count);

}  // namespace nuv::stdio

#endif
