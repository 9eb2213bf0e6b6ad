// Known execution counts for coverage and profiles: each line marked "runs N" runs exactly N
// times when the program is run with no arguments. strlen brings in one library function.
#include <string.h>

static volatile int total;

__attribute__((noinline)) static void add(int value) {
    total += value; // runs 3
}

int main(int argc, char **argv) {
    for (int i = 0; i < 10; i++)
        total += i; // runs 10
    for (int i = 0; i < 3; i++)
        add(i); // runs 3
    if (argc > 5)
        return (int)strlen(argv[0]); // runs 0
    total += (int)strlen("counted"); // runs 1
    return 0;
}
