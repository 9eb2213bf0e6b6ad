#include "stdio_impl.h"

// Byte by byte through fgetc, so a line costs one read per byte, as fgetc does, and nothing
// past the line feed is taken from the descriptor.
extern "C" char *fgets(char *s, int size, FILE *stream) {
    if (!s || size < 1) return nullptr;
    int stored = 0;
    while (stored < size - 1) {
        int c = fgetc(stream);
        if (c < 0) break;
        s[stored++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (stored == 0 && size > 1) return nullptr;
    s[stored] = '\0';
    return s;
}
