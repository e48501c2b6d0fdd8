/* Byte strings and memory blocks. Bytes compare as unsigned values; the
 * length and comparison functions treat any pointer below 4096 as no string.
 * Where these functions differ from what a C programmer expects (null
 * arguments, strtok, strerror): share/doc/nuvos/library-guide.md. */
#ifndef NUV_STRING_H
#define NUV_STRING_H

#include "_nuv_cdefs.h"

NUV_BEGIN_DECLS
size_t strlen(const char* s);
size_t strnlen(const char* s, size_t maxlen);
int strcmp(const char* a, const char* b);
int strncmp(const char* a, const char* b, size_t n);
int memcmp(const void* a, const void* b, size_t n);
int strcasecmp(const char* a, const char* b);
int strncasecmp(const char* a, const char* b, size_t n);

char* strcpy(char* dst, const char* src);
char* strncpy(char* dst, const char* src, size_t n);
char* strcat(char* dst, const char* src);
char* strncat(char* dst, const char* src, size_t n);
char* strchr(const char* s, int c);
char* strrchr(const char* s, int c);
char* strstr(const char* s, const char* needle);
char* strdup(const char* s);
char* strndup(const char* s, size_t n);
char* strtok(char* s, const char* delim);

void* memcpy(void* dst, const void* src, size_t n);
void* memmove(void* dst, const void* src, size_t n);
void* memset(void* dst, int c, size_t n);

/* A null s gives a null pointer (memchr, strpbrk) or 0; a null set is empty. */
void* memchr(const void* s, int c, size_t n);
size_t strspn(const char* s, const char* accept);
size_t strcspn(const char* s, const char* reject);
char* strpbrk(const char* s, const char* accept);

char* strerror(int code);
NUV_END_DECLS

#endif
