// Internals shared by the stream functions. Private to the library.
#pragma once

#include <stdio.h>

namespace vekos {

// Appends to the buffer of a memory-held stream (kinds 2 and 3): 0, or -1 on failure.
int memory_stream_append(FILE *stream, const void *data, size_t length);

// A zero-filled record of a memory-held kind, or null. Its constructors (open_memstream and
// fopen for writing) make records only through this, so the appending code and the heap are
// linked into just the programs that can make such streams; file_write_bytes refers to
// memory_stream_append weakly, and a console-only command like run stays small.
FILE *new_memory_held_record(unsigned kind);

// Counts bytes that reads consumed into pos, which wraps in 32 bits like any count here
// (added unsigned: signed overflow would be undefined).
inline void advance_position(FILE *stream, unsigned consumed) {
    stream->pos = static_cast<int>(static_cast<unsigned>(stream->pos) + consumed);
}

} // namespace vekos
