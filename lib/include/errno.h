/* errno: one global error code, 0 at start. Only the heap (and -lvekos_malloc's allocator)
   and strtoll and strtoull write it; nothing sets it back to 0. */
#ifndef VEKOS_ERRNO_H
#define VEKOS_ERRNO_H

#include <vekos_cdefs.h>

VEKOS_BEGIN_DECLS

extern int errno;

#define ENOENT 2  /* no such file */
#define ENOMEM 12 /* out of memory */
#define EINVAL 22 /* invalid argument */
#define ERANGE 34 /* result out of range */
#define ENOSYS 38 /* not implemented */

VEKOS_END_DECLS

#endif
