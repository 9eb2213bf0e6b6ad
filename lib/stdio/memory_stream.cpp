#include "stdio_impl.h"

namespace vekos {

// Memory-held streams need the heap, which this library does not have yet: nothing
// can make such a stream, so a record claiming to be one is refused.
int memory_stream_append(FILE *, const void *, size_t) {
    return -1;
}

} // namespace vekos
