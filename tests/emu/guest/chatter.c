/* Console timing test program: argv[1] chooses what it writes and how it waits. */
#include "abi/trap_numbers.h"

int raw_trap(int number, int a, int b, int c, int d, int e, int f);

void exit_process(int status) {
    for (;;) raw_trap(VEKOS_TRAP_EXIT, status, 0, 0, 0, 0, 0);
}

static void say(const char *s, int n) {
    raw_trap(VEKOS_TRAP_WRITE, 1, (int)s, n, 0, 0, 0);
}

static void spin(void) {
    for (volatile unsigned i = 0;; i++) {
    }
}

int main(int argc, char **argv) {
    char mode = argc > 1 ? argv[1][0] : 0;
    if (mode == 's') { /* a line, then computing without any trap */
        say("one\n", 4);
        spin();
    }
    if (mode == 'z') { /* a line, a long sleep, a line */
        say("one\n", 4);
        raw_trap(VEKOS_TRAP_USLEEP, 2000000, 0, 0, 0, 0, 0);
        say("two\n", 4);
        return 0;
    }
    if (mode == 'e') { /* a prompt, then echoes standard input a byte at a time */
        char c;
        for (say("> ", 2); raw_trap(VEKOS_TRAP_READ, 0, (int)&c, 1, 0, 0, 0) == 1;) say(&c, 1);
        return 0;
    }
    if (mode == 'f') /* floods standard output */
        for (;;) say("0123456789abcdef", 16);
    if (mode == 'b') { /* 8 MiB in 4 KiB writes: byte i of write n is hex digit (n + i) % 16 */
        static char block[4096];
        for (int n = 0; n < 2048; n++) {
            for (int i = 0; i < 4096; i++) block[i] = "0123456789abcdef"[(n + i) & 15];
            say(block, 4096);
        }
        return 0;
    }
    return 2;
}
