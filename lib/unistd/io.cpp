// Descriptor and file traps.
#include <unistd.h>

#include "abi/trap_numbers.h"
#include "internal/trap.h"

using namespace vekos;

extern "C" {

ssize_t read(int fd, void *buf, size_t n) {
    if (!buf) return -1;
    return trap(VEKOS_TRAP_READ, fd, word(buf), clamp_length(n));
}

ssize_t write(int fd, const void *buf, size_t n) {
    if (!buf) return -1;
    return trap(VEKOS_TRAP_WRITE, fd, word(buf), clamp_length(n));
}

int close(int fd) {
    return trap(VEKOS_TRAP_CLOSE, fd);
}

int dup(int fd) {
    return trap(VEKOS_TRAP_DUP, fd);
}

int dup2(int old_fd, int new_fd) {
    return trap(VEKOS_TRAP_DUP2, old_fd, new_fd, 0);
}

off_t lseek(int fd, off_t offset, int whence) {
    return trap(VEKOS_TRAP_LSEEK, fd, offset, whence);
}

int pipe(int fds[2]) {
    if (!fds) return -1;
    return trap(VEKOS_TRAP_PIPE, word(fds));
}

int access(const char *path, int) {
    if (!path) return -1;
    int fd = trap(VEKOS_TRAP_OPEN, word(path), 0);
    if (fd < 0) return -1;
    trap(VEKOS_TRAP_CLOSE, fd);
    return 0;
}

int writefile(const char *path, const void *buf, size_t n) {
    if (!path || !buf) return -1;
    return trap(VEKOS_TRAP_WRITEFILE, word(path), word(buf), clamp_length(n));
}

} // extern "C"
