// Opening files: the flags reach the kernel in the Linux numbering.
#include <fcntl.h>

#include "abi/trap_numbers.h"
#include "internal/trap.h"

using namespace vekos;

extern "C" {

int open(const char *path, int flags, ...) {
    if (!path) return -1;
    // With O_CREAT the kernel takes the flags again in place of a mode.
    Word third = (flags & O_CREAT) ? Word(flags) : 0;
    return trap(VEKOS_TRAP_OPEN, word(path), flags, third);
}

int creat(const char *path, mode_t) {
    if (!path) return -1;
    return trap(VEKOS_TRAP_OPEN, word(path), O_WRONLY | O_CREAT | O_TRUNC, 0);
}

} // extern "C"
