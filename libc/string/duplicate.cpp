// Copies of strings in the heap, owned by the caller.
#include <stdlib.h>
#include <string.h>

namespace {

// A heap block holding the first len bytes of s and a NUL after them.
char* heap_copy(const char* s, size_t len) {
    char* p = static_cast<char*>(malloc(len + 1));
    if (p == nullptr) return nullptr;  // malloc has set errno to 12
    memcpy(p, s, len);
    p[len] = 0;
    return p;
}

}  // namespace

extern "C" char* strdup(const char* s) {
    if (s == nullptr) return nullptr;
    // strlen counts a pointer below 4096 as the empty string; the NUL is
    // written rather than copied, so such a pointer is never read.
    return heap_copy(s, strlen(s));
}

extern "C" char* strndup(const char* s, size_t n) {
    if (s == nullptr) return nullptr;
    // strnlen gives 0 without reading s for n 0 or s below 4096.
    return heap_copy(s, strnlen(s, n));
}
