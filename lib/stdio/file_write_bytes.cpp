#include <unistd.h>

#include "internal/kernel_length.h"
#include "stdio_impl.h"

// Weak: present only when a constructor of memory-held streams is linked in.
namespace vekos {
int memory_stream_append(FILE *stream, const void *data, size_t length) __attribute__((weak));
}

namespace {

// Descriptor streams are writable only on the console, descriptor 1. Partial writes
// are continued; a write that makes no progress fails the whole call.
int write_console(const char *data, size_t length) {
    size_t done = 0;
    do {
        size_t remaining = length - done;
        ssize_t written = write(1, data + done, vekos::clamp_length(remaining));
        if (written <= 0) return -1;
        done += static_cast<size_t>(written);
    } while (done < length);
    return 0;
}

} // namespace

extern "C" int file_write_bytes(FILE *stream, const void *data, size_t length) {
    if (!stream || !data) return -1;
    if (length == 0) return 0;
    if (stream->kind == STREAM_KIND_FD) {
        if (stream->fd != 1) return -1;
        return write_console(static_cast<const char *>(data), length);
    }
    // Without the constructors no memory-held record can exist; refuse a forged one.
    if (!vekos::memory_stream_append) return -1;
    return vekos::memory_stream_append(stream, data, length);
}
