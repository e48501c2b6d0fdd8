// Host stand-ins for what the formatters and the scanner call: the stream
// writer and the read call.
#include <string.h>

#include "libc_fuzz.h"

namespace nuvfuzz {
WriteLog g_writes;
ReadSource g_reads;
}  // namespace nuvfuzz

extern "C" {
NuvFile* nuvfz_stdin = nullptr;
NuvFile* nuvfz_stdout = nullptr;
NuvFile* nuvfz_stderr = nullptr;

int nuvfz_file_write_bytes(NuvFile*, const void* data, size_t count) {
    using nuvfuzz::g_writes;
    if (g_writes.calls++ == g_writes.fail_at) return -1;
    // Appending reads every byte, so the sanitizer sees a source out of bounds.
    g_writes.bytes.append(static_cast<const char*>(data), count);
    return 0;
}

int nuvfz_read(int, void* buf, size_t count) {
    using nuvfuzz::g_reads;
    if (count == 0) return 0;
    if (g_reads.at >= g_reads.size) return 0;
    memcpy(buf, g_reads.data + g_reads.at, 1);
    g_reads.at += 1;
    return 1;
}
}
