#include <unistd.h>

#include "internal/checked_size.h"
#include "stdio_impl.h"

// One read for the whole request, never retried. A short answer sets end-of-file; a
// trailing partial element is stored and counted in pos, but not in the result.
extern "C" size_t fread(void *ptr, size_t size, size_t count, FILE *stream) {
    if (!ptr || !stream || size == 0 || count == 0) return 0;
    if (stream->kind != STREAM_KIND_FD) return 0;
    size_t total;
    if (!vekos::multiply_fits(count, size, total)) return 0;
    ssize_t got = read(stream->fd, ptr, total);
    if (got <= 0) {
        stream->eof = 1;
        return 0;
    }
    vekos::advance_position(stream, static_cast<unsigned>(got));
    if (static_cast<size_t>(got) < total) stream->eof = 1;
    return static_cast<size_t>(got) / size;
}
