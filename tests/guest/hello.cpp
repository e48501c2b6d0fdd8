// hello [TEXT [STATUS]]: writes TEXT (or "hello") and a newline, ends with STATUS.
// hello -cat: copies standard input to standard output.
// hello -drain: reads standard input to its end and writes how many bytes came.
// hello -spin: never ends.
// hello -rand: writes three numbers from the self-seeding generator.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "text.h"

extern "C" int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "hello";
    if (strcmp(mode, "-cat") == 0 || strcmp(mode, "-drain") == 0) {
        char buf[512];
        int total = 0;
        for (;;) {
            int n = read(0, buf, sizeof buf);
            if (n <= 0) break;
            total += n;
            if (mode[1] == 'c') write(1, buf, static_cast<size_t>(n));
        }
        if (mode[1] == 'd') {
            say_number(1, total);
            say(1, "\n");
        }
        return 0;
    }
    if (strcmp(mode, "-rand") == 0) {
        for (int i = 0; i < 3; ++i) {
            say_number(1, rand());
            say(1, i < 2 ? " " : "\n");
        }
        return 0;
    }
    if (strcmp(mode, "-spin") == 0) {
        for (;;) asm volatile("");
    }
    say(1, mode);
    say(1, "\n");
    return argc > 2 ? to_number(argv[2]) : 0;
}
