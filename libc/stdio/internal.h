// Internal interfaces between the parts of the stdio unit.
#ifndef NUV_LIBC_STDIO_INTERNAL_H
#define NUV_LIBC_STDIO_INTERNAL_H

#include <stdio.h>

// Appends count (> 0) bytes to the heap buffer of a memory-backed stream.
// Returns 0, or -1 with the record unchanged when the buffer cannot grow.
//
// file_write_bytes refers to it only weakly, so an image that never makes a
// memory-backed stream carries neither it nor the heap and copy code it
// needs; the unit that makes such streams refers to it for real.
extern "C" int nuv_stdio_memory_append(FILE* stream, const void* data, size_t count);

#endif
