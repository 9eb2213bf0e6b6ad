/* The emulator's test program: argv[1] chooses what it does. Freestanding, no library. */
#include "guest.h"

long double load_pi(void);
int divide_by_zero(void);
void invalid_instruction(void);

static int number(const char *s) {
    int sign = 1, v = 0;
    if (*s == '-') sign = -1, s++;
    while (*s >= '0' && *s <= '9') v = v * 10 + (*s++ - '0');
    return sign * v;
}

static char line[256];

/* Joins argv[from..] with spaces into `line`. */
static const char *join(int argc, char **argv, int from) {
    u32 at = 0;
    for (int i = from; i < argc; i++) {
        if (i > from && at + 1 < sizeof line) line[at++] = ' ';
        for (const char *s = argv[i]; *s && at + 1 < sizeof line; s++) line[at++] = *s;
    }
    line[at] = 0;
    return line;
}

/* 2 MiB on the stack, twice the default stack: 3 when it fits. */
__attribute__((noinline)) static int big_frame(void) {
    volatile char big[2 << 20];
    big[sizeof big - 1] = 2;
    big[0] = 1;
    return big[0] + big[sizeof big - 1];
}

static const char rodata_word[4] = {1, 2, 3, 4};
volatile int data_word = 7;

int main(int argc, char **argv) {
    const char *what = argc > 1 ? argv[1] : "";
    if (same(what, "exit")) return number(argv[2]);
    if (same(what, "echo")) {
        for (int i = 2; i < argc; i++) say(argv[i]), say("\n");
        return 0;
    }
    if (same(what, "read-null")) return *(volatile int *)0;
    if (same(what, "write-code")) return *(volatile int *)main = 0;
    if (same(what, "write-rodata")) return *(volatile char *)rodata_word = 0;
    if (same(what, "jump-null")) return ((int (*)(void))0)();
    if (same(what, "div0")) return divide_by_zero();
    if (same(what, "ud2")) return invalid_instruction(), 0;
    if (same(what, "spin"))
        for (;;) data_word++;
    if (same(what, "run")) { /* run WORDS...: prints the request's result */
        int r = trap3(VEKOS_TRAP_RUN, (int)join(argc, argv, 2), 0, 0);
        say("run "), say_number(r), say("\n");
        return 0;
    }
    if (same(what, "nest")) { /* runs itself until the kernel refuses */
        int r = trap3(VEKOS_TRAP_RUN, (int)"probe.uelf nest", 0, 0);
        say("nest "), say_number(r), say("\n");
        return 0;
    }
    if (same(what, "tree")) { /* runs itself three times at every level */
        for (int i = 0; i < 3; i++) trap3(VEKOS_TRAP_RUN, (int)"probe.uelf tree", 0, 0);
        return 0;
    }
    if (same(what, "sleep")) /* sleeps for ever, two seconds at a time */
        for (;;) trap3(VEKOS_TRAP_USLEEP, 2000000, 0, 0);
    if (same(what, "cat")) { /* cat PATH: the file on stdout, or "cat -1" */
        int fd = trap3(VEKOS_TRAP_OPEN, (int)argv[2], 0, 0);
        char buffer[64];
        int n;
        if (fd < 0) return say("cat -1\n"), 1;
        while ((n = trap3(VEKOS_TRAP_READ, fd, (int)buffer, sizeof buffer)) > 0)
            trap3(VEKOS_TRAP_WRITE, 1, (int)buffer, n);
        trap3(VEKOS_TRAP_CLOSE, fd, 0, 0);
        return 0;
    }
    if (same(what, "writefile")) { /* writefile PATH TEXT */
        say_number(trap3(VEKOS_TRAP_WRITEFILE, (int)argv[2], (int)argv[3], (int)length(argv[3]))),
            say("\n");
        return 0;
    }
    if (same(what, "pwd")) { /* chdir to argv[2] when given, then print the folder */
        char buffer[128];
        if (argc > 2) say_number(trap3(VEKOS_TRAP_CHDIR, (int)argv[2], 0, 0)), say(" ");
        if (trap3(VEKOS_TRAP_GETCWD, (int)buffer, sizeof buffer, 0) < 0)
            return say("getcwd -1\n"), 1;
        say(buffer), say("\n");
        return 0;
    }
    if (same(what, "stack")) return big_frame();
    if (same(what, "args")) { /* argc and where argv lies relative to esp at entry */
        say_number(argc), say("\n");
        return 0;
    }
    say("probe: unknown command\n");
    return 100;
}

/* Functions the harness tests call directly. */
unsigned long long twice64(unsigned long long v) {
    return v * 2;
}
double half(double v) {
    return v / 2;
}
int sum_ints(int n, ...) {
    __builtin_va_list ap;
    int total = 0;
    __builtin_va_start(ap, n);
    while (n-- > 0) total += __builtin_va_arg(ap, int);
    __builtin_va_end(ap);
    return total;
}
u32 probe_strlen(const char *s) {
    return length(s);
}
void fill_bytes(char *p, int n, int c) {
    while (n-- > 0) *p++ = (char)c;
}
void spin_forever(void) {
    for (;;) data_word++;
}
int bump(void) {
    return ++data_word;
}
