/* sys/types: the system's sizes and counts, for ported programs; all 32 bits wide. */
#ifndef VEKOS_SYS_TYPES_H
#define VEKOS_SYS_TYPES_H

#include <stddef.h>
#include <vekos_types.h>

#endif
