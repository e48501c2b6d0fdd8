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
inline int write_out(const char* bytes, size_t count) {
    int r;
    while ((r = nuv::sys_write(1, bytes, count)) > 0) {
        bytes += r;
        count -= static_cast<size_t>(r);
        if (count == 0) return 0;
    }
    return -1;
}

}  // namespace

namespace {

// Appends to a stream of another kind than STREAM_FD. Only the unit that
// makes memory-backed streams links the append rule in; without it no record
// of another kind can exist, and writing to one fails.
inline int append(FILE* stream, const void* data, size_t count) {
    if (nuv_stdio_memory_append == nullptr) return -1;
    return nuv_stdio_memory_append(stream, data, count);
}

// file_write_bytes after its argument checks: count (> 0) bytes to a stream.
inline int deliver(FILE* stream, const void* data, size_t count) {
    if (stream->kind != STREAM_FD) return append(stream, data, count);
    // Only descriptor 1 accepts output through a stream.
    if (stream->fd != 1) return -1;
    return write_out(static_cast<const char*>(data), count);
}

}  // namespace

extern "C" int file_write_bytes(FILE* stream, const void* data, size_t count) {
    if (stream == nullptr || data == nullptr) return -1;
    if (count == 0) return 0;
    return deliver(stream, data, count);
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
    if (s == nullptr) return -1;
    // What file_write_bytes does, spelled out: the text, then the newline,
    // each to the stream that stdout names at that moment.
    static const char newline = '\n';
    size_t n = strlen(s);
    FILE* out = stdout;
    if (out == nullptr) return -1;
    if (out->kind != STREAM_FD) {
        if (n != 0 && append(out, s, n) != 0) return -1;
    } else if (out->fd != 1) {
        if (n != 0) return -1;  // only descriptor 1 accepts output
    } else if (n != 0 && write_out(s, n) != 0) {
        return -1;
    }
    out = stdout;
    if (out == nullptr) return -1;
    if (out->kind != STREAM_FD) return append(out, &newline, 1);
    // One byte: a single write call delivers it or fails.
    return out->fd == 1 && nuv::sys_write(1, &newline, 1) > 0 ? 0 : -1;
}

extern "C" int fflush(FILE*) {
    return 0;
}

extern "C" void setbuf(FILE*, char*) {}
