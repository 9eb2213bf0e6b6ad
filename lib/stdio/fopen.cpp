// Opening streams. Only the mode's first character counts: `r` reads a descriptor,
// `w` collects everything in memory until fclose stores it whole. The path "-", or
// none, names the current standard stream instead.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "stdio_impl.h"

namespace {

FILE *open_for_reading(const char *path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) return nullptr;
    FILE *stream = static_cast<FILE *>(calloc(1, sizeof(FILE)));
    if (!stream) {
        close(fd);
        return nullptr;
    }
    stream->kind = STREAM_KIND_FD;
    stream->fd = fd;
    return stream;
}

// Nothing on disk is touched until fclose.
FILE *open_for_writing(const char *path) {
    FILE *stream = vekos::new_memory_held_record(STREAM_KIND_WRITEFILE);
    if (!stream) return nullptr;
    stream->path = strdup(path);
    if (!stream->path) {
        free(stream);
        return nullptr;
    }
    return stream;
}

} // namespace

extern "C" FILE *fopen(const char *path, const char *mode) {
    if (!mode) return nullptr;
    if (!path || strcmp(path, "-") == 0) {
        if (mode[0] == 'r') return stdin;
        if (mode[0] == 'w') return stdout;
        return nullptr;
    }
    if (mode[0] == 'r') return open_for_reading(path);
    if (mode[0] == 'w') return open_for_writing(path);
    return nullptr;
}
