/* Unbuffered streams, formatted output and formatted input.
 *
 * This library's stdio has a dialect of its own; read
 * share/doc/nuvos/library-guide.md before relying on C habits. In short:
 * stderr writes to descriptor 1, like stdout; a stream fopen opens for writing
 * reaches its file only at fclose; there are no floating-point conversions;
 * the buffer formatter (snprintf family) reads %ll as one word, the stream
 * formatter (printf family) as two; a format that begins with %c written to
 * descriptor 1 sends a 4-byte control record instead of a character; the
 * scanner ignores widths. None of the format functions carries the compiler's
 * printf or scanf format checking: those checks follow the C dialects and
 * would flag correct uses of these (%lld with an int in snprintf, the three
 * values of a control record, %x storing through an int *, %s with a null
 * pointer in sscanf) while passing uses that go wrong here. The kit's drivers
 * check constant formats against these dialects instead (-Wnuvos-format). */
#ifndef NUV_STDIO_H
#define NUV_STDIO_H

#include "_nuv_cdefs.h"

#ifndef NUV_VA_LIST_DEFINED
#define NUV_VA_LIST_DEFINED
typedef __builtin_va_list va_list;
#endif

#define EOF (-1)

#define STREAM_FD 1
#define STREAM_MEMSTREAM 2
#define STREAM_WRITEFILE 3

NUV_BEGIN_DECLS

/* The stream record: eleven 32-bit fields. */
typedef struct FILE {
    int kind;              /* STREAM_FD, STREAM_MEMSTREAM or STREAM_WRITEFILE */
    int fd;                /* kernel descriptor of a descriptor stream */
    char* path;            /* write-file stream: heap copy of the path */
    char* buf;             /* memory-backed streams: collected bytes, NUL after them */
    unsigned int len;      /* bytes in buf, not counting the NUL */
    unsigned int cap;      /* allocated size of buf */
    char** out_buf;        /* memory stream: caller's variable receiving buf */
    unsigned int* out_len; /* memory stream: caller's variable receiving len */
    int error;             /* error indicator (cleared by rewind) */
    int pos;               /* bytes read, or the offset of the last fseek/rewind */
    int eof;               /* end-of-file indicator */
} FILE;

extern FILE* stdin;
extern FILE* stdout;
extern FILE* stderr;

size_t fwrite(const void* ptr, size_t size, size_t nmemb, FILE* stream);
int fputc(int c, FILE* stream);
int fputs(const char* s, FILE* stream);
int putchar(int c);
int puts(const char* s);
int fflush(FILE* stream);
void setbuf(FILE* stream, char* buffer);

FILE* fopen(const char* path, const char* mode);
FILE* open_memstream(char** bufp, size_t* sizep);
int fclose(FILE* stream);
size_t fread(void* ptr, size_t size, size_t nmemb, FILE* stream);
int fgetc(FILE* stream);
int getchar(void);
int fseek(FILE* stream, int offset, int whence);
int ftell(FILE* stream);
void rewind(FILE* stream);
int feof(FILE* stream);
int ferror(FILE* stream);

int vsnprintf(char* s, size_t size, const char* format, va_list ap);
int snprintf(char* s, size_t size, const char* format, ...);
int vsprintf(char* s, const char* format, va_list ap);
int sprintf(char* s, const char* format, ...);

int vfprintf(FILE* stream, const char* format, va_list ap);
int fprintf(FILE* stream, const char* format, ...);
int printf(const char* format, ...);

int vsscanf(const char* str, const char* format, va_list ap);
int sscanf(const char* str, const char* format, ...);
int fscanf(FILE* stream, const char* format, ...);
/* An addition: fscanf on the stream stdin points at when it is called (one
 * token per call, -1 at end of input before a token). */
int scanf(const char* format, ...);

/* Reads a line of at most size - 1 bytes, newline included, from a descriptor
 * stream; null at end of input before any byte, or for a stream that is not a
 * descriptor stream. Never takes bytes past the newline from the descriptor. */
char* fgets(char* s, int size, FILE* stream);
/* Writes "prefix: " (when prefix is not null or empty), strerror(errno) and a
 * newline to the stream stderr points at. */
void perror(const char* prefix);

NUV_END_DECLS

#endif
