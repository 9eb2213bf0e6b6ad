// The stream formatter's wrappers; printf reads stdout at the time of the call.
#include <stdio.h>

extern "C" {

int fprintf(FILE *stream, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int result = vfprintf(stream, format, ap);
    va_end(ap);
    return result;
}

int printf(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int result = vfprintf(stdout, format, ap);
    va_end(ap);
    return result;
}

} // extern "C"
