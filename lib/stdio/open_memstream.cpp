#include <stdlib.h>

#include "stdio_impl.h"

// The caller's two variables follow the buffer's address and length after every write;
// the buffer is the caller's, and fclose leaves it alone.
extern "C" FILE *open_memstream(char **out, size_t *size) {
    if (!out || !size) return nullptr;
    FILE *stream = static_cast<FILE *>(calloc(1, sizeof(FILE)));
    if (!stream) return nullptr;
    stream->kind = STREAM_KIND_MEMORY;
    stream->out_buf = out;
    stream->out_size = size;
    *out = nullptr;
    *size = 0;
    return stream;
}
