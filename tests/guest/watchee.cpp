// watchee: writes a counter through a helper, then reads a limit that
// nothing writes, and prints both; for watchpoints. watchee spin: computes
// for ever without a call; watchee sleep: waits in a call for a minute;
// for a debugger's interruption. Built without optimisation and with debug
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
    bump(5);
    int doubled = twice_limit();
    printf("%d %d\n", counter, doubled);
    return 0;
}
}
