// Reading a line from a descriptor stream. Nothing is buffered in the stream,
// so fgets must never take bytes past the end of the line away from the next
// reader of the descriptor: on a descriptor that can be positioned it reads a
// chunk and steps back over what followed the newline; on any other (the
// console, a pipe) it reads one byte per read call.
#include <stdio.h>
#include <unistd.h>

namespace {

inline void advance(FILE* f, int count) {
    f->pos = static_cast<int>(static_cast<unsigned>(f->pos) + static_cast<unsigned>(count));
}

// Index just past the first newline in p[0, n), or -1.
int after_newline(const char* p, int n) {
    for (int i = 0; i < n; ++i)
        if (p[i] == '\n') return i + 1;
    return -1;
}

}  // namespace

extern "C" char* fgets(char* s, int size, FILE* stream) {
    if (s == nullptr || stream == nullptr || size <= 0 || stream->kind != STREAM_FD) return nullptr;
    const int want = size - 1;
    int got = 0;
    if (want > 0 && lseek(stream->fd, 0, SEEK_CUR) >= 0) {
        while (got < want) {
            int r = read(stream->fd, s + got, static_cast<size_t>(want - got));
            if (r <= 0) {
                stream->eof = 1;
                break;
            }
            if (r > want - got) r = want - got;  // a kernel that claims too much
            int end = after_newline(s + got, r);
            if (end >= 0) {
                // Give back what came after the newline; should that fail, the
                // line keeps it rather than losing it.
                if (end < r && lseek(stream->fd, end - r, SEEK_CUR) >= 0) r = end;
                got += r;
                break;
            }
            got += r;
        }
    } else {
        while (got < want) {
            int r = read(stream->fd, s + got, 1);
            if (r <= 0) {
                stream->eof = 1;
                break;
            }
            ++got;
            if (s[got - 1] == '\n') break;
        }
    }
    advance(stream, got);
    // End of input before any byte leaves the array as it was.
    if (got == 0 && want > 0) return nullptr;
    s[got] = 0;
    return s;
}
