/* hot ROUNDS [IMAGE CHILD-ROUNDS]: spends nearly all its time in burn(),
 * called ROUNDS times by work() from main, for the profiles' tests; with
 * IMAGE, first spawns `IMAGE CHILD-ROUNDS` (a path in the root) and waits for
 * it. Compiled with debug information, as a user would profile it. */
#include <stdlib.h>
#include <unistd.h>

volatile unsigned g_sink;

__attribute__((noipa)) unsigned burn(unsigned n) {
    unsigned x = 1;
    for (unsigned i = 0; i < n; ++i) x = x * 1103515245u + i; /* HOT */
    return x;
}

__attribute__((noipa)) unsigned work(unsigned rounds) {
    unsigned total = 0;
    for (unsigned r = 0; r < rounds; ++r) total += burn(100000);
    return total;
}

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    if (argc > 3) {
        char *args[] = {argv[2], argv[3]};
        int pid = spawn(argv[2], args, 2);
        int status = -1;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) return 1;
    }
    g_sink = work((unsigned)atoi(argv[1]));
    return 0;
}
