// The library's memory and string functions in sanitized links
// (-Wl,--wrap=memcpy and the rest): the library itself is not instrumented,
// so its copies are checked here, before they are made, as the compiler
// checks the program's own loads and stores.
#include <stddef.h>
#include <stdint.h>

#include "internal.h"

extern "C" {
void* __real_memmove(void* to, const void* from, size_t n);
char* __real_strcpy(char* to, const char* from);
char* __real_strcat(char* to, const char* from);
size_t __real_strlen(const char* s);
}

namespace {

inline uint32_t at(const void* p) {
    return reinterpret_cast<uint32_t>(p);
}

}  // namespace

extern "C" void* __wrap_memcpy(void* to, const void* from, size_t n) {
    nuvsan::check_access(at(from), n, false);
    nuvsan::check_access(at(to), n, true);
    return __real_memcpy(to, from, n);
}

extern "C" void* __wrap_memmove(void* to, const void* from, size_t n) {
    nuvsan::check_access(at(from), n, false);
    nuvsan::check_access(at(to), n, true);
    return __real_memmove(to, from, n);
}

extern "C" void* __wrap_memset(void* to, int c, size_t n) {
    nuvsan::check_access(at(to), n, true);
    return __real_memset(to, c, n);
}

// The string's bytes with its NUL are checked once it has been measured.
extern "C" size_t __wrap_strlen(const char* s) {
    size_t n = __real_strlen(s);
    nuvsan::check_access(at(s), n + 1, false);
    return n;
}

extern "C" char* __wrap_strcpy(char* to, const char* from) {
    size_t n = __real_strlen(from) + 1;
    nuvsan::check_access(at(from), n, false);
    nuvsan::check_access(at(to), n, true);
    return __real_strcpy(to, from);
}

extern "C" char* __wrap_strcat(char* to, const char* from) {
    size_t had = __real_strlen(to), n = __real_strlen(from) + 1;
    nuvsan::check_access(at(to), had + 1, false);
    nuvsan::check_access(at(from), n, false);
    nuvsan::check_access(at(to) + had, n, true);
    return __real_strcat(to, from);
}
