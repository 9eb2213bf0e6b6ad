#include "stdio_impl.h"

// A null stream reports both conditions.
extern "C" {

int feof(FILE *stream) {
    return stream ? stream->eof : 1;
}

int ferror(FILE *stream) {
    return stream ? stream->error : 1;
}

} // extern "C"
