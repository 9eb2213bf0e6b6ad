// The buffer formatter's wrappers. The sprintf pair is bounded at 65536: the caller's
// array must hold the output and its NUL, or 65536 bytes, whichever is less.
#include <stdio.h>

namespace {

constexpr size_t sprintf_bound = 0x10000;

} // namespace

extern "C" {

int snprintf(char *buf, size_t size, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int length = vsnprintf(buf, size, format, ap);
    va_end(ap);
    return length;
}

int vsprintf(char *buf, const char *format, va_list ap) {
    return vsnprintf(buf, sprintf_bound, format, ap);
}

int sprintf(char *buf, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int length = vsnprintf(buf, sprintf_bound, format, ap);
    va_end(ap);
    return length;
}

} // extern "C"
