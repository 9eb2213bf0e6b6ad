// Memory-held streams (kinds 2 and 3) append to one heap buffer whose capacity is 256
// times a power of two and that always ends in a 0 byte past the content.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "stdio_impl.h"

namespace {

constexpr uint32_t first_capacity = 256;
constexpr uint32_t largest_capacity = 0x80000000u; // doubling past this would wrap

// Grows the buffer to hold `need` bytes; on failure the stream is left as it was.
bool reserve(FILE *stream, uint32_t need) {
    if (stream->cap >= need) return true;
    if (need > largest_capacity) return false;
    uint32_t capacity = stream->cap ? stream->cap * 2 : first_capacity;
    while (capacity < need) capacity *= 2;
    char *grown = static_cast<char *>(realloc(stream->buf, capacity));
    if (!grown) return false;
    stream->buf = grown;
    stream->cap = capacity;
    return true;
}

} // namespace

namespace vekos {

FILE *new_memory_held_record(unsigned kind) {
    FILE *stream = static_cast<FILE *>(calloc(1, sizeof(FILE)));
    if (stream) stream->kind = kind;
    return stream;
}

int memory_stream_append(FILE *stream, const void *data, size_t length) {
    // len + length + 1 must not wrap: such a length can't be held, and is refused.
    if (length > 0xffffffffu - 1 - stream->len) return -1;
    if (!reserve(stream, stream->len + length + 1)) return -1;
    memcpy(stream->buf + stream->len, data, length);
    stream->len += length;
    stream->buf[stream->len] = '\0';
    if (stream->kind == STREAM_KIND_MEMORY && stream->out_buf && stream->out_size) {
        *stream->out_buf = stream->buf;
        *stream->out_size = stream->len;
    }
    return 0;
}

} // namespace vekos
