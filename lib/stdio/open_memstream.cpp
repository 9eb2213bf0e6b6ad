#include "stdio_impl.h"

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
