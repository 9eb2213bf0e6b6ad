#include <unistd.h>

#include "stdio_impl.h"

extern "C" {

// Unbuffered: every byte is one read.
int fgetc(FILE *stream) {
    if (!stream || stream->kind != STREAM_KIND_FD) return -1;
    unsigned char byte;
    if (read(stream->fd, &byte, 1) <= 0) {
        stream->eof = 1;
        return -1;
    }
    vekos::advance_position(stream, 1);
    return byte;
}

int getchar(void) {
    FILE *in = stdin;
    return in ? fgetc(in) : -1;
}

} // extern "C"
