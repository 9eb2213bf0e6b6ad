/* The flags of the open trap, numbered as Linux i386 numbers them: the one list shared by
   the library's fcntl.h, vekos-emu and the tests; C and C++ alike, freestanding. The
   library's fcntl.h offers all but VEKOS_O_EXCL under their usual names. */
#ifndef VEKOS_ABI_OPEN_FLAGS_H
#define VEKOS_ABI_OPEN_FLAGS_H

/* The access mode, in the low two bits; 3 is refused. */
#define VEKOS_O_RDONLY 0
#define VEKOS_O_WRONLY 1
#define VEKOS_O_RDWR 2
#define VEKOS_O_ACCMODE 3

#define VEKOS_O_CREAT 0x40
#define VEKOS_O_EXCL 0x80
#define VEKOS_O_TRUNC 0x200
#define VEKOS_O_APPEND 0x400

#endif
