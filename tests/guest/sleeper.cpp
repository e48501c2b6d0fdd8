// sleeper [SECONDS]: sleeps (1 second without an argument), then says so.
// sleeper -u MICROSECONDS: sleeps that many microseconds.
#include <string.h>
#include <unistd.h>

#include "text.h"

extern "C" int main(int argc, char** argv) {
    if (argc > 2 && strcmp(argv[1], "-u") == 0) {
        usleep(static_cast<unsigned>(to_number(argv[2])));
    } else {
        sleep(argc > 1 ? static_cast<unsigned>(to_number(argv[1])) : 1u);
    }
    say(1, "slept\n");
    return 0;
}
