// wc [FILE...]: counts lines, words and bytes of each file (or of standard
// input) and, for several files, their total. A C++ command: the counters are
// objects made with new.
#include <ctype.h>
#include <stdio.h>
#include <unistd.h>

#include "util.h"

namespace {

struct Counts {
    unsigned lines = 0, words = 0, bytes = 0;
    bool in_word = false;

    void add(const char* p, int n) {
        bytes += static_cast<unsigned>(n);
        for (int i = 0; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(p[i]);
            if (c == '\n') ++lines;
            bool space = isspace(c) != 0;
            if (!space && !in_word) ++words;
            in_word = !space;
        }
    }
    void print(const char* name) const {
        char line[80];
        snprintf(line, sizeof line, "%7u %7u %7u", lines, words, bytes);
        if (name != nullptr)
            printf("%s %s\n", line, name);
        else
            printf("%s\n", line);
    }
};

bool count(int fd, Counts& c) {
    char* buf = new char[4096];
    int n;
    while ((n = read(fd, buf, 4096)) > 0) c.add(buf, n);
    delete[] buf;
    return n == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Counts* c = new Counts;
        bool ok = count(0, *c);
        c->print(nullptr);
        delete c;
        return ok ? 0 : 1;
    }
    Counts total;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        int fd = open_input("wc", argv[i]);
        if (fd < 0) {
            status = 1;
            continue;
        }
        Counts* c = new Counts;
        if (!count(fd, *c)) status = 1;
        if (fd > 0) close(fd);
        c->print(argv[i]);
        total.lines += c->lines;
        total.words += c->words;
        total.bytes += c->bytes;
        delete c;
    }
    if (argc > 2) total.print("total");
    return status;
}
