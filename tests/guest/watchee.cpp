// watchee: writes a counter through a helper, then reads a limit that
// nothing writes, and prints both; for watchpoints. watchee spin: computes
// for ever without a call; watchee sleep: waits in a call for a minute;
// watchee read: waits for a byte of standard input; watchee wait IMAGE
// MODE: waits for a child (IMAGE MODE) that never ends; for a debugger's
// interruption. Built without optimisation and with debug
// information.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

extern "C" {

volatile int counter = 0;
volatile int limit = 7;
volatile unsigned spins = 0;

void bump(int by) {
    counter = counter + by;
}

int twice_limit() {
    return limit * 2;
}

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "spin") == 0) {
        for (;;) spins = spins + 1;
    }
    if (argc > 1 && strcmp(argv[1], "sleep") == 0) return sleep(60);
    if (argc > 1 && strcmp(argv[1], "read") == 0) {
        char c = 0;
        return static_cast<int>(read(0, &c, 1));
    }
    if (argc > 3 && strcmp(argv[1], "wait") == 0) {
        char* child[] = {argv[2], argv[3], nullptr};
        int status = 0;
        return waitpid(spawn(argv[2], child, 2), &status, 0) < 0 ? 1 : status;
    }
    bump(5);
    int doubled = twice_limit();
    printf("%d %d\n", counter, doubled);
    return 0;
}
}
