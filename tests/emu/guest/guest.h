/* What the emulator's freestanding test programs share: traps, exit, and console output.
   Each program is one file that includes this once; start.S calls exit_process. */
#pragma once

#include "abi/trap_numbers.h"

typedef unsigned int u32;

int raw_trap(int number, int a, int b, int c, int d, int e, int f);

static inline int trap3(int n, int a, int b, int c) {
    return raw_trap(n, a, b, c, 0, 0, 0);
}

void exit_process(int status) {
    for (;;) trap3(VEKOS_TRAP_EXIT, status, 0, 0);
}

static inline u32 length(const char *s) {
    u32 n = 0;
    while (s[n]) n++;
    return n;
}

static inline int same(const char *a, const char *b) {
    while (*a && *a == *b) a++, b++;
    return *a == *b;
}

static inline void say(const char *s) {
    trap3(VEKOS_TRAP_WRITE, 1, (int)s, (int)length(s));
}

static inline void say_number(int v) {
    char text[16];
    int at = 15;
    u32 u = v < 0 ? -(u32)v : (u32)v;
    text[at] = 0;
    do text[--at] = (char)('0' + u % 10);
    while ((u /= 10) != 0);
    if (v < 0) text[--at] = '-';
    say(text + at);
}

/* The decimal number at *s, with its sign, leaving *s after it. */
static inline int take_number(const char **s) {
    int v = 0, sign = 1;
    if (**s == '-') sign = -1, (*s)++;
    while (**s >= '0' && **s <= '9') v = v * 10 + (*(*s)++ - '0');
    return v * sign;
}

/* A pipe, its read end written out with a comma after it: "3,". Its write end, or -1. */
static inline int make_pipe(void) {
    int fds[2] = {-1, -1};
    if (trap3(VEKOS_TRAP_PIPE, (int)fds, 0, 0) != 0) return -1;
    say_number(fds[0]);
    say(",");
    return fds[1];
}
