/* ctype: character classes and case for the C locale, the only one there is.
   Bytes 0 to 127 are ASCII; 128 to 255, EOF and every other value belong to no class and
   keep their case. */
#ifndef VEKOS_CTYPE_H
#define VEKOS_CTYPE_H

#include <vekos_cdefs.h>

VEKOS_BEGIN_DECLS

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
int tolower(int c);
int toupper(int c);

VEKOS_END_DECLS

#endif
