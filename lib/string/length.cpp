#include <string.h>

#include "string_impl.h"

using vekos::is_low_pointer;

extern "C" {

size_t strlen(const char *s) {
    if (is_low_pointer(s)) return 0;
    size_t n = 0;
    while (s[n]) n++;
    return n;
}

size_t strnlen(const char *s, size_t max) {
    if (is_low_pointer(s)) return 0;
    size_t n = 0;
    while (n < max && s[n]) n++;
    return n;
}

} // extern "C"
