// The checks only C++ has: an enum's value, the end of a function that returns a value.
#include <string.h>

enum Colour { red, green, blue };
volatile int seven = 7;
volatile int sink;

extern "C" __attribute__((noinline)) int colour_value() {
    Colour c;
    int v = seven;
    memcpy(&c, &v, sizeof c);
    return c; /* enum */
}

extern "C" __attribute__((noinline)) int no_return(int x) { /* return */
    if (x < 0) return 1;
}

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "enum") == 0) sink = colour_value();
    if (argc > 1 && strcmp(argv[1], "return") == 0) sink = no_return(seven);
    return 0;
}
