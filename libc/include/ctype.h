/* Character classes of the ASCII bytes. Every byte from 128 up, and EOF, is in
 * no class; tolower and toupper change only the 26 ASCII letters. How these
 * classes relate to the whitespace that the scanner and the number
 * conversions skip: share/doc/nuvos/library-guide.md. */
#ifndef NUV_CTYPE_H
#define NUV_CTYPE_H

#include "_nuv_cdefs.h"

NUV_BEGIN_DECLS
int isalnum(int c);
int isalpha(int c);
int isblank(int c);
int iscntrl(int c);
int isdigit(int c);
int isgraph(int c);
int islower(int c);
int isprint(int c);
int ispunct(int c);
int isspace(int c);
int isupper(int c);
int isxdigit(int c);
int isascii(int c);
int tolower(int c);
int toupper(int c);
NUV_END_DECLS

#endif
