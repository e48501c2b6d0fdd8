// io_probe: reads and writes on each kind of descriptor a command meets, a
// byte at a time where commands do, and prints each result: standard input
// to its end, a file it writes, moves in and reads back (also into memory it
// does not have), a descriptor opened the other way, closed ones, and a pipe
// of its own. Standard input's bytes are counted and summed.
#include <fcntl.h>
#include <unistd.h>

#include "text.h"

namespace {

void show_bytes(const char* what, const char* bytes, int n) {
    say(1, what);
    say(1, ": ");
    if (n > 0) write(1, bytes, static_cast<size_t>(n));
    say(1, "\n");
}

}  // namespace

extern "C" int main(int, char**) {
    for (int i = 0; i < 100; ++i) write(1, "", 0);
    char c = 0;
    int n = 0;
    int sum = 0;
    while (read(0, &c, 1) == 1) {
        ++n;
        sum = (sum * 31 + static_cast<unsigned char>(c)) & 0xFFFFFF;
    }
    show("stdin bytes", n);
    show("stdin sum", sum);

    int w = show("open for writing", open("io.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644));
    for (int i = 0; i < 300; ++i) write(w, "abcdefghij" + i % 10, 1);
    show("seek", lseek(w, 5, SEEK_SET));
    show("write", write(w, "XY", 2));
    show("read on a write-only", read(w, &c, 1));
    close(w);

    char buf[16];
    int r = show("open for reading", open("io.txt", O_RDONLY));
    show_bytes("first", buf, show("read", read(r, buf, 8)));
    show("seek back", lseek(r, -2, SEEK_CUR));
    show_bytes("again", buf, show("read", read(r, buf, 2)));
    show("seek before the start", lseek(r, -100, SEEK_CUR));
    show("where", lseek(r, 0, SEEK_CUR));
    show("seek from the end", lseek(r, -3, SEEK_END));
    show_bytes("last", buf, show("read", read(r, buf, sizeof buf)));
    show("read at the end", read(r, buf, sizeof buf));
    show("seek", lseek(r, 0, SEEK_SET));
    show("read into nothing", read(r, reinterpret_cast<char*>(16), 4));
    show_bytes("then", buf, show("read", read(r, buf, 4)));
    show("write from nothing", write(1, reinterpret_cast<char*>(16), 4));
    show("write on a read-only", write(r, "z", 1));
    close(r);
    show("read on a closed one", read(r, buf, 1));
    show("write on a never opened one", write(9, "z", 1));

    int p[2] = {-1, -1};
    show("pipe", pipe(p));
    show("write to the pipe", write(p[1], "pipe", 4));
    show_bytes("from the pipe", buf, show("read", read(p[0], buf, sizeof buf)));
    return 0;
}
