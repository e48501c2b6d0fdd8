/* Common definitions shared by the library's public headers. */
#ifndef NUV_CDEFS_H
#define NUV_CDEFS_H

#ifdef __cplusplus
#define NUV_BEGIN_DECLS extern "C" {
#define NUV_END_DECLS }
#define NUV_NULL nullptr
#else
#define NUV_BEGIN_DECLS
#define NUV_END_DECLS
#define NUV_NULL ((void*)0)
#endif

#define NUV_NORETURN __attribute__((noreturn))

#ifndef NUV_SIZE_T_DEFINED
#define NUV_SIZE_T_DEFINED
typedef __SIZE_TYPE__ size_t;
#endif

#ifndef NULL
#define NULL NUV_NULL
#endif

#endif
