/* The test image's program: it does nothing itself; tests call library functions by name,
   and the helpers below, which need guest code of their own (comparators, a jump back from
   nested calls). Its build also checks that stdio.h and unistd.h agree on the whence values
   and that sys/types.h gives 32-bit types. */
#include <memory.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

_Static_assert(SEEK_SET == 0 && SEEK_CUR == 1 && SEEK_END == 2, "lseek's whence values");
_Static_assert(sizeof(ssize_t) == 4 && sizeof(off_t) == 4 && sizeof(pid_t) == 4 &&
                   sizeof(size_t) == 4,
               "sys/types.h's types are 32 bits");

/* qsort and bsearch comparators: signed ints, and records of three signed ints compared
   field by field. */
int compare_ints(const void *a, const void *b) {
    int x = *(const int *)a, y = *(const int *)b;
    return (x > y) - (x < y);
}

int compare_records(const void *a, const void *b) {
    for (int i = 0; i < 3; i++) {
        int order = compare_ints((const int *)a + i, (const int *)b + i);
        if (order) return order;
    }
    return 0;
}

/* longjmp(env, value) from depth nested calls; a negative depth returns. */
static __attribute__((noinline)) void jump_from(jmp_buf env, int value, int depth) {
    if (depth > 0)
        jump_from(env, value, depth - 1);
    else if (depth == 0)
        longjmp(env, value);
}

/* What setjmp returns the second time, after longjmp(value) from depth nested calls; -1 when
   a local set before setjmp did not survive the jump. */
int setjmp_round_trip(int value, int depth) {
    jmp_buf env;
    volatile int marker = 0x5eed;
    int got = setjmp(env);
    if (got == 0) jump_from(env, value, depth);
    return marker == 0x5eed ? got : -1;
}

int main(void) {
    return 0;
}
