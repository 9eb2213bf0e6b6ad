/* Writes into a file stream and registers a handler, then leaves with exit(3): the
   handler never runs and the unclosed stream leaves no file behind. */
#include <stdio.h>
#include <stdlib.h>

static void farewell(void) {
    puts("handler ran");
}

int main(void) {
    FILE *out = fopen("/left.txt", "w");
    fputs("never stored", out);
    atexit(farewell);
    puts("leaving");
    exit(3);
}
