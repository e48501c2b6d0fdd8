// ASCII character classes. A value outside 0 to 127 (EOF and every byte from
// 128 up) is in no class, and tolower and toupper hand it back unchanged.
#include <ctype.h>

namespace {

inline bool in(int c, int lo, int hi) {
    return c >= lo && c <= hi;
}

}  // namespace

extern "C" {

int isdigit(int c) {
    return in(c, '0', '9');
}
int isupper(int c) {
    return in(c, 'A', 'Z');
}
int islower(int c) {
    return in(c, 'a', 'z');
}
int isalpha(int c) {
    return isupper(c) || islower(c);
}
int isalnum(int c) {
    return isalpha(c) || isdigit(c);
}
int isxdigit(int c) {
    return isdigit(c) || in(c, 'a', 'f') || in(c, 'A', 'F');
}
int isblank(int c) {
    return c == ' ' || c == '\t';
}
// Space, tab, newline, vertical tab, form feed and carriage return.
int isspace(int c) {
    return c == ' ' || in(c, '\t', '\r');
}
int iscntrl(int c) {
    return in(c, 0, 31) || c == 127;
}
int isprint(int c) {
    return in(c, 32, 126);
}
int isgraph(int c) {
    return in(c, 33, 126);
}
int ispunct(int c) {
    return isgraph(c) && !isalnum(c);
}
int isascii(int c) {
    return in(c, 0, 127);
}
int tolower(int c) {
    return isupper(c) ? c + ('a' - 'A') : c;
}
int toupper(int c) {
    return islower(c) ? c - ('a' - 'A') : c;
}

}  // extern "C"
