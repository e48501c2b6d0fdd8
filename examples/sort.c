/* sort [-r] [FILE...]: prints the lines of the files (or of standard input)
 * in byte order, or in reverse order with -r. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int reverse;

static int by_bytes(const void* a, const void* b) {
    int c = strcmp(*(char* const*)a, *(char* const*)b);
    return reverse ? -c : c;
}

int main(int argc, char** argv) {
    char** lines = NULL;
    size_t n = 0, cap = 0;
    int i = 1, status = 0;
    if (i < argc && strcmp(argv[i], "-r") == 0) {
        reverse = 1;
        ++i;
    }
    int nfiles = argc - i;
    for (int f = 0; f < (nfiles > 0 ? nfiles : 1); ++f) {
        const char* name = nfiles > 0 ? argv[i + f] : "-";
        FILE* in = fopen(name, "r");
        if (in == NULL) {
            fprintf(stderr, "sort: %s: cannot open\n", name);
            status = 2;
            continue;
        }
        char line[4096];
        while (fgets(line, sizeof line, in) != NULL) {
            size_t len = strlen(line);
            if (len > 0 && line[len - 1] == '\n') line[len - 1] = 0;
            if (n == cap) {
                cap = cap ? 2 * cap : 64;
                lines = realloc(lines, cap * sizeof *lines);
            }
            if (lines == NULL || (lines[n] = strdup(line)) == NULL) {
                fputs("sort: out of memory\n", stderr);
                return 2;
            }
            ++n;
        }
        fclose(in);
    }
    qsort(lines, n, sizeof *lines, by_bytes);
    for (size_t k = 0; k < n; ++k) puts(lines[k]);
    return status;
}
