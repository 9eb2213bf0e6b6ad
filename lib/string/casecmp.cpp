// Case-insensitive comparisons: only 'A' to 'Z' fold, towards lower case.
#include <string.h>

#include "string_impl.h"

using vekos::byte_at;
using vekos::fold_case;

extern "C" {

int strcasecmp(const char *a, const char *b) {
    if (!a && !b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    for (;; a++, b++) {
        int x = fold_case(byte_at(a));
        int y = fold_case(byte_at(b));
        if (x != y || x == 0) return x - y;
    }
}

int strncasecmp(const char *a, const char *b, size_t n) {
    if (n == 0 || a == b) return 0;
    if (!a) return -1;
    if (!b) return 1;
    for (size_t i = 0; i < n; i++) {
        int x = fold_case(byte_at(a + i));
        int y = fold_case(byte_at(b + i));
        if (x != y || x == 0) return x - y;
    }
    return 0;
}

} // extern "C"
