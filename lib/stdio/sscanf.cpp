// Scanning a string with the engine's own arguments.
#include <stdio.h>

extern "C" {

int sscanf(const char *str, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int count = vsscanf(str, format, args);
    va_end(args);
    return count;
}

} // extern "C"
