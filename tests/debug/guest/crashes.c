/* Faults whose reports need more than line numbers: a call to a wild address, a recursion
   that overflows the stack, and a library function that faults (its caller must show). */
#include <string.h>

volatile int bottomless = 1;

static int deeper(int depth) {
    volatile char frame[256];
    frame[0] = (char)depth;
    return bottomless ? deeper(depth + 1) + frame[0] : 0;
}

int main(int argc, char **argv) {
    const char *what = argc > 1 ? argv[1] : "";
    if (strcmp(what, "wild") == 0) return ((int (*)(void))0xdeadbeef)();
    if (strcmp(what, "deep") == 0) return deeper(0);
    return (int)strlen((const char *)0x50000000);
}
