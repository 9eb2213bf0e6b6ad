// Heap copies of strings. A null source gives null and allocates nothing.
#include <stdlib.h>
#include <string.h>

#include "string_impl.h"

namespace {

char *copy_of(const char *s, size_t length) {
    char *copy = static_cast<char *>(malloc(length + 1));
    if (!copy) return nullptr;
    memcpy(copy, s, length);
    copy[length] = '\0';
    return copy;
}

} // namespace

extern "C" {

char *strdup(const char *s) {
    if (!s) return nullptr;
    return copy_of(s, strlen(s));
}

// Reads at most n bytes of s, never s[n].
char *strndup(const char *s, size_t n) {
    if (!s) return nullptr;
    if (vekos::is_low_pointer(s) || n == 0) return copy_of("", 0);
    return copy_of(s, strnlen(s, n));
}

} // extern "C"
