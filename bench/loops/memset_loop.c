/* Store-heavy loop: the library's byte-at-a-time memset over 1 MiB, repeated. */
#include <string.h>

enum { buffer_size = 1 << 20, rounds = 8 };

static char buffer[buffer_size];

int main(void) {
    for (int round = 0; round < rounds; round++) memset(buffer, round + 1, buffer_size);
    return buffer[buffer_size - 1] == rounds ? 0 : 1; /* the last round's byte is there */
}
