// The entry point. The kernel leaves the argument count at the stack pointer
// and the argument vector right after it; nothing else is read or set up.
// Its frame information (in .debug_frame only, like the rest of the entry
// point's and the library's) says it is the outermost frame: it has no
// return address, so an unwinder stops here instead of guessing on.
extern "C" int main(int argc, char** argv);
extern "C" void _exit(int status);

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
    call main
    movl %eax, (%esp)
    call _exit
.hang:
    jmp .hang
    .cfi_endproc
    .size _start, . - _start
    .previous
)");
