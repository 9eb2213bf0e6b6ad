/* For gdb to run backwards over: a loop that writes to the console, a store past the end of
   an array that corrupts the variable after it, and a call to finish out of. */
#include <unistd.h>

static struct {
    int table[4];
    int guard;
} data = {{0}, 7};

__attribute__((noinline)) static void fill(int count) {
    for (int i = 0; i <= count; i++)
        data.table[i] = i * 10; /* i == 4 corrupts guard */
}

__attribute__((noinline)) static int square(int x) {
    int result = x * x;
    return result;
}

int main(void) {
    for (int i = 0; i < 3; i++)
        write(1, "tick\n", 5);
    fill(4);
    int squared = square(data.guard);
    return squared == 1600 ? 0 : 1;
}
