// Probes whose symbol is the very instruction that faults, so that a test
// can check the address a fault names.
asm(".text\n"
    ".globl probe_cli\n.type probe_cli,@function\nprobe_cli:\n cli\n ret\n"
    ".globl probe_lidt\n.type probe_lidt,@function\nprobe_lidt:\n lidt (%esp)\n ret\n"
    ".globl probe_inb\n.type probe_inb,@function\nprobe_inb:\n inb $0x60, %al\n ret\n"
    ".globl probe_outb\n.type probe_outb,@function\nprobe_outb:\n outb %al, $0x80\n ret\n"
    // A far call through a register at the start of a block.
    ".globl probe_far_register\n.type probe_far_register,@function\nprobe_far_register:\n"
    " .byte 0xff, 0xd8\n ret\n"
    // LOCK on a compare with a memory operand, in the middle of a block.
    ".globl probe_lock_compare\n.type probe_lock_compare,@function\nprobe_lock_compare:\n"
    " nop\n nop\n"
    ".globl probe_lock_compare_at\nprobe_lock_compare_at:\n .byte 0xf0, 0x39, 0x04, 0x24\n"
    " ret\n"
    // 4,096 blocks, each an increment and a jump to the next; returns 4096.
    ".globl probe_many_blocks\n.type probe_many_blocks,@function\nprobe_many_blocks:\n"
    " xorl %eax, %eax\n"
    " .rept 4096\n incl %eax\n jmp 1f\n1:\n .endr\n ret\n");
