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

/* Process utilities and random numbers. */

/* Number parsing. */

VEKOS_END_DECLS

#endif
