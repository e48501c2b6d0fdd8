// The append rule of memory-backed streams: bytes collect in a heap buffer
// that grows from 256 bytes by doubling and always ends in a zero byte.
#include <stdlib.h>
#include <string.h>

#include "stdio/internal.h"

namespace {

constexpr size_t kFirstCapacity = 256;
// The largest capacity doubling from 256 can reach in 32 bits.
constexpr size_t kMaxCapacity = 0x80000000u;

}  // namespace

extern "C" int nuv_stdio_memory_append(FILE* stream, const void* data, size_t count) {
    // Room for the content, the new bytes and the zero byte after them. A
    // request whose total cannot be counted in 32 bits, or that lies beyond the
    // largest capacity doubling can reach, fails before anything is touched:
    // it could never be satisfied, and a wrapped total would under-allocate.
    size_t need;
    if (__builtin_add_overflow(stream->len, count, &need) || need >= kMaxCapacity) return -1;
    need += 1;

    if (stream->cap < need) {
        size_t cap = stream->cap == 0 ? kFirstCapacity : stream->cap;
        while (cap < need) cap *= 2;
        void* grown = realloc(stream->buf, cap);
        if (grown == nullptr) return -1;  // the heap has set errno
        stream->buf = static_cast<char*>(grown);
        stream->cap = cap;
    }

    memcpy(stream->buf + stream->len, data, count);
    stream->len += count;
    stream->buf[stream->len] = '\0';

    if (stream->kind == STREAM_MEMSTREAM && stream->out_buf != nullptr &&
        stream->out_len != nullptr) {
        *stream->out_buf = stream->buf;
        *stream->out_len = stream->len;
    }
    return 0;
}
