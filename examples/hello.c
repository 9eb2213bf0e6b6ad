/* hello: prints each of its arguments on a line of its own. */
#include <stdio.h>

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) puts(argv[i]);
    return 0;
}
