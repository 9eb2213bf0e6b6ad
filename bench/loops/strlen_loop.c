/* Load-heavy loop: the library's byte-at-a-time strlen over a 1 MiB string, repeated. The
   string is written once with word stores, a sixteenth of the bytes read. */
#include <string.h>

enum { buffer_size = 1 << 20, rounds = 16 };

static unsigned buffer[buffer_size / sizeof(unsigned)];

int main(void) {
    for (unsigned i = 0; i < buffer_size / sizeof(unsigned); i++) buffer[i] = 0x78787878u;
    ((char *)buffer)[buffer_size - 1] = 0;
    size_t total = 0;
    for (int round = 0; round < rounds; round++) total += strlen((const char *)buffer);
    return total == (size_t)rounds * (buffer_size - 1) ? 0 : 1;
}
