// Stream records, the standard streams and unbuffered output.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "src/trap.h"
#include "stdio/internal.h"

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

extern "C" int file_write_bytes(FILE* stream, const void* data, size_t count) {
    if (stream == nullptr || data == nullptr) return -1;
    if (count == 0) return 0;
    if (stream->kind != STREAM_FD) return nuv::stdio::memory_append(stream, data, count);
    // Only descriptor 1 accepts output through a stream.
    if (stream->fd != 1) return -1;
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < count) {
        int r = nuv::sys_write(1, bytes + done, count - done);
        if (r <= 0) return -1;
        done += static_cast<size_t>(r);
    }
    return 0;
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
    if (file_write_bytes(stdout, s, strlen(s)) != 0) return -1;
    const char newline = '\n';
    return file_write_bytes(stdout, &newline, 1) == 0 ? 0 : -1;
}

extern "C" int fflush(FILE*) {
    return 0;
}

extern "C" void setbuf(FILE*, char*) {}
