// ver: prints the system's release line, or its usage line for "-h".
#include <nuvos/meta.h>
#include <stdio.h>
#include <string.h>

NUV_COMMAND_RECORD(0, "ver", "Show system version information.");

// Word-aligned, so that measuring them starts with whole words.
alignas(4) static const char kUsage[] = "Usage: ver";
alignas(4) static const char kVersion[] = "NUV-OS Release 16";

extern "C" int main(int argc, char** argv) {
    if (argc > 1 && argv[1] != nullptr && strcmp(argv[1], "-h") == 0) {
        puts(kUsage);
    } else {
        puts(kVersion);
    }
    return 0;
}
