// Reading and positioning descriptor streams. Each read makes exactly one
// read call; pos counts the bytes read since the last fseek or rewind.
#include <stdio.h>
#include <unistd.h>

namespace {

// pos wraps around rather than overflowing after 2 GiB of input.
inline void advance(FILE* f, int count) {
    f->pos = static_cast<int>(static_cast<unsigned>(f->pos) + static_cast<unsigned>(count));
}

inline bool is_descriptor(const FILE* f) {
    return f != nullptr && f->kind == STREAM_FD;
}

// Descriptors 0 to 2 cannot be positioned.
inline bool is_positionable(const FILE* f) {
    return is_descriptor(f) && f->fd > 2;
}

}  // namespace

extern "C" size_t fread(void* ptr, size_t size, size_t nmemb, FILE* stream) {
    if (ptr == nullptr || stream == nullptr || size == 0 || nmemb == 0) return 0;
    if (stream->kind != STREAM_FD) return 0;
    size_t total;
    if (__builtin_mul_overflow(size, nmemb, &total)) return 0;
    int got = read(stream->fd, ptr, total);
    if (got <= 0) {
        stream->eof = 1;
        return 0;
    }
    advance(stream, got);
    // A short read sets eof even though more data may arrive later.
    if (static_cast<size_t>(got) < total) stream->eof = 1;
    return static_cast<size_t>(got) / size;
}

extern "C" int fgetc(FILE* stream) {
    if (!is_descriptor(stream)) return -1;
    unsigned char byte = 0;
    int got = read(stream->fd, &byte, 1);
    if (got <= 0) {
        stream->eof = 1;
        return -1;
    }
    advance(stream, got);
    return byte;
}

extern "C" int getchar(void) {
    return fgetc(stdin);
}

extern "C" int fseek(FILE* stream, int offset, int whence) {
    if (!is_positionable(stream)) return -1;
    int at = lseek(stream->fd, offset, whence);
    if (at < 0) return -1;
    stream->eof = 0;
    stream->pos = at;
    return 0;
}

extern "C" int ftell(FILE* stream) {
    return is_positionable(stream) ? stream->pos : -1;
}

extern "C" void rewind(FILE* stream) {
    if (stream == nullptr) return;
    if (is_positionable(stream)) {
        int at = lseek(stream->fd, 0, SEEK_SET);
        if (at >= 0) stream->pos = at;
    }
    stream->error = 0;
    stream->eof = 0;
}

extern "C" int feof(FILE* stream) {
    return stream == nullptr ? 1 : stream->eof;
}

extern "C" int ferror(FILE* stream) {
    return stream == nullptr ? 1 : stream->error;
}
