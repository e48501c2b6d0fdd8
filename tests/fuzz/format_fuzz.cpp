// Both formatters on arbitrary formats. Input: one byte of array size, one
// byte of options, one byte choosing null arguments, then the format, a NUL
// and the text that the %s arguments point at. The format, the text and the
// destination array each end right before an inaccessible page: nothing may
// be read past a terminator or stored past the size.
#include <string.h>

#include "edge_buffer.h"
#include "libc_fuzz.h"

namespace {

constexpr int kWords = 24;

nuvfuzz::EdgeBuffer& buffer(int i) {
    // The texts that arguments point at lie where a pointer taken as a `*`
    // width reads as negative (no fill), so that it cannot ask for gigabytes.
    static nuvfuzz::EdgeBuffer b0, b1(true), b2, b3;
    nuvfuzz::EdgeBuffer* all[] = {&b0, &b1, &b2, &b3};
    return *all[i];
}

int to_array(char* s, size_t size, const char* f, ...) {
    va_list ap;
    va_start(ap, f);
    int r = nuvfz_vsnprintf(s, size, f, ap);
    va_end(ap);
    return r;
}

int to_stream(NuvFile* stream, const char* f, ...) {
    va_list ap;
    va_start(ap, f);
    int r = nuvfz_vfprintf(stream, f, ap);
    va_end(ap);
    return r;
}

#define NUV_WORDS(w)                                                                               \
    w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11], w[12], w[13], w[14], \
        w[15], w[16], w[17], w[18], w[19], w[20], w[21], w[22], w[23]

// Each conversion takes at most three words (a width, a precision, a
// 64-bit value); long digit runs would only make huge fills.
bool acceptable(const char* f, size_t n) {
    int percents = 0, digits = 0;
    for (size_t i = 0; i < n; ++i) {
        percents += f[i] == '%';
        digits = (f[i] >= '0' && f[i] <= '9') ? digits + 1 : 0;
        if (digits > 4) return false;
    }
    return percents * 3 <= kWords;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > 4096) return 0;
    const size_t array_size = data[0];
    const uint8_t options = data[1], nulls = data[2];
    const char* rest = reinterpret_cast<const char*>(data + 3);
    size_t rest_n = size - 3;
    const char* nul = static_cast<const char*>(memchr(rest, 0, rest_n));
    size_t format_n = nul ? static_cast<size_t>(nul - rest) : rest_n;
    if (!acceptable(rest, format_n)) return 0;
    const char* format = buffer(0).place_string(rest, format_n);
    const char* text = nul ? buffer(1).place_string(nul + 1, rest_n - format_n - 1)
                           : buffer(1).place_string("", 0);
    const void* w[kWords];
    for (int i = 0; i < kWords; ++i) w[i] = (nulls >> (i % 8)) & 1 ? nullptr : text;

    // The buffer formatter: what is stored is a prefix of the whole output,
    // always terminated, and the length does not depend on the size.
    char* dst = buffer(2).place(array_size);
    int r = to_array(array_size ? dst : nullptr, array_size, format, NUV_WORDS(w));
    NUV_CHECK(r >= 0);
    NUV_CHECK(to_array(nullptr, 0, format, NUV_WORDS(w)) == r);
    size_t whole_n = static_cast<size_t>(r) + 1;
    if (whole_n <= nuvfuzz::EdgeBuffer::kCapacity) {
        char* whole = buffer(3).place(whole_n);
        NUV_CHECK(to_array(whole, whole_n, format, NUV_WORDS(w)) == r);
        NUV_CHECK(whole[r] == 0);
        if (array_size > 0) {
            size_t kept = static_cast<size_t>(r) < array_size ? r : array_size - 1;
            NUV_CHECK(dst[kept] == 0);
            NUV_CHECK(memcmp(dst, whole, kept) == 0);
        }
    }

    // The stream formatter: the result counts every byte handed to the
    // writer but the control record, or is -1 once a write failed.
    NuvFile stream{};
    const bool console = options & 1;
    stream.kind = console ? kStreamFd : kStreamMemory;
    stream.fd = console ? 1 : 3;
    nuvfuzz::g_writes = {};
    nuvfuzz::g_writes.fail_at = (options >> 1) & 15;
    if (nuvfuzz::g_writes.fail_at == 15) nuvfuzz::g_writes.fail_at = ~0u;
    int s = to_stream(&stream, format, NUV_WORDS(w));
    if (nuvfuzz::g_writes.calls > nuvfuzz::g_writes.fail_at) {
        NUV_CHECK(s == -1);
        NUV_CHECK(nuvfuzz::g_writes.calls == nuvfuzz::g_writes.fail_at + 1);
    } else {
        const bool record = console && format_n >= 2 && format[0] == '%' && format[1] == 'c';
        NUV_CHECK(s >= 0);
        NUV_CHECK(static_cast<size_t>(s) + (record ? 4 : 0) == nuvfuzz::g_writes.bytes.size());
    }
    return 0;
}
