// Comparisons return the unsigned byte difference at the first difference, or where a ends.
#include <string.h>

#include "string_impl.h"

using vekos::byte_at;
using vekos::is_low_pointer;

extern "C" {

int strcmp(const char *a, const char *b) {
    if (a == b) return 0;
    if (is_low_pointer(a)) return -1;
    if (is_low_pointer(b)) return 1;
    while (*a && *a == *b) {
        a++;
        b++;
    }
    return byte_at(a) - byte_at(b);
}

int strncmp(const char *a, const char *b, size_t n) {
    if (n == 0 || a == b) return 0;
    if (is_low_pointer(a)) return -1;
    if (is_low_pointer(b)) return 1;
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i] || !a[i]) return byte_at(a + i) - byte_at(b + i);
    }
    return 0;
}

int memcmp(const void *a, const void *b, size_t n) {
    const char *x = static_cast<const char *>(a);
    const char *y = static_cast<const char *>(b);
    for (size_t i = 0; i < n; i++) {
        if (x[i] != y[i]) return byte_at(x + i) - byte_at(y + i);
    }
    return 0;
}

} // extern "C"
