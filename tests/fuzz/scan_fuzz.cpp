// The scanner on arbitrary formats and inputs. Input: one byte of options,
// then the format, a NUL and the text to scan. Format, text and the array
// that every conversion stores into each end right before an inaccessible
// page; the array is just large enough for the longest word of the text.
#include <string.h>

#include "edge_buffer.h"
#include "libc_fuzz.h"

namespace {

constexpr int kPointers = 16;

nuvfuzz::EdgeBuffer& buffer(int i) {
    static nuvfuzz::EdgeBuffer b0, b1, b2;
    nuvfuzz::EdgeBuffer* all[] = {&b0, &b1, &b2};
    return *all[i];
}

int scan(const char* text, const char* f, ...) {
    va_list ap;
    va_start(ap, f);
    int r = nuvfz_vsscanf(text, f, ap);
    va_end(ap);
    return r;
}

#define NUV_POINTERS(p) p, p, p, p, p, p, p, p, p, p, p, p, p, p, p, p

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const uint8_t options = data[0];
    const char* rest = reinterpret_cast<const char*>(data + 1);
    size_t rest_n = size - 1;
    const char* nul = static_cast<const char*>(memchr(rest, 0, rest_n));
    size_t format_n = nul ? static_cast<size_t>(nul - rest) : rest_n;
    int percents = 0;
    for (size_t i = 0; i < format_n; ++i) percents += rest[i] == '%';
    if (percents > kPointers) return 0;
    const char* format = buffer(0).place_string(rest, format_n);
    size_t text_n = nul ? rest_n - format_n - 1 : 0;
    const char* text = buffer(1).place_string(nul ? nul + 1 : "", text_n);
    // Room for the whole text and its NUL, and at least for one int; the end
    // is page-aligned, so the start stays aligned for int stores.
    size_t room = (text_n + 1 + 3) & ~size_t{3};
    char* out = buffer(2).place(room < 4 ? 4 : room);

    int r = scan(text, format, NUV_POINTERS(out));
    NUV_CHECK(r >= 0 && r <= percents);

    // fscanf: one token read byte by byte from a descriptor stream.
    NuvFile stream{};
    stream.kind = options & 1 ? kStreamMemory : kStreamFd;
    nuvfuzz::g_reads = {text, text_n, 0};
    int f = nuvfz_fscanf(&stream, format, NUV_POINTERS(out));
    if (stream.kind != kStreamFd) {
        NUV_CHECK(f == -1 && nuvfuzz::g_reads.at == 0);
    } else {
        NUV_CHECK(f >= -1 && f <= percents);
        NUV_CHECK(static_cast<size_t>(stream.pos) == nuvfuzz::g_reads.at);
    }
    return 0;
}
