// Creating and closing streams. Records come zero-filled from calloc; a
// write-file stream touches no file until fclose writes it whole.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "stdio/internal.h"

// The streams made here collect their bytes by the append rule, which
// file_write_bytes reaches only through a weak reference: link it in.
asm(".globl nuv_stdio_memory_append");

namespace {

inline FILE* new_record() {
    return static_cast<FILE*>(calloc(1, sizeof(FILE)));
}

}  // namespace

extern "C" FILE* fopen(const char* path, const char* mode) {
    if (mode == nullptr) return nullptr;
    // Only the first character of the mode counts.
    const char kind = mode[0];
    if (path == nullptr || strcmp(path, "-") == 0) {
        if (kind == 'r') return stdin;
        if (kind == 'w') return stdout;
        return nullptr;
    }
    if (kind == 'r') {
        int fd = open(path, O_RDONLY, 0);
        if (fd < 0) return nullptr;
        FILE* f = new_record();
        if (f == nullptr) {
            close(fd);
            return nullptr;
        }
        f->kind = STREAM_FD;
        f->fd = fd;
        return f;
    }
    if (kind == 'w') {
        FILE* f = new_record();
        if (f == nullptr) return nullptr;
        f->kind = STREAM_WRITEFILE;
        f->path = strdup(path);
        if (f->path == nullptr) {
            free(f);
            return nullptr;
        }
        return f;
    }
    return nullptr;
}

extern "C" FILE* open_memstream(char** bufp, size_t* sizep) {
    if (bufp == nullptr || sizep == nullptr) return nullptr;
    FILE* f = new_record();
    if (f == nullptr) return nullptr;
    f->kind = STREAM_MEMSTREAM;
    f->out_buf = bufp;
    f->out_len = sizep;
    *bufp = nullptr;
    *sizep = 0;
    return f;
}

extern "C" int fclose(FILE* stream) {
    if (stream == nullptr) return -1;
    // The standard streams are never closed or freed.
    if (stream == stdin || stream == stdout || stream == stderr) return 0;
    int result = 0;
    switch (stream->kind) {
        case STREAM_FD:
            if (stream->fd > 2) result = close(stream->fd);
            break;
        case STREAM_WRITEFILE:
            if (stream->path == nullptr) {
                result = -1;
            } else {
                // A stream that was never written still writes an empty file.
                const char* bytes = stream->buf != nullptr ? stream->buf : "";
                result = writefile(stream->path, bytes, stream->len) < 0 ? -1 : 0;
            }
            break;
        default:
            // A memory stream's buffer now belongs to the caller.
            break;
    }
    if (stream->kind != STREAM_MEMSTREAM && stream->buf != nullptr) free(stream->buf);
    if (stream->path != nullptr) free(stream->path);
    free(stream);
    return result;
}
