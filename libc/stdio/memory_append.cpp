// Placeholder until the heap exists: memory-backed streams cannot grow yet.
#include "stdio/internal.h"

namespace nuv::stdio {

int memory_append(FILE*, const void*, size_t) {
    return -1;
}

}  // namespace nuv::stdio
