// Internal interfaces between the parts of the stdio unit.
#ifndef NUV_LIBC_STDIO_INTERNAL_H
#define NUV_LIBC_STDIO_INTERNAL_H

#include <stdio.h>

// The one writer that every output operation ends in: count bytes to the
// stream. 0 on success, -1 on failure (a null stream or data, a descriptor
// other than 1, a memory-backed buffer that cannot grow, a failed write).
extern "C" int file_write_bytes(FILE* stream, const void* data, size_t count);

// The buffer formatter's digits: value in base 10 or 16 (upper case when
// upper is nonzero), most significant first, not terminated; the count is
// stored through ndigits.
extern "C" void snbuf_render_unsigned(char* digits, int* ndigits, unsigned int value, int base,
                                      int upper);

// Appends count (> 0) bytes to the heap buffer of a memory-backed stream.
// Returns 0, or -1 with the record unchanged when the buffer cannot grow.
//
// file_write_bytes refers to it only weakly, so an image that never makes a
// memory-backed stream carries neither it nor the heap and copy code it
// needs; the unit that makes such streams refers to it for real.
extern "C" int nuv_stdio_memory_append(FILE* stream, const void* data, size_t count);

#endif
