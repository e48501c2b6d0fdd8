/* grep -F [-i] [-v] [-c] [-n] PATTERN [FILE...]: prints the lines that contain
 * PATTERN as a fixed string. Exit status 0 when a line was selected, 1 when
 * none was, 2 on bad usage or an unreadable file. Lines longer than 4095 bytes
 * are looked at in pieces. */
#include <ctype.h>
#include <stdio.h>
#include <string.h>

static int ignore_case, invert, count_only, numbers;

/* Whether line contains pattern, byte for byte or ignoring ASCII case. */
static int contains(const char* line, const char* pattern) {
    if (!ignore_case) return strstr(line, pattern) != NULL;
    size_t n = strlen(pattern);
    for (; *line; ++line) {
        size_t i = 0;
        while (i < n && line[i] &&
               tolower((unsigned char)line[i]) == tolower((unsigned char)pattern[i]))
            ++i;
        if (i == n) return 1;
    }
    return n == 0;
}

static int search(FILE* in, const char* name, const char* pattern, int show_name) {
    char line[4096];
    unsigned number = 0, selected = 0;
    int at_start = 1;
    while (fgets(line, sizeof line, in) != NULL) {
        if (at_start) ++number;
        size_t len = strlen(line);
        at_start = len > 0 && line[len - 1] == '\n';
        if (contains(line, pattern) == invert) continue;
        ++selected;
        if (count_only) continue;
        if (show_name) printf("%s:", name);
        if (numbers) printf("%u:", number);
        fputs(line, stdout);
        if (!at_start) putchar('\n');
    }
    if (count_only) {
        if (show_name) printf("%s:", name);
        printf("%u\n", selected);
    }
    return selected > 0;
}

int main(int argc, char** argv) {
    int i = 1, fixed = 0;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] != 0; ++i) {
        for (const char* o = argv[i] + 1; *o; ++o) {
            switch (*o) {
                case 'F':
                    fixed = 1;
                    break;
                case 'i':
                    ignore_case = 1;
                    break;
                case 'v':
                    invert = 1;
                    break;
                case 'c':
                    count_only = 1;
                    break;
                case 'n':
                    numbers = 1;
                    break;
                default:
                    fputs("usage: grep -F [-i] [-v] [-c] [-n] PATTERN [FILE...]\n", stderr);
                    return 2;
            }
        }
    }
    if (!fixed || i >= argc) {
        fputs("usage: grep -F [-i] [-v] [-c] [-n] PATTERN [FILE...]\n", stderr);
        return 2;
    }
    const char* pattern = argv[i++];
    if (i == argc) return search(stdin, "-", pattern, 0) ? 0 : 1;
    int found = 0, failed = 0;
    int show_name = argc - i > 1;
    for (; i < argc; ++i) {
        FILE* in = fopen(argv[i], "r");
        if (in == NULL) {
            fprintf(stderr, "grep: %s: cannot open\n", argv[i]);
            failed = 1;
            continue;
        }
        found |= search(in, argv[i], pattern, show_name);
        fclose(in);
    }
    return failed ? 2 : found ? 0 : 1;
}
