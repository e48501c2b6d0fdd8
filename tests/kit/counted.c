/* counted N [spawn | crash]: prints the sum of 0 .. N-1; with "spawn" a child
 * (the same image, "counted N") prints it first; with "crash" it then writes
 * through a null pointer. Built with nuvos-cc --coverage by coverage_test,
 * which checks gcov's counts of the marked lines. */
#include <nuvos/meta.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

NUV_COMMAND_RECORD(0, "counted", "Sum 0 .. N-1, in a child too.");
NUV_PACKAGE_RECORD(0, "tests", "1");

static int sum(int n) {
    int s = 0;
    for (int i = 0; i < n; i++) {
        s += i; /* LOOP */
    }
    return s;
}

int main(int argc, char** argv) {
    int n = argc > 1 ? atoi(argv[1]) : 0; /* MAIN */
    if (argc > 2 && strcmp(argv[2], "spawn") == 0) {
        char* args[] = {argv[0], argv[1]};
        int status = -1;
        int pid = spawn(argv[0], args, 2); /* SPAWN */
        if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) return 3;
    }
    printf("%d\n", sum(n));
    if (argc > 2 && strcmp(argv[2], "crash") == 0) {
        *(volatile int*)0 = 1; /* CRASH */
    }
    return 0; /* RETURN */
}
