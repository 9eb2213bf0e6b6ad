// Positioning. Only descriptor streams on descriptors above 2 have a position; ftell
// answers what the stream has counted, without asking the kernel.
#include <unistd.h>

#include "stdio_impl.h"

namespace {

bool is_positionable(const FILE *stream) {
    return stream && stream->kind == STREAM_KIND_FD && stream->fd > 2;
}

} // namespace

extern "C" {

int fseek(FILE *stream, long offset, int whence) {
    if (!is_positionable(stream)) return -1;
    off_t at = lseek(stream->fd, static_cast<off_t>(offset), whence);
    if (at < 0) return -1;
    stream->eof = 0;
    stream->pos = at;
    return 0;
}

long ftell(FILE *stream) {
    return is_positionable(stream) ? stream->pos : -1;
}

void rewind(FILE *stream) {
    if (!stream) return;
    if (is_positionable(stream)) {
        off_t at = lseek(stream->fd, 0, SEEK_SET);
        if (at >= 0) stream->pos = at;
    }
    stream->error = 0;
    stream->eof = 0;
}

} // extern "C"
