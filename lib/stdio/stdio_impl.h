// Internals of the stdio unit, shared by its files. Private to the library; the two
// routines with C names are also reached by symbol from the library's tests.
#pragma once

#include <stdio.h>

extern "C" {

// The one routine every written byte passes through: 0 when all were written, else -1.
int file_write_bytes(FILE *stream, const void *data, size_t length);

// The buffer formatter's digit renderer: the digits of value in base 2 to 16, most
// significant first, upper-case letters when upper is non-zero, no terminator. Returns
// their count; 0 for any other base.
int snbuf_render_unsigned(char *digits, unsigned value, unsigned base, int upper);

} // extern "C"

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
