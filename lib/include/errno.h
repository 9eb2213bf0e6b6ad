/* errno: one global error code, 0 at start. Only the heap writes it. */
#ifndef VEKOS_ERRNO_H
#define VEKOS_ERRNO_H

#include <vekos_cdefs.h>

VEKOS_BEGIN_DECLS

extern int errno;

VEKOS_END_DECLS

#endif
