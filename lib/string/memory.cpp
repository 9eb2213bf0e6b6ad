// Memory areas, one byte at a time. The build keeps the compiler from turning these
// loops into calls to themselves (-fno-tree-loop-distribute-patterns).
#include <string.h>

#include <stdint.h>

extern "C" {

void *memcpy(void *dst, const void *src, size_t n) {
    char *d = static_cast<char *>(dst);
    const char *s = static_cast<const char *>(src);
    for (size_t i = 0; i < n; i++) d[i] = s[i];
    return dst;
}

void *memmove(void *dst, const void *src, size_t n) {
    char *d = static_cast<char *>(dst);
    const char *s = static_cast<const char *>(src);
    if (d == s || n == 0) return dst;
    if (reinterpret_cast<uintptr_t>(d) < reinterpret_cast<uintptr_t>(s)) {
        for (size_t i = 0; i < n; i++) d[i] = s[i];
    } else {
        for (size_t i = n; i > 0; i--) d[i - 1] = s[i - 1];
    }
    return dst;
}

void *memset(void *dst, int c, size_t n) {
    char *d = static_cast<char *>(dst);
    for (size_t i = 0; i < n; i++) d[i] = static_cast<char>(c);
    return dst;
}

} // extern "C"
