/* fcntl: opening files. Flags use the Linux numbering (abi/open_flags.h). */
#ifndef VEKOS_FCNTL_H
#define VEKOS_FCNTL_H

#include "abi/open_flags.h"
#include <vekos_cdefs.h>
#include <vekos_types.h>

#define O_RDONLY VEKOS_O_RDONLY
#define O_WRONLY VEKOS_O_WRONLY
#define O_RDWR VEKOS_O_RDWR
#define O_CREAT VEKOS_O_CREAT
#define O_TRUNC VEKOS_O_TRUNC
#define O_APPEND VEKOS_O_APPEND

VEKOS_BEGIN_DECLS

/* With O_CREAT the kernel gets the flags again as its third argument; a mode is not read. */
int open(const char *path, int flags, ...);
/* open(path, O_WRONLY | O_CREAT | O_TRUNC); mode is ignored. */
int creat(const char *path, mode_t mode);

VEKOS_END_DECLS

#endif
