#include "stdio_impl.h"

// The caller's two variables follow the buffer's address and length after every write;
// the buffer is the caller's, and fclose leaves it alone.
extern "C" FILE *open_memstream(char **out, size_t *size) {
    if (!out || !size) return nullptr;
    FILE *stream = vekos::new_memory_held_record(STREAM_KIND_MEMORY);
    if (!stream) return nullptr;
    stream->out_buf = out;
    stream->out_size = size;
    *out = nullptr;
    *size = 0;
    return stream;
}
