// vekos's own traps: console keys, descriptor inheritance, streaming writes, memory mapping.
#include <unistd.h>

#include "abi/trap_numbers.h"
#include "internal/trap.h"

using namespace vekos;

extern "C" {

int getkey(void) {
    return trap(VEKOS_TRAP_GETKEY);
}

int fd_set_inherit(int on) {
    return trap(VEKOS_TRAP_FD_SET_INHERIT, on ? 1 : 0);
}

int fd_set_stdio(int in_fd, int out_fd, int err_fd) {
    return trap(VEKOS_TRAP_FD_SET_STDIO, in_fd, out_fd, err_fd);
}

int fd_set_nonblock(int fd, int on) {
    return trap(VEKOS_TRAP_FD_SET_NONBLOCK, fd, on ? 1 : 0, 0);
}

int vekfs_stream_begin(const char *path) {
    if (!path) return -1;
    return trap(VEKOS_TRAP_VEKFS_STREAM_BEGIN, word(path));
}

int vekfs_stream_write(int handle, const void *buf, size_t n) {
    if (!buf) return -1;
    return trap(VEKOS_TRAP_VEKFS_STREAM_WRITE, handle, word(buf), clamp_length(n));
}

int vekfs_stream_end(int handle) {
    return trap(VEKOS_TRAP_VEKFS_STREAM_END, handle);
}

void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (length == 0) return MAP_FAILED;
    int result = vekos_trap6(VEKOS_TRAP_MMAP, word(addr), length, prot, flags, fd, offset);
    if (result == -1) return MAP_FAILED;
    return reinterpret_cast<void *>(result);
}

int munmap(void *addr, size_t length) {
    return trap(VEKOS_TRAP_MUNMAP, word(addr), length, 0);
}

} // extern "C"
