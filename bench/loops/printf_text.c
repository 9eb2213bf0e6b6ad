/* Formatted output to the console: lines of mixed text, numbers and padding through printf,
   until the megabytes asked for (argv[1], default 1) are written. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    static const char *const names[] = {"alpha", "beta", "gamma", "delta"};
    long total = (argc > 1 ? atoi(argv[1]) : 1) * 1048576L, written = 0;
    for (unsigned i = 0; written < total; i++)
        written += printf("line %u: %s has %d items at 0x%.8x, %s |%5u%%\n", i, names[i & 3],
                          (int)(i * 7 % 1000) - 500, i * 2654435761u, names[(i >> 2) & 3],
                          i % 101);
    return 0;
}
