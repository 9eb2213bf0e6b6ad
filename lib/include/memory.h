/* memory: an old name for string.h's memory functions, kept for ported programs; it offers
   all of string.h. */
#ifndef VEKOS_MEMORY_H
#define VEKOS_MEMORY_H

#include <string.h>

#endif
