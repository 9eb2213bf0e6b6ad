/* The flags of the mmap and waitpid traps, numbered as Linux i386 numbers them: the one list
   shared by the library's unistd.h, vekos-emu (its kernel, --trace and replay) and the tests;
   C and C++ alike, freestanding. unistd.h offers them under their usual names. */
#ifndef VEKOS_ABI_TRAP_FLAGS_H
#define VEKOS_ABI_TRAP_FLAGS_H

/* mmap's protection. */
#define VEKOS_PROT_NONE 0
#define VEKOS_PROT_READ 1
#define VEKOS_PROT_WRITE 2
#define VEKOS_PROT_EXEC 4

/* mmap's flags: the kernel takes MAP_PRIVATE, alone or with MAP_ANONYMOUS. */
#define VEKOS_MAP_SHARED 0x01
#define VEKOS_MAP_PRIVATE 0x02
#define VEKOS_MAP_FIXED 0x10
#define VEKOS_MAP_ANONYMOUS 0x20

/* waitpid's one option: 0 at once while the child runs. */
#define VEKOS_WNOHANG 1

#endif
