/* rpn: prints the value of the reverse Polish expression on its command line. */
#include <stdio.h>
#include <vekos_meta.h>

#include "rpn.h"

VEKOS_COMMAND("Evaluate a reverse Polish expression.", "rpn TOKEN...");
VEKOS_PACKAGE("rpn-example", "1");

int main(int argc, char **argv) {
    int value;
    if (rpn_evaluate(argc - 1, argv + 1, &value) != 0) {
        fputs("rpn: bad expression\n", stderr);
        return 1;
    }
    printf("%d\n", value);
    return 0;
}
