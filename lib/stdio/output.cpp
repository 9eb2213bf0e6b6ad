// Unbuffered output: each call hands its bytes to file_write_bytes at once.
#include <string.h>

#include "internal/checked_size.h"
#include "stdio_impl.h"

extern "C" {

size_t fwrite(const void *ptr, size_t size, size_t count, FILE *stream) {
    if (!ptr || !stream || size == 0 || count == 0) return 0;
    size_t total;
    if (!vekos::multiply_fits(count, size, total)) return 0;
    return file_write_bytes(stream, ptr, total) == 0 ? count : 0;
}

int fputc(int c, FILE *stream) {
    unsigned char byte = static_cast<unsigned char>(c);
    return file_write_bytes(stream, &byte, 1) == 0 ? c : -1;
}

int putchar(int c) {
    return fputc(c, stdout);
}

int fputs(const char *s, FILE *stream) {
    if (!s) return -1;
    size_t length = strlen(s);
    return file_write_bytes(stream, s, length) == 0 ? static_cast<int>(length) : -1;
}

int puts(const char *s) {
    if (!s) return -1;
    if (file_write_bytes(stdout, s, strlen(s)) != 0) return -1;
    const char newline = '\n';
    return file_write_bytes(stdout, &newline, 1) == 0 ? 0 : -1;
}

int fflush(FILE *) {
    return 0;
}

void setbuf(FILE *, char *) {}

} // extern "C"
