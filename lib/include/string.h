/* string: byte strings and memory areas. Bytes compare as unsigned values. A low pointer
   is one below 4096, null included; each function says what it does with one. Those that
   test only for null read through any other low pointer (and fault), and the memory
   functions test nothing: with a count of 0 they touch no byte. */
#ifndef VEKOS_STRING_H
#define VEKOS_STRING_H

#include <stddef.h>
#include <vekos_cdefs.h>

VEKOS_BEGIN_DECLS

/* 0 for a low pointer, which is never read. */
size_t strlen(const char *s);
size_t strnlen(const char *s, size_t max);
/* 0 when a and b are the same pointer (two nulls too); otherwise -1 when a is a low
   pointer, else 1 when b is one, whatever the other string holds (strcmp(NULL, "") is -1):
   no low pointer counts as an empty string here, and none is read. strncmp: 0 first when n
   is 0. */
int strcmp(const char *a, const char *b);
int strncmp(const char *a, const char *b, size_t n);
/* Only 'A' to 'Z' fold. Both null: 0; then a null a: -1, a null b: 1. strncasecmp: 0 first
   when n is 0 or a and b are the same pointer. */
int strcasecmp(const char *a, const char *b);
int strncasecmp(const char *a, const char *b, size_t n);
/* A null dst: nothing is written and the result is null. A null src counts as the empty
   string; strncat then writes nothing, not even a NUL. */
char *strcpy(char *dst, const char *src);
char *strncpy(char *dst, const char *src, size_t n);
char *strcat(char *dst, const char *src);
char *strncat(char *dst, const char *src, size_t n);
/* Null for a null s (hay or needle). */
char *strchr(const char *s, int c);
char *strrchr(const char *s, int c);
char *strstr(const char *hay, const char *needle);
/* One position for the whole process; null s: go on with the string before. A null or
   empty delim makes the rest of the string one token. */
char *strtok(char *s, const char *delim);

void *memcpy(void *dst, const void *src, size_t n) VEKOS_WRITES_(1, 3) VEKOS_READS_(2, 3);
void *memmove(void *dst, const void *src, size_t n) VEKOS_WRITES_(1, 3) VEKOS_READS_(2, 3);
void *memset(void *dst, int c, size_t n) VEKOS_WRITES_(1, 3);
int memcmp(const void *a, const void *b, size_t n) VEKOS_READS_(1, 3) VEKOS_READS_(2, 3);

/* Copies on the heap; null for a null s or when the heap is full. Any other low pointer,
   never read, gives a new empty string, as does strndup with an n of 0. */
char *strdup(const char *s) VEKOS_FRESH_BLOCK_;
char *strndup(const char *s, size_t n) VEKOS_FRESH_BLOCK_;

/* A constant text for an errno code; never null. */
char *strerror(int code);

/* Additions for ported programs. */
/* The first of the n bytes at s equal to (unsigned char)c, or null; it stops reading at the
   first match. */
void *memchr(const void *s, int c, size_t n) VEKOS_READS_(1, 3);

VEKOS_END_DECLS

/* From -O1 on, a strcpy of a string whose length the compiler knows (a literal, say), or a
   strncpy of a known count, into an array too small for it draws a warning; the call stays
   the library's own. */
#if __STDC_HOSTED__ && defined(__OPTIMIZE__)
VEKOS_BEGIN_DECLS
char *__vekos_strcpy(char *dst, const char *src) __asm__("strcpy");
char *__vekos_strcpy_overflows(char *dst, const char *src) __asm__("strcpy")
    __attribute__((__warning__("strcpy: the string and its NUL do not fit in the destination")));
char *__vekos_strncpy(char *dst, const char *src, size_t n) __asm__("strncpy");
char *__vekos_strncpy_overflows(char *dst, const char *src, size_t n) __asm__("strncpy")
    __attribute__((__warning__("strncpy: the destination holds fewer than the n bytes it writes")));

extern __inline __attribute__((__always_inline__, __gnu_inline__, __artificial__)) char *
strcpy(char *dst, const char *src) {
    if (__builtin_constant_p(__builtin_strlen(src ? src : "")) &&
        __builtin_strlen(src ? src : "") >= __builtin_object_size(dst, 1))
        return __vekos_strcpy_overflows(dst, src);
    return __vekos_strcpy(dst, src);
}

extern __inline __attribute__((__always_inline__, __gnu_inline__, __artificial__)) char *
strncpy(char *dst, const char *src, size_t n) {
    if (__builtin_constant_p(n) && n > __builtin_object_size(dst, 1))
        return __vekos_strncpy_overflows(dst, src, n);
    return __vekos_strncpy(dst, src, n);
}
VEKOS_END_DECLS
#endif

#endif
