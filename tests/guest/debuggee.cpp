// debuggee: sums the squares of 1 to 4 through a helper and writes the sum;
// debuggee crash: reads through a null pointer two calls below main. Built
// without optimisation and with debug information, for a debugger to step
// through and for core files.
#include <string.h>
#include <unistd.h>

extern "C" {

int square(int n) {
    int result = n * n;
    return result;
}

int sum_squares(int count) {
    int total = 0;
    for (int i = 1; i <= count; ++i) total += square(i);
    return total;
}

int read_through(const int* p) {
    int value = *p;
    return value;
}

int crash_below(int depth) {
    return read_through(depth > 0 ? nullptr : &depth);
}

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "crash") == 0) return crash_below(1);
    int sum = sum_squares(4);
    char text[4] = {static_cast<char>('0' + sum / 10), static_cast<char>('0' + sum % 10), '\n', 0};
    write(1, text, 3);
    return sum == 30 ? 0 : 1;
}
}
