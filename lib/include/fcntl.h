/* fcntl: opening files. Flags use the Linux numbering. */
#ifndef VEKOS_FCNTL_H
#define VEKOS_FCNTL_H

#include <vekos_cdefs.h>
#include <vekos_types.h>

#define O_RDONLY 0
#define O_WRONLY 1
#define O_RDWR 2
#define O_CREAT 0x40
#define O_TRUNC 0x200
#define O_APPEND 0x400

VEKOS_BEGIN_DECLS

/* With O_CREAT the kernel gets the flags again as its third argument; a mode is not read. */
int open(const char *path, int flags, ...);
/* open(path, O_WRONLY | O_CREAT | O_TRUNC); mode is ignored. */
int creat(const char *path, mode_t mode);

VEKOS_END_DECLS

#endif
