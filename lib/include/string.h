/* string: byte strings and memory areas. Bytes compare as unsigned values; a pointer
   below 4096 counts as an empty string for strlen, strnlen, strcmp and strncmp. */
#ifndef VEKOS_STRING_H
#define VEKOS_STRING_H

#include <stddef.h>
#include <vekos_cdefs.h>

VEKOS_BEGIN_DECLS

size_t strlen(const char *s);
size_t strnlen(const char *s, size_t max);
int strcmp(const char *a, const char *b);
int strncmp(const char *a, const char *b, size_t n);
int strcasecmp(const char *a, const char *b);
int strncasecmp(const char *a, const char *b, size_t n);
char *strcpy(char *dst, const char *src);
char *strncpy(char *dst, const char *src, size_t n);
char *strcat(char *dst, const char *src);
char *strncat(char *dst, const char *src, size_t n);
char *strchr(const char *s, int c);
char *strrchr(const char *s, int c);
char *strstr(const char *hay, const char *needle);
char *strtok(char *s, const char *delim);

void *memcpy(void *dst, const void *src, size_t n);
void *memmove(void *dst, const void *src, size_t n);
void *memset(void *dst, int c, size_t n);
int memcmp(const void *a, const void *b, size_t n);

/* Copies on the heap; null for a null string or when the heap is full. */
char *strdup(const char *s);
char *strndup(const char *s, size_t n);

/* A constant text for an errno code; never null. */
char *strerror(int code);

/* Additions for ported programs. */
/* The first of the n bytes at s equal to (unsigned char)c, or null; it stops reading at the
   first match. */
void *memchr(const void *s, int c, size_t n);

VEKOS_END_DECLS

#endif
