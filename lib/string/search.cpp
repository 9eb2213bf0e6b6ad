// Searching strings and memory for bytes and substrings.
#include <string.h>

extern "C" {

char *strchr(const char *s, int c) {
    if (!s) return nullptr;
    char wanted = static_cast<char>(c);
    for (;; s++) {
        if (*s == wanted) return const_cast<char *>(s);
        if (!*s) return nullptr;
    }
}

char *strrchr(const char *s, int c) {
    if (!s) return nullptr;
    char wanted = static_cast<char>(c);
    const char *last = nullptr;
    for (;; s++) {
        if (*s == wanted) last = s;
        if (!*s) return const_cast<char *>(last);
    }
}

char *strstr(const char *hay, const char *needle) {
    if (!hay || !needle) return nullptr;
    if (!*needle) return const_cast<char *>(hay);
    for (; *hay; hay++) {
        size_t i = 0;
        while (needle[i] && hay[i] == needle[i]) i++;
        if (!needle[i]) return const_cast<char *>(hay);
    }
    return nullptr;
}

// Reads no byte past the first match.
void *memchr(const void *s, int c, size_t n) {
    const unsigned char *p = static_cast<const unsigned char *>(s);
    unsigned char wanted = static_cast<unsigned char>(c);
    for (size_t i = 0; i < n; i++) {
        if (p[i] == wanted) return const_cast<unsigned char *>(p + i);
    }
    return nullptr;
}

} // extern "C"
