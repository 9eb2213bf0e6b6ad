/* stdlib: the heap, process exit, random numbers, absolute values and number parsing. */
#ifndef VEKOS_STDLIB_H
#define VEKOS_STDLIB_H

#include <stddef.h>
#include <vekos_cdefs.h>

#define EXIT_SUCCESS 0
#define EXIT_FAILURE 1
#define RAND_MAX 32767

VEKOS_BEGIN_DECLS

/* Heap: a 1 MiB arena; memory is never given back. */
/* Each fails with null and errno ENOMEM, leaving the heap as it was. */
void *malloc(size_t size) VEKOS_FRESH_BLOCK_ VEKOS_BLOCK_SIZE_(1);
void *calloc(size_t count, size_t size) VEKOS_FRESH_BLOCK_ VEKOS_BLOCK_SIZE_(1, 2);
/* Always a new block holding the start of the old one; the old one stays untouched. */
void *realloc(void *ptr, size_t size) VEKOS_BLOCK_SIZE_(2);
void free(void *ptr); /* does nothing */
/* A program linked with -lvekos_malloc has a general-purpose allocator instead, over memory
   from mmap: free gives blocks back for reuse (and whole arenas to the kernel), realloc
   resizes in place where it can, and a block that is not in use ends the program when
   given to free or realloc. Blocks are 8-byte aligned; each costs 4 bytes and the rounding
   of its size up to a multiple of 8, at least 16 bytes in all. realloc(ptr, 0) keeps a block
   of the smallest size. */

/* Process utilities and random numbers. */
/* Leaving the process runs no handler and closes no stream. */
VEKOS_NORETURN void exit(int status);
VEKOS_NORETURN void abort(void); /* exit status 1 */
int atexit(void (*function)(void)); /* 0; the function is never called */
char *getenv(const char *name);     /* null: there is no environment */
int abs(int x);
long labs(long x);
void srand(unsigned seed);
/* 0 to RAND_MAX; seeds itself from the time-stamp counter unless srand came first. */
int rand(void);

/* Number parsing. */
/* Each takes a null s as no number: 0, with null stored through a non-null end. Nothing
   reports overflow: integers wrap in 32 bits, floating point rounds to infinity. */
/* No sign is accepted; without digits, end is left after the white space and prefix. */
unsigned long strtoul(const char *s, char **end, int base);
long strtol(const char *s, char **end, int base); /* strtoul's bits, read as signed */
/* Decimal or 0x hexadecimal, computed in 80 bits; exponents act as at most +-1024.
   No inf or nan; without a number, end is s itself and the result +0. */
long double strtold(const char *s, char **end);
double strtod(const char *s, char **end);
int atoi(const char *s);
long atol(const char *s);

/* Additions for ported programs: 64-bit number parsing. */
/* As ISO C has them, unlike strtol and strtoul above: white space (space, \t to \r), a sign
   (strtoull negates in 64 bits), a 0x prefix in base 16 or 0; base 0 or 2 to 36. A value out
   of range gives LLONG_MIN, LLONG_MAX or ULLONG_MAX and errno ERANGE; another base gives 0
   and errno EINVAL. Without digits, or for a null s, the result is 0 and end is s. */
long long strtoll(const char *s, char **end, int base);
unsigned long long strtoull(const char *s, char **end, int base);

/* Additions for ported programs: sorting and searching. */
/* Heapsort in place: not stable, no allocation, at most about 2 n log2 n comparisons. Does
   nothing for fewer than 2 elements, a size of 0, or count * size past 32 bits. */
void qsort(void *base, size_t count, size_t size, int (*compare)(const void *, const void *));
/* Any element that compares equal to the key, or null; base must be sorted. */
void *bsearch(const void *key, const void *base, size_t count, size_t size,
              int (*compare)(const void *, const void *));

VEKOS_END_DECLS

#endif
