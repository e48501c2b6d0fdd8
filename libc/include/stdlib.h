/* Heap, number conversion, process exit, environment and random numbers.
 * The heap never gives memory back; strtol takes no sign; exit runs no
 * handlers and flushes nothing. The details, function by function:
 * share/doc/nuvos/library-guide.md. */
#ifndef NUV_STDLIB_H
#define NUV_STDLIB_H

#include "_nuv_cdefs.h"

#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1
#define RAND_MAX 32767

NUV_BEGIN_DECLS
void* malloc(size_t size);
void* calloc(size_t count, size_t size);
void* realloc(void* p, size_t size);
void free(void* p);

int atoi(const char* s);
long atol(const char* s);
unsigned long strtoul(const char* s, char** end, int base);
long strtol(const char* s, char** end, int base);
long double strtold(const char* s, char** end);
double strtod(const char* s, char** end);
int abs(int x);
long labs(long x);

NUV_NORETURN void exit(int status);
NUV_NORETURN void abort(void);
int atexit(void (*function)(void));
char* getenv(const char* name);
void srand(unsigned int seed);
int rand(void);

/* qsort sorts in O(n log n) comparisons on every input, uses a fixed amount of
 * stack and allocates nothing; it is not stable. */
void qsort(void* base, size_t n, size_t size, int (*compare)(const void*, const void*));
void* bsearch(const void* key, const void* base, size_t n, size_t size,
              int (*compare)(const void*, const void*));
NUV_END_DECLS

#endif
