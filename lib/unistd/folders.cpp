// Folder and path traps: each takes one path and refuses a null one.
#include <unistd.h>

#include "abi/trap_numbers.h"
#include "internal/trap.h"

using namespace vekos;

namespace {

int path_trap(unsigned number, const char *path) {
    if (!path) return -1;
    return trap(number, word(path));
}

} // namespace

extern "C" {

int mkdir(const char *path, mode_t) {
    return path_trap(VEKOS_TRAP_MKDIR, path);
}

int rmdir(const char *path) {
    return path_trap(VEKOS_TRAP_RMDIR, path);
}

int unlink(const char *path) {
    return path_trap(VEKOS_TRAP_UNLINK, path);
}

int chdir(const char *path) {
    return path_trap(VEKOS_TRAP_CHDIR, path);
}

int mkfifo(const char *path, mode_t) {
    return path_trap(VEKOS_TRAP_MKFIFO, path);
}

int getcwd(char *buf, size_t size) {
    if (!buf || size == 0) return -1;
    return trap(VEKOS_TRAP_GETCWD, word(buf), clamp_length(size), 0);
}

} // extern "C"
