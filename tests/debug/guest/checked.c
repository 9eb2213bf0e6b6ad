/* One kind of undefined behaviour per argument (argv[1]), each in a function of its own
   called from main, for the run-time checks vekos-cc builds in (-fsanitize=undefined,
   -fstack-protector, -ftrapv). Each bad operation's line ends with its kind's name in a
   comment: the test finds the line there. */
#include <limits.h>
#include <stdio.h>
#include <string.h>

volatile int big = INT_MAX, least = INT_MIN, zero = 0, minus_one = -1, wide = 40, negative = -3;
volatile long long big64 = LLONG_MAX;
volatile double huge = 1e10, zero_double = 0.0;
volatile unsigned zero_bits = 0;
int table[5];
char *volatile high = (char *)0xfffffff0u;
int *volatile nowhere = 0;
int sink;

__attribute__((nonnull)) void use(int *p) {
    sink = (int)(size_t)p;
}

#define CHECKED __attribute__((noinline, noclone))

CHECKED int add(void) {
    return big + 1; /* add */
}
CHECKED int subtract(void) {
    return least - 1; /* sub */
}
CHECKED int multiply(void) {
    return big * 2; /* mul */
}
CHECKED int negate(void) {
    return -least; /* negate */
}
CHECKED long long add64(void) {
    return big64 + 1; /* add64 */
}
CHECKED int divide(void) {
    return big / zero; /* divide */
}
CHECKED int divide_minus_one(void) {
    return least / minus_one; /* divide-minus-one */
}
CHECKED int shift_far(void) {
    return 1 << wide; /* shift-far */
}
CHECKED int shift_negative(void) {
    return 1 << negative; /* shift-negative */
}
CHECKED int shift_base(void) {
    return negative << 2; /* shift-base */
}
CHECKED int shift_over(void) {
    return big << 2; /* shift-over */
}
CHECKED int index_out(void) {
    return table[big & 7]; /* bounds */
}
CHECKED int load_null(void) {
    return *nowhere; /* null */
}
CHECKED int misaligned(void) {
    char bytes[8] = {0};
    int *volatile at = (int *)(bytes + 1);
    return *at; /* alignment */
}
CHECKED int bad_bool(void) {
    char five = 5;
    _Bool b;
    memcpy(&b, &five, 1);
    return b; /* bool */
}
CHECKED int float_cast(void) {
    return (int)huge; /* float-cast */
}
CHECKED int float_divide(void) {
    return (int)(1.0 / zero_double > 0); /* float-divide */
}
CHECKED int vla(void) {
    int v[negative + 1]; /* vla */
    v[0] = 1;
    return v[0];
}
CHECKED int wraps(void) {
    return *(high + 0x20); /* pointer-overflow */
}
CHECKED int ctz(void) {
    return __builtin_ctz(zero_bits); /* builtin */
}
CHECKED void null_argument(void) {
    use(nowhere); /* nonnull */
}
__attribute__((returns_nonnull)) CHECKED int *null_result(void) {
    return nowhere; /* returns-nonnull */
}
CHECKED void unreachable(void) {
    __builtin_unreachable(); /* unreachable */
}

/* -fstack-protector */
CHECKED void smash(const char *text) {
    char buffer[8];
    strcpy(buffer, text);
    sink = buffer[0];
} /* smash */

int main(int argc, char **argv) {
    const char *kind = argc > 1 ? argv[1] : "";
    static const struct {
        const char *name;
        int (*run)(void);
    } kinds[] = {
        {"add", add},
        {"sub", subtract},
        {"mul", multiply},
        {"negate", negate},
        {"divide", divide},
        {"divide-minus-one", divide_minus_one},
        {"shift-far", shift_far},
        {"shift-negative", shift_negative},
        {"shift-base", shift_base},
        {"shift-over", shift_over},
        {"bounds", index_out},
        {"null", load_null},
        {"alignment", misaligned},
        {"bool", bad_bool},
        {"float-cast", float_cast},
        {"float-divide", float_divide},
        {"vla", vla},
        {"pointer-overflow", wraps},
        {"builtin", ctz},
    };
    for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; i++)
        if (strcmp(kind, kinds[i].name) == 0) sink = kinds[i].run();
    if (strcmp(kind, "add64") == 0) sink = (int)add64();
    if (strcmp(kind, "nonnull") == 0) null_argument();
    if (strcmp(kind, "returns-nonnull") == 0) sink = null_result() != 0;
    if (strcmp(kind, "unreachable") == 0) unreachable();
    if (strcmp(kind, "smash") == 0) smash("more than eight bytes");
    if (strcmp(kind, "again") == 0) /* one report for the place, however often it fails */
        for (int i = 0; i < 3; i++) sink = add();
    puts("went on");
    return 0;
}
