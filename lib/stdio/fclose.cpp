#include <stdlib.h>
#include <unistd.h>

#include "stdio_impl.h"

namespace {

// Whatever the standard pointers hold at the time of the call can't be closed.
bool is_current_standard_stream(const FILE *stream) {
    return stream == stdin || stream == stdout || stream == stderr;
}

// One writefile for the whole content, an empty file for a stream never written.
int store_whole_file(const FILE *stream) {
    if (!stream->path) return -1;
    const char *content = stream->buf ? stream->buf : "";
    return writefile(stream->path, content, stream->len) < 0 ? -1 : 0;
}

int finish(FILE *stream) {
    switch (stream->kind) {
    case STREAM_KIND_FD:
        return stream->fd > 2 ? close(stream->fd) : 0;
    case STREAM_KIND_WRITEFILE:
        return store_whole_file(stream);
    default:
        return 0;
    }
}

} // namespace

extern "C" int fclose(FILE *stream) {
    if (!stream) return -1;
    if (is_current_standard_stream(stream)) return 0;
    int result = finish(stream);
    // A memory stream's buffer belongs to the caller.
    if (stream->buf && stream->kind != STREAM_KIND_MEMORY) free(stream->buf);
    if (stream->path) free(stream->path);
    free(stream);
    return result;
}
