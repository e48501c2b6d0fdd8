// diskfill STEP...: grows files under the root and prints each result, for
// the run's disk budget. Steps, in order:
//   warm N                   N calls that write nothing (to standard output)
//   write FILE CHUNK COUNT   opens FILE afresh and writes COUNT pieces of
//                            CHUNK bytes; then 4 bytes over its start and one
//                            more past its end
//   whole FILE SIZE          replaces FILE with SIZE bytes (writefile)
//   mkdir DIR                makes a directory
//   spawn STEP...            runs this image with the remaining steps as a
//                            child and waits for it
// The bytes written at a file's offset k are 'a' + k % 26. What it prints is
// held until it ends or spawns, so that only the steps make calls.
#include <fcntl.h>
#include <unistd.h>

#include "text.h"

namespace {

char g_buf[65536];
char g_out[4096];
int g_out_len = 0;

void add(const char* s) {
    while (*s != 0 && g_out_len < static_cast<int>(sizeof g_out)) g_out[g_out_len++] = *s++;
}

// "what = result" on a line of the held output; gives the result back.
int note(const char* what, int result) {
    add(what);
    add(" = ");
    char digits[12];
    int n = 0;
    unsigned u = result < 0 ? 0u - static_cast<unsigned>(result) : static_cast<unsigned>(result);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (result < 0) add("-");
    char number[12];
    for (int i = 0; i < n; ++i) number[i] = digits[n - 1 - i];
    number[n] = 0;
    add(number);
    add("\n");
    return result;
}

void flush() {
    write(1, g_out, static_cast<size_t>(g_out_len));
    g_out_len = 0;
}

bool same(const char* a, const char* b) {
    return strcmp(a, b) == 0;
}

void fill(int from, int n) {
    for (int j = 0; j < n; ++j) g_buf[j] = static_cast<char>('a' + (from + j) % 26);
}

void write_pieces(const char* file, int chunk, int count) {
    int fd = note("open", open(file, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    int at = 0;
    for (int i = 0; i < count; ++i) {
        fill(at, chunk);
        int r = note("write", write(fd, g_buf, static_cast<size_t>(chunk)));
        if (r > 0) at += r;
    }
    // Over bytes the file holds: nothing new.
    note("seek", lseek(fd, 0, SEEK_SET));
    fill(0, 4);
    note("overwrite", write(fd, g_buf, 4));
    note("seek", lseek(fd, 0, SEEK_END));
    note("past the end", write(fd, g_buf, 1));
    close(fd);
}

}  // namespace

extern "C" int main(int argc, char** argv) {
    for (int i = 1; i < argc;) {
        const char* step = argv[i];
        int left = argc - i;
        if (same(step, "warm") && left >= 2) {
            for (int n = to_number(argv[i + 1]); n > 0; --n) write(1, "", 0);
            i += 2;
        } else if (same(step, "write") && left >= 4) {
            write_pieces(argv[i + 1], to_number(argv[i + 2]), to_number(argv[i + 3]));
            i += 4;
        } else if (same(step, "whole") && left >= 3) {
            int size = to_number(argv[i + 2]);
            fill(0, size);
            note("writefile", writefile(argv[i + 1], g_buf, static_cast<size_t>(size)));
            i += 3;
        } else if (same(step, "mkdir") && left >= 2) {
            note("mkdir", mkdir(argv[i + 1]));
            i += 2;
        } else if (same(step, "spawn")) {
            // The child's argument 0 is "spawn"; its steps follow.
            flush();
            int pid = spawn(argv[0], argv + i, left);
            int status = -1;
            if (pid > 0) waitpid(pid, &status, 0);
            note("child", pid > 0 ? status : pid);
            flush();
            return 0;
        } else {
            add("diskfill: bad step ");
            add(step);
            add("\n");
            flush();
            return 2;
        }
    }
    flush();
    return 0;
}
