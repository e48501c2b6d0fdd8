#include <fcntl.h>

#include "src/trap.h"

extern "C" int open(const char* path, int flags, ...) {
    if (path == nullptr) return -1;
    unsigned mode = 0;
    if (flags & O_CREAT) {
        __builtin_va_list ap;
        __builtin_va_start(ap, flags);
        mode = __builtin_va_arg(ap, unsigned);
        __builtin_va_end(ap);
    }
    return nuv::trap3(NUV_SYS_open, nuv::word(path), static_cast<unsigned>(flags), mode);
}

extern "C" int creat(const char* path, ...) {
    if (path == nullptr) return -1;
    return nuv::trap3(NUV_SYS_open, nuv::word(path), O_WRONLY | O_CREAT | O_TRUNC, 0);
}
