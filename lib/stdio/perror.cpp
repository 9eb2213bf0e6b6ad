#include <errno.h>
#include <string.h>

#include "stdio_impl.h"

// The text is taken before anything is written, so errno is read once and never changed.
extern "C" void perror(const char *prefix) {
    const char *text = strerror(errno);
    FILE *out = stderr;
    if (prefix && *prefix) {
        fputs(prefix, out);
        fputs(": ", out);
    }
    fputs(text, out);
    fputc('\n', out);
}
