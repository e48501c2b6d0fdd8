// The emulator benchmark's image: the library (names prefixed nuv_) and, when
// built with it, musl's functions (prefixed musl_), called one by one by
// emu_bench. Nothing runs from the entry point.
static int g_musl_errno;

extern "C" int* nuvbench_errno_location() {
    return &g_musl_errno;
}

asm(R"(
    .text
    .globl _start
_start:
    hlt
)");
