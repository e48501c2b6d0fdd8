// dirs: makes a small tree, moves around in it, writes a file in pieces and
// removes everything again, printing each call and its result.
#include <unistd.h>

#include "text.h"

namespace {

void show_cwd() {
    char buf[128];
    int r = getcwd(buf, sizeof buf);
    say(1, "cwd ");
    if (r >= 0) {
        say(1, buf);
    } else {
        say_number(1, r);
    }
    say(1, "\n");
}

}  // namespace

extern "C" int main(int, char**) {
    show("mkdir work", mkdir("work", 0755));
    show("mkdir work again", mkdir("work", 0755));
    show("mkdir work/sub", mkdir("work/sub"));
    show("chdir work", chdir("work"));
    show_cwd();
    int s = show("stream_begin sub/notes", nuvfs_stream_begin("sub/notes"));
    show("stream_write", nuvfs_stream_write(s, "first ", 6));
    show("access before end", access("sub/notes"));
    show("stream_write", nuvfs_stream_write(s, "second\n", 7));
    show("stream_end", nuvfs_stream_end(s));
    show("access after end", access("sub/notes"));
    show("rmdir sub (not empty)", rmdir("sub"));
    show("unlink sub/notes", unlink("sub/notes"));
    show("unlink sub/notes again", unlink("sub/notes"));
    show("mkfifo sub/fifo", mkfifo("sub/fifo"));
    show("unlink sub/fifo", unlink("sub/fifo"));
    show("chdir sub", chdir("sub"));
    show_cwd();
    show("chdir ../..", chdir("../.."));
    show_cwd();
    show("chdir .. (at the root)", chdir(".."));
    show_cwd();
    show("rmdir work/sub", rmdir("work/sub"));
    show("rmdir work", rmdir("work"));
    show("rmdir work again", rmdir("work"));
    return 0;
}
