// Process traps: exit, starting and waiting for programs, sleeping.
#include <unistd.h>

#include "trap.h"
#include "trap_numbers.h"

using namespace vekos;

extern "C" {

void _exit(int status) {
    trap(trap_number::exit, status);
    for (;;) {
    }
}

int spawn(const char *path, char *const argv[], int argc) {
    if (!path || argc < 0) return -1;
    return trap(trap_number::spawn, word(path), word(argv), argc);
}

int spawn_ex(const char *path, char *const argv[], int argc, int a, int b, int c, int flag) {
    if (!path || argc < 0) return -1;
    // Seven arguments do not fit in registers: the kernel gets the address of a block.
    Word block[7] = {word(path), word(argv), Word(argc), Word(a), Word(b), Word(c), flag ? 1u : 0u};
    return trap(trap_number::spawn_ex, word(block));
}

pid_t waitpid(pid_t pid, int *status, int options) {
    return trap(trap_number::waitpid, pid, word(status), options);
}

int usleep(unsigned int microseconds) {
    trap(trap_number::usleep, microseconds);
    return 0;
}

unsigned int sleep(unsigned int seconds) {
    // The product wraps at 32 bits, as the kernel receives a single word.
    trap(trap_number::usleep, seconds * 1000000u);
    return 0;
}

} // extern "C"
