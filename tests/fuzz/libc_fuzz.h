// The library's formatters, scanner and conversions built for the host under
// renamed public names (nuvfz_...), so that they can run beside the host's C
// library; and the host stand-ins for what they call.
#ifndef NUV_FUZZ_LIBC_FUZZ_H
#define NUV_FUZZ_LIBC_FUZZ_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

// The library's stream record, field for field.
struct NuvFile {
    int kind, fd;
    char *path, *buf;
    unsigned len, cap;
    char** out_buf;
    unsigned* out_len;
    int error, pos, eof;
};
constexpr int kStreamFd = 1;
constexpr int kStreamMemory = 2;

extern "C" {
int nuvfz_vsnprintf(char* s, size_t size, const char* format, va_list ap);
int nuvfz_vfprintf(NuvFile* stream, const char* format, va_list ap);
int nuvfz_vsscanf(const char* str, const char* format, va_list ap);
int nuvfz_fscanf(NuvFile* stream, const char* format, ...);
int nuvfz_atoi(const char* s);
long nuvfz_atol(const char* s);
unsigned long nuvfz_strtoul(const char* s, char** end, int base);
long nuvfz_strtol(const char* s, char** end, int base);
long double nuvfz_strtold(const char* s, char** end);
double nuvfz_strtod(const char* s, char** end);
}

namespace nuvfuzz {

// What the stand-in of the stream writer received, and when it should fail.
struct WriteLog {
    std::string bytes;
    unsigned calls = 0;
    unsigned fail_at = ~0u;  // the call (counted from 0) that fails
};
extern WriteLog g_writes;

// The bytes that the stand-in of the read call hands out, one per call.
struct ReadSource {
    const char* data = nullptr;
    size_t size = 0, at = 0;
};
extern ReadSource g_reads;

}  // namespace nuvfuzz

#endif
