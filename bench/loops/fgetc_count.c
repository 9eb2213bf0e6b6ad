/* Byte-at-a-time input: counts the bytes and lines of a file (argv[1]) with fgetc. */
#include <stdio.h>

int main(int argc, char **argv) {
    FILE *in = fopen(argc > 1 ? argv[1] : "data.bin", "r");
    if (!in) return 2;
    unsigned long bytes = 0, lines = 0;
    int c;
    while ((c = fgetc(in)) != EOF) {
        bytes++;
        lines += c == '\n';
    }
    fclose(in);
    printf("%lu bytes, %lu lines\n", bytes, lines);
    return 0;
}
