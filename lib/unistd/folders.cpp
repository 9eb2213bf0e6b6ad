// Folder and path traps: each takes one path and refuses a null one.
#include <unistd.h>

#include "trap.h"
#include "trap_numbers.h"

using namespace vekos;

namespace {

int path_trap(unsigned number, const char *path) {
    if (!path) return -1;
    return trap(number, word(path));
}

} // namespace

extern "C" {

int mkdir(const char *path, mode_t) {
    return path_trap(trap_number::mkdir, path);
}

int rmdir(const char *path) {
    return path_trap(trap_number::rmdir, path);
}

int unlink(const char *path) {
    return path_trap(trap_number::unlink, path);
}

int chdir(const char *path) {
    return path_trap(trap_number::chdir, path);
}

int mkfifo(const char *path, mode_t) {
    return path_trap(trap_number::mkfifo, path);
}

int getcwd(char *buf, size_t size) {
    if (!buf || size == 0) return -1;
    return trap(trap_number::getcwd, word(buf), clamp_length(size), 0);
}

} // extern "C"
