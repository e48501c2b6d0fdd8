/* calc: adds the whole numbers on standard input and prints their sum; at
 * most CALC_MAX_NUMBERS of them (a definition the build may set). */
#include <stdio.h>

#ifndef CALC_MAX_NUMBERS
#define CALC_MAX_NUMBERS 1000
#endif

int main(void) {
    long long sum = 0;
    int count = 0;
    int value;
    int got;
    /* scanf reads one token per call: -1 at the end of the input, 0 for a
     * token that is not a number. */
    while ((got = scanf("%d", &value)) != EOF) {
        if (got != 1) {
            puts("calc: not a number");
            return 2;
        }
        if (++count > CALC_MAX_NUMBERS) {
            printf("calc: more than %d numbers\n", CALC_MAX_NUMBERS);
            return 1;
        }
        sum += value;
    }
    printf("%lld\n", sum);
    return 0;
}
