// Process traps: exit, starting and waiting for programs, sleeping.
#include <unistd.h>

#include "abi/trap_numbers.h"
#include "internal/trap.h"

using namespace vekos;

extern "C" {

void _exit(int status) {
    trap(VEKOS_TRAP_EXIT, status);
    for (;;) {
    }
}

int spawn(const char *path, char *const argv[], int argc) {
    if (!path || argc < 0) return -1;
    return trap(VEKOS_TRAP_SPAWN, word(path), word(argv), argc);
}

int spawn_ex(const char *path, char *const argv[], int argc, int a, int b, int c, int flag) {
    if (!path || argc < 0) return -1;
    // Seven arguments do not fit in registers: the kernel gets the address of a block.
    Word block[7] = {word(path), word(argv), Word(argc), Word(a), Word(b), Word(c), flag ? 1u : 0u};
    return trap(VEKOS_TRAP_SPAWN_EX, word(block));
}

pid_t waitpid(pid_t pid, int *status, int options) {
    return trap(VEKOS_TRAP_WAITPID, pid, word(status), options);
}

int usleep(unsigned int microseconds) {
    trap(VEKOS_TRAP_USLEEP, microseconds);
    return 0;
}

unsigned int sleep(unsigned int seconds) {
    // The product wraps at 32 bits, as the kernel receives a single word.
    trap(VEKOS_TRAP_USLEEP, seconds * 1000000u);
    return 0;
}

} // extern "C"
