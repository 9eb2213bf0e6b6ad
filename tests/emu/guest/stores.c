/* The emulator's store test program: stores next to loads, next to translated code, and into
   code. argv[1] chooses; the result is the exit status. Freestanding, no library. */
#include "guest.h"

/* In a writable and executable section (writable_code.S). */
extern unsigned char code_buffer[16];
int patch_next(void); /* stores 5 into its next instruction's immediate, returns it */

static const unsigned table[4] = {1, 2, 3, 4};

/* Loads from the table's page, then a store into it: must fault. */
static int store_after_loads(void) {
    volatile unsigned *t = (volatile unsigned *)table;
    unsigned sum = 0;
    for (int i = 0; i < 4; i++) sum += t[i];
    t[sum & 3] = sum;
    return 1;
}

/* "mov $value, %eax; ret" into the buffer. */
static void emit_return(unsigned value) {
    volatile unsigned char *p = code_buffer;
    p[0] = 0xb8;
    for (int i = 0; i < 4; i++) p[1 + i] = (unsigned char)(value >> (8 * i));
    p[5] = 0xc3;
}

/* Writes a function, calls it, rewrites it, calls it again: 10 * first + second. */
static int rewrite_function(void) {
    int (*f)(void) = (int (*)(void))(void *)code_buffer;
    emit_return(3);
    int first = f();
    emit_return(4);
    return 10 * first + f();
}

/* Runs the buffer, reads other code over it from standard input (a trap writes it), runs it
   again: 10 * first + second. */
static int read_code(void) {
    int (*f)(void) = (int (*)(void))(void *)code_buffer;
    emit_return(3);
    int first = f();
    raw_trap(VEKOS_TRAP_READ, 0, (int)code_buffer, 6, 0, 0, 0);
    return 10 * first + f();
}

int main(int argc, char **argv) {
    if (argc < 2) return 100;
    if (same(argv[1], "store-after-loads")) return store_after_loads();
    if (same(argv[1], "rewrite-function")) return rewrite_function();
    if (same(argv[1], "read-code")) return read_code();
    if (same(argv[1], "patch-next")) {
        code_buffer[15] = 0xc3; /* a store to the page before it holds translated code */
        return patch_next();
    }
    return 101;
}
