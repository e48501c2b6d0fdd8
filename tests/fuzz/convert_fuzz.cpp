// The number conversions on arbitrary text. Input: one byte choosing the
// base, then the text, which ends right before an inaccessible page. Every
// end pointer must lie inside the text, its NUL included.
#include <string.h>

#include "edge_buffer.h"
#include "libc_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static nuvfuzz::EdgeBuffer edge;
    if (size < 1 || size > 4096) return 0;
    // Bases 0 to 36 and a few that are out of range.
    const int base = static_cast<int>(data[0] % 40) - (data[0] >= 240 ? 50 : 0);
    char* text = edge.place_string(data + 1, size - 1);
    const char* last = text + strlen(text);
    auto inside = [&](const char* end) { return end >= text && end <= last; };

    char* end = nullptr;
    nuvfz_strtol(text, &end, base);
    NUV_CHECK(inside(end));
    nuvfz_strtoul(text, &end, base);
    NUV_CHECK(inside(end));
    nuvfz_strtod(text, &end);
    NUV_CHECK(inside(end));
    nuvfz_strtold(text, &end);
    NUV_CHECK(inside(end));
    nuvfz_strtol(text, nullptr, base);
    nuvfz_strtod(text, nullptr);
    nuvfz_atoi(text);
    nuvfz_atol(text);
    return 0;
}
