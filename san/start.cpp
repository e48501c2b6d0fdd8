// The entry point of sanitized images (installed as crt0-san.o): the
// constructors that the compiler adds to register the globals' redzones
// run before main. Otherwise as crt/user_crt0.cpp, outermost-frame marker
// included, so that backtraces end at _start.
extern "C" int main(int argc, char** argv);
extern "C" void _exit(int status);

using Constructor = void (*)();
extern "C" Constructor __init_array_start[], __init_array_end[];  // nuvos-san.ld

extern "C" int nuv_san_main(int argc, char** argv) {
    for (Constructor* c = __init_array_start; c != __init_array_end; ++c) (*c)();
    return main(argc, argv);
}

asm(R"(
    .section .text._start,"ax",@progbits
    .globl _start
    .type _start, @function
_start:
    .cfi_sections .debug_frame
    .cfi_startproc
    .cfi_undefined %eip
    movl (%esp), %eax
    leal 4(%esp), %ecx
    andl $-16, %esp
    subl $8, %esp
    pushl %ecx
    pushl %eax
    call nuv_san_main
    movl %eax, (%esp)
    call _exit
.hang:
    jmp .hang
    .cfi_endproc
    .size _start, . - _start
    .previous
)");
