/* A fault of each kind some instructions into its function, two calls below main (argv[1]
   names the kind): reports must name the faulting instruction and every frame. */
#include <string.h>

volatile int zero = 0;
volatile int seed = 7;
int *volatile nowhere = 0;
void (*volatile wild)(void) = 0;
const char *volatile far_away = (const char *)0x50000000;
static const int constant = 1;
int *volatile read_only = (int *)&constant;

/* Faults in its prologue's block; a test renames it with a newline and terminal escapes. */
__attribute__((noinline)) int renamed_by_the_test_0123456789(int a) {
    return a + *nowhere;
}

__attribute__((noinline)) static int inner(const char *kind) {
    int a = seed * 3, b = seed + a;
    if (strcmp(kind, "read") == 0) return a + b + *nowhere;
    if (strcmp(kind, "write") == 0) return *nowhere = a + b;
    if (strcmp(kind, "protection") == 0) return *read_only = a - b;
    if (strcmp(kind, "divide") == 0) return (a + b) / zero;
    if (strcmp(kind, "invalid") == 0) __builtin_trap();
    if (strcmp(kind, "fetch") == 0) wild();
    if (strcmp(kind, "library") == 0) return (int)strlen(far_away) + a;
    if (strcmp(kind, "renamed") == 0) return renamed_by_the_test_0123456789(a);
    return a - b;
}

__attribute__((noinline)) static int outer(const char *kind) {
    return inner(kind) + seed;
}

int main(int argc, char **argv) {
    return outer(argc > 1 ? argv[1] : "") + 1;
}
