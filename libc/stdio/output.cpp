// Stream records, the standard streams and unbuffered output.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "src/trap.h"
#include "stdio/internal.h"

#pragma weak nuv_stdio_memory_append

static_assert(sizeof(FILE) == 44, "FILE is eleven 32-bit fields");
static_assert(__builtin_offsetof(FILE, eof) == 40, "FILE field order");

extern "C" {
FILE g_stdin = {STREAM_FD, 0, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
FILE g_stdout = {STREAM_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
FILE g_stderr = {STREAM_FD, 1, nullptr, nullptr, 0, 0, nullptr, nullptr, 0, 0, 0};
FILE* stdin = &g_stdin;
FILE* stdout = &g_stdout;
FILE* stderr = &g_stderr;
}

namespace {

// Hands count (> 0) bytes to descriptor 1, in as many write calls as it takes;
// 0, or -1 at the first result of 0 or less (what went before stays written).
// Each call asks for the bytes still to go, at most 2^31 - 1 of them. The
// loop ends as soon as the kernel reports at least what is still to go, so a
// result larger than the request counts as "all written" and is never used
// to read further.
inline int write_out(const char* bytes, size_t count) {
    for (;;) {
        int r = nuv::sys_write(1, bytes, count);
        if (r <= 0) return -1;
        size_t done = static_cast<size_t>(r);
        if (done >= count) return 0;
        bytes += done;
        count -= done;
    }
}

// The same loop for count between 1 and 2^31 - 1, which every request then
// fits: nothing to clamp.
inline int write_out_fitting(const char* bytes, size_t count) {
    unsigned at = nuv::word(bytes);
    for (;;) {
        int r = nuv::trap3(NUV_SYS_write, 1, at, count);
        if (r <= 0) return -1;
        size_t done = static_cast<size_t>(r);
        if (done >= count) return 0;
        at += done;
        count -= done;
    }
}

// Appends to a stream of another kind than STREAM_FD. Only the unit that
// makes memory-backed streams links the append rule in; without it no record
// of another kind can exist, and writing to one fails. Out of line, so that
// the descriptor path keeps its registers to itself.
__attribute__((noinline)) int append(FILE* stream, const void* data, size_t count) {
    if (nuv_stdio_memory_append == nullptr) return -1;
    return nuv_stdio_memory_append(stream, data, count);
}

// file_write_bytes after its null tests: count (> 0) bytes to a stream.
template <int (*write_fd)(const char*, size_t)>
inline int deliver(FILE* stream, const void* data, size_t count) {
    if (stream->kind != STREAM_FD) return append(stream, data, count);
    // Only descriptor 1 accepts output through a stream.
    if (stream->fd != 1) return -1;
    return write_fd(static_cast<const char*>(data), count);
}

// The rare counts, 0 and 2^31 or more, out of the common path.
__attribute__((noinline, cold)) int deliver_rare(FILE* stream, const void* data, size_t count) {
    if (count == 0) return 0;
    return deliver<write_out>(stream, data, count);
}

}  // namespace

// The one writer every output function ends in; kept out of line (and
// uncloned) so that there is exactly one, under its own name.
extern "C" __attribute__((noinline, noclone)) int file_write_bytes(FILE* stream, const void* data,
                                                                   size_t count) {
    if (stream == nullptr || data == nullptr) return -1;
    if (count - 1 >= 0x7fffffffu) return deliver_rare(stream, data, count);
    return deliver<write_out_fitting>(stream, data, count);
}

extern "C" size_t fwrite(const void* ptr, size_t size, size_t nmemb, FILE* stream) {
    if (ptr == nullptr || stream == nullptr || size == 0 || nmemb == 0) return 0;
    size_t total;
    if (__builtin_mul_overflow(size, nmemb, &total)) return 0;
    return file_write_bytes(stream, ptr, total) == 0 ? nmemb : 0;
}

extern "C" int fputc(int c, FILE* stream) {
    unsigned char byte = static_cast<unsigned char>(c);
    return file_write_bytes(stream, &byte, 1) == 0 ? c : -1;
}

extern "C" int fputs(const char* s, FILE* stream) {
    if (s == nullptr) return -1;
    size_t n = strlen(s);
    return file_write_bytes(stream, s, n) == 0 ? static_cast<int>(n) : -1;
}

extern "C" int putchar(int c) {
    return fputc(c, stdout);
}

extern "C" int puts(const char* s) {
    // The text, then the newline, each to the stream stdout names at that
    // moment; no newline when the text failed. A null s needs no test of its
    // own: strlen counts it as no string (0), and file_write_bytes refuses
    // null data before anything else, so the result is -1 with nothing
    // written.
    static const char newline = '\n';
    if (file_write_bytes(stdout, s, strlen(s)) != 0) return -1;
    return file_write_bytes(stdout, &newline, 1);
}

extern "C" int fflush(FILE*) {
    return 0;
}

extern "C" void setbuf(FILE*, char*) {}
