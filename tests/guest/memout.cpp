// memout: collects output in a memory stream, with puts going through stdout
// pointed at the stream, then writes what was collected to descriptor 1 and
// its length as the exit status. Linked like a command, not with the whole
// library.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

extern "C" int main() {
    char* buf = nullptr;
    size_t len = 0;
    FILE* m = open_memstream(&buf, &len);
    if (m == nullptr) return 100;
    FILE* saved = stdout;
    stdout = m;
    bool ok = puts("first") == 0 && puts("") == 0 && fputs("second", m) >= 0;
    stdout = saved;
    if (!ok || fclose(m) != 0 || buf == nullptr) return 101;
    write(1, buf, len);
    free(buf);
    return static_cast<int>(len);
}
