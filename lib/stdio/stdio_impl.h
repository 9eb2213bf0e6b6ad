// Internals shared by the stream functions. Private to the library.
#pragma once

#include <stdio.h>

namespace vekos {

// Appends to the buffer of a memory-held stream (kinds 2 and 3): 0, or -1 on failure.
int memory_stream_append(FILE *stream, const void *data, size_t length);

} // namespace vekos
