/* The record a sanitized image's runtime (san/) fills before it stops the
 * process, and nuvemu reads to report it (sanitizer_report.cpp). Shared by the
 * freestanding i386 runtime and the host, so it spells its types itself: every
 * field is a 32-bit word or bytes.
 *
 * The runtime stops in nuv_san_stop, a ud2 with the record's address in EAX:
 * nuvemu, seeing that invalid instruction in that function and the record's
 * magic, reports the record instead of the fault. */
#ifndef NUV_SANITIZER_RECORD_H
#define NUV_SANITIZER_RECORD_H

#define NUV_SAN_MAGIC 0x4E53414Eu   /* "NASN" */
#define NUV_SAN_STOP "nuv_san_stop" /* the function that traps */
#define NUV_SAN_FRAMES 8            /* return addresses kept of an allocation */
#define NUV_SAN_NAME 48             /* bytes of a variable's name, with its NUL */

/* What was found. */
enum nuv_san_kind {
    NUV_SAN_HEAP_OVERFLOW = 1, /* past the end of a heap block */
    NUV_SAN_HEAP_UNDERFLOW,    /* before the start of a heap block */
    NUV_SAN_USE_AFTER_FREE,    /* in a freed heap block */
    NUV_SAN_STACK_OVERFLOW,    /* past the end of a local variable */
    NUV_SAN_STACK_UNDERFLOW,   /* before the first local variable of a frame */
    NUV_SAN_STACK_AFTER_SCOPE, /* a local variable outside its scope */
    NUV_SAN_GLOBAL_OVERFLOW,   /* past the end of a global variable */
    NUV_SAN_WILD,              /* where the program has no memory */
    NUV_SAN_DOUBLE_FREE,       /* free of a block already freed */
    NUV_SAN_BAD_FREE,          /* free of an address that is no heap block */
    NUV_SAN_POISONED,          /* redzone of unknown origin */
    NUV_SAN_KIND_END
};

struct nuv_san_record {
    __UINT32_TYPE__ magic;   /* NUV_SAN_MAGIC once filled */
    __UINT32_TYPE__ kind;    /* enum nuv_san_kind */
    __UINT32_TYPE__ address; /* the access's first byte (the pointer freed) */
    __UINT32_TYPE__ size;    /* bytes accessed (0 for a free) */
    __UINT32_TYPE__ write;   /* 1: a write, 0: a read */
    __UINT32_TYPE__ bad;     /* the first byte of the access that is not the program's */
    __UINT32_TYPE__ block;   /* the block's (variable's) first byte, 0: none found */
    __UINT32_TYPE__ block_size;
    __UINT32_TYPE__ frame_pc; /* a local variable: an address in its function */
    __UINT32_TYPE__ alloc[NUV_SAN_FRAMES]; /* heap: where the block was allocated */
    __UINT32_TYPE__ freed[NUV_SAN_FRAMES]; /* heap: where it was freed (0: never) */
    char name[NUV_SAN_NAME];               /* a variable's name, "" for a heap block */
};

#endif
