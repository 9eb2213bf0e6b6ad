/* Block output to the console: 4 KiB blocks through fwrite until the megabytes asked for
   (argv[1], default 1) are written. */
#include <stdio.h>
#include <stdlib.h>

static char block[4096];

int main(int argc, char **argv) {
    long blocks = (argc > 1 ? atoi(argv[1]) : 1) * 256L;
    for (unsigned i = 0; i < sizeof block; i++) block[i] = (char)('a' + i % 26);
    for (long i = 0; i < blocks; i++)
        if (fwrite(block, 1, sizeof block, stdout) != sizeof block) return 1;
    return 0;
}
