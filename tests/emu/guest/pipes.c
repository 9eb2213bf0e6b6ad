/* Pipe traps, step by step: each argument is one step, its result written out after it.
 *   p        pipe: "p=3,4"            wF:TEXT  write TEXT to F: "w=4"
 *   rF:N     read up to N from F: "r=2'hi'"           cF  close F    dF  dup F
 *   nF       F non-blocking            sF       lseek F to 0
 *   fF       write 1000-byte blocks to F until one is short: "f=65536,-1" (sum, last result)
 *   mPATH    mkfifo                    oPATH:M  open with access mode M   uPATH  unlink
 *   b        1 MiB through a new pipe in 64 KiB writes, checked byte for byte: "b=1048576"
 *   R:LINE   run request
 * Freestanding, no library. */
#include "guest.h"

typedef unsigned char u8;

static void say_bytes(const char *s, int n) {
    trap3(VEKOS_TRAP_WRITE, 1, (int)s, n);
}

enum { kBlock = 64 << 10 };
static u8 out_block[kBlock], in_block[kBlock];

static int fill(int fd) {
    int sum = 0, last;
    while ((last = trap3(VEKOS_TRAP_WRITE, fd, (int)out_block, 1000)) == 1000) sum += last;
    if (last > 0) {
        sum += last;
        last = trap3(VEKOS_TRAP_WRITE, fd, (int)out_block, 1000);
    }
    say_number(sum);
    say(",");
    return last;
}

static u8 pattern(u32 at) {
    return (u8)(at * 7 + (at >> 13));
}

/* Writes of 64 KiB, reads of 40000 bytes: the pipe's content wraps around its end, and
 * writes are partial when less than 64 KiB is free. */
static int move_a_mebibyte(void) {
    enum { kTotal = 1 << 20, kReadSize = 40000 };
    int fds[2];
    if (trap3(VEKOS_TRAP_PIPE, (int)fds, 0, 0) != 0) return -1;
    u32 sent = 0, got = 0;
    while (got < kTotal) {
        if (sent < kTotal) {
            for (u32 i = 0; i < kBlock; i++) out_block[i] = pattern(sent + i);
            u32 size = kTotal - sent < kBlock ? kTotal - sent : kBlock;
            int n = trap3(VEKOS_TRAP_WRITE, fds[1], (int)out_block, (int)size);
            if (n <= 0) return -2;
            sent += (u32)n;
        }
        int n = trap3(VEKOS_TRAP_READ, fds[0], (int)in_block, kReadSize);
        if (n <= 0) return -3;
        for (int i = 0; i < n; i++)
            if (in_block[i] != pattern(got + (u32)i)) return -4;
        got += (u32)n;
    }
    trap3(VEKOS_TRAP_CLOSE, fds[0], 0, 0);
    trap3(VEKOS_TRAP_CLOSE, fds[1], 0, 0);
    return (int)got;
}

static char text[256];

/* One step; its result is written out after "X=". */
static void step(const char *word) {
    const char op = *word++;
    const char *rest = word;
    const int fd = take_number(&rest);
    const char *arg = *rest == ':' ? rest + 1 : rest;
    char shown[3] = {op, '=', 0};
    say(shown);
    int result = -1;
    switch (op) {
    case 'p':
        result = make_pipe();
        break;
    case 'w':
        result = trap3(VEKOS_TRAP_WRITE, fd, (int)arg, (int)length(arg));
        break;
    case 'r': {
        const char *n = arg;
        int most = take_number(&n);
        result = trap3(VEKOS_TRAP_READ, fd, (int)text, most < (int)sizeof text ? most : 0);
        if (result < 0) break;
        say_number(result);
        say("'");
        say_bytes(text, result);
        say("' ");
        return;
    }
    case 'c':
        result = trap3(VEKOS_TRAP_CLOSE, fd, 0, 0);
        break;
    case 'd':
        result = trap3(VEKOS_TRAP_DUP, fd, 0, 0);
        break;
    case 'n':
        result = trap3(VEKOS_TRAP_FD_SET_NONBLOCK, fd, 1, 0);
        break;
    case 's':
        result = trap3(VEKOS_TRAP_LSEEK, fd, 0, 0);
        break;
    case 'f':
        result = fill(fd);
        break;
    case 'm':
        result = trap3(VEKOS_TRAP_MKFIFO, (int)word, 0, 0);
        break;
    case 'o': {
        u32 n = 0;
        while (word[n] && word[n] != ':' && n + 1 < sizeof text) text[n] = word[n], n++;
        text[n] = 0;
        const char *mode = word + n + (word[n] == ':');
        result = trap3(VEKOS_TRAP_OPEN, (int)text, take_number(&mode), 0);
        break;
    }
    case 'u':
        result = trap3(VEKOS_TRAP_UNLINK, (int)word, 0, 0);
        break;
    case 'b':
        result = move_a_mebibyte();
        break;
    case 'R':
        result = trap3(VEKOS_TRAP_RUN, (int)arg, 0, 0);
        break;
    }
    say_number(result);
    say(" ");
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) step(argv[i]);
    return 0;
}
