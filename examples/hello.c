/* hello: prints each of its arguments on a line of its own. */
#include <stdio.h>
#include <vekos_meta.h>

VEKOS_COMMAND("Print each argument on a line of its own.", "hello [word...]");
VEKOS_PACKAGE("examples", "1");

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) puts(argv[i]);
    return 0;
}
