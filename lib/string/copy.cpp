// Copying and appending strings. A null source counts as the empty string.
#include <string.h>

extern "C" {

char *strcpy(char *dst, const char *src) {
    if (!dst) return nullptr;
    if (!src) src = "";
    char *out = dst;
    while ((*out++ = *src++)) {
    }
    return dst;
}

char *strncpy(char *dst, const char *src, size_t n) {
    if (!dst || n == 0) return dst;
    if (!src) src = "";
    size_t i = 0;
    for (; i < n && src[i]; i++) dst[i] = src[i];
    for (; i < n; i++) dst[i] = '\0';
    return dst;
}

char *strcat(char *dst, const char *src) {
    if (!dst) return nullptr;
    strcpy(dst + strlen(dst), src);
    return dst;
}

char *strncat(char *dst, const char *src, size_t n) {
    if (!dst) return nullptr;
    if (!src || n == 0) return dst;
    char *out = dst + strlen(dst);
    for (size_t i = 0; i < n && src[i]; i++) *out++ = src[i];
    *out = '\0';
    return dst;
}

} // extern "C"
