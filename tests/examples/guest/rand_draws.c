/* Prints four values of the self-seeded generator on one line. */
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    for (int i = 0; i < 4; i++) printf("%d ", rand());
    putchar('\n');
    return 0;
}
