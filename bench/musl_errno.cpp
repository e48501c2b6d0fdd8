// musl's objects find errno through __errno_location, which in musl reads the
// thread pointer that musl's own start-up sets. This one takes its place (the
// benchmark drops musl's from the archive) and hands over to the benchmark's
// errno.
asm(R"(
    .text
    .globl __errno_location, ___errno_location
    .type __errno_location, @function
__errno_location:
___errno_location:
    jmp nuvbench_errno_location
    .size __errno_location, . - __errno_location
)");
