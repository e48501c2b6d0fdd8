/* Limits of the integer types on NUV-OS (i386: int, long and pointers are 32
 * bits, long long 64), and of the kernel's paths. Self-contained: it needs no
 * other header, so it works under -nostdinc. */
#ifndef NUV_LIMITS_H
#define NUV_LIMITS_H

#define CHAR_BIT __CHAR_BIT__
#define MB_LEN_MAX 1

#define SCHAR_MAX __SCHAR_MAX__
#define SCHAR_MIN (-SCHAR_MAX - 1)
#define UCHAR_MAX (SCHAR_MAX * 2 + 1)
#ifdef __CHAR_UNSIGNED__
#define CHAR_MIN 0
#define CHAR_MAX UCHAR_MAX
#else
#define CHAR_MIN SCHAR_MIN
#define CHAR_MAX SCHAR_MAX
#endif

#define SHRT_MAX __SHRT_MAX__
#define SHRT_MIN (-SHRT_MAX - 1)
#define USHRT_MAX (SHRT_MAX * 2 + 1)

#define INT_MAX __INT_MAX__
#define INT_MIN (-INT_MAX - 1)
#define UINT_MAX (INT_MAX * 2U + 1U)

#define LONG_MAX __LONG_MAX__
#define LONG_MIN (-LONG_MAX - 1L)
#define ULONG_MAX (LONG_MAX * 2UL + 1UL)

#define LLONG_MAX __LONG_LONG_MAX__
#define LLONG_MIN (-LLONG_MAX - 1LL)
#define ULLONG_MAX (LLONG_MAX * 2ULL + 1ULL)

#define SSIZE_MAX INT_MAX

/* A path the kernel accepts has at most PATH_MAX - 1 bytes before its NUL;
 * one name in it at most NAME_MAX bytes. */
#define PATH_MAX 4096
#define NAME_MAX 255

#endif
