/* Process traps, step by step: each argument is one step, its result written out after it.
 *   s:PROG,ARG..        spawn PROG with argv PROG,ARG..: "s=2"
 *   e:I,O,E,F:PROG,ARG.. spawn_ex with the child's 0, 1, 2 and inherit flag
 *   w:PID  waitpid: "w=2/7" (id/status)     h:PID  the same without waiting: "h=0"
 *   i:N    fd_set_inherit      t:A,B,C  fd_set_stdio      p  pipe: "p=3,4"
 *   cF     close F             rF       read F to its end, counted: "r=12"
 *   x:N    exit with N now     k        read address 0     z:US  usleep
 *   l:N    spin N million rounds        W:TEXT  write TEXT to 1
 *   n:K:PROG,ARG..  K times spawn and wait: how many ended with 0
 *   a:K:PROG,ARG..  K spawned at once, then waited for: how many ended with 0
 *   B      spawn copies of this program, each doing the same, until spawn fails
 * Freestanding, no library. */
#include "guest.h"

#include "abi/trap_flags.h"

/* A comma list split in place into words: the program's argv. */
static char words_text[512];
static char *words[16];

static int split(const char *list) {
    u32 n = 0;
    while (list[n] && n + 1 < sizeof words_text) words_text[n] = list[n], n++;
    words_text[n] = 0;
    int count = 0;
    char *at = words_text;
    while (*at && count < 16) {
        words[count++] = at;
        while (*at && *at != ',') at++;
        if (*at) *at++ = 0;
    }
    return count;
}

static int spawn_words(const char *list) {
    int argc = split(list);
    return trap3(VEKOS_TRAP_SPAWN, (int)words[0], (int)words, argc);
}

static int wait_child(int pid, int options) {
    int status = -1;
    int got = trap3(VEKOS_TRAP_WAITPID, pid, (int)&status, options);
    if (got > 0) {
        say_number(got);
        say("/");
        return status;
    }
    return got;
}

static int many(const char *arg, int at_once) {
    int count = take_number(&arg), zeros = 0;
    arg += *arg == ':';
    for (int i = 0; i < count; i++) {
        int pid = spawn_words(arg);
        if (pid <= 0) return -1;
        if (!at_once) {
            int status = -1;
            if (trap3(VEKOS_TRAP_WAITPID, pid, (int)&status, 0) != pid) return -2;
            zeros += status == 0;
        }
    }
    for (int i = 0; at_once && i < count; i++) {
        int status = -1;
        if (trap3(VEKOS_TRAP_WAITPID, -1, (int)&status, 0) <= 0) return -3;
        zeros += status == 0;
    }
    return zeros;
}

static char text[4096];

static void step(const char *word) {
    const char op = *word++;
    const char *arg = word + (*word == ':');
    char shown[3] = {op, '=', 0};
    say(shown);
    int result = -1;
    switch (op) {
    case 's':
        result = spawn_words(arg);
        break;
    case 'e': {
        int block[7];
        for (int i = 3; i < 7; i++) {
            block[i] = take_number(&arg);
            arg++;
        }
        block[2] = split(arg);
        block[0] = (int)words[0];
        block[1] = (int)words;
        result = trap3(VEKOS_TRAP_SPAWN_EX, (int)block, 0, 0);
        break;
    }
    case 'w':
    case 'h':
        result = wait_child(take_number(&arg), op == 'h' ? VEKOS_WNOHANG : 0);
        break;
    case 'i':
        result = trap3(VEKOS_TRAP_FD_SET_INHERIT, take_number(&arg), 0, 0);
        break;
    case 't': {
        int a = take_number(&arg);
        arg++;
        int b = take_number(&arg);
        arg++;
        result = trap3(VEKOS_TRAP_FD_SET_STDIO, a, b, take_number(&arg));
        break;
    }
    case 'p':
        result = make_pipe();
        break;
    case 'c':
        result = trap3(VEKOS_TRAP_CLOSE, take_number(&arg), 0, 0);
        break;
    case 'r': {
        int fd = take_number(&arg), n;
        result = 0;
        while ((n = trap3(VEKOS_TRAP_READ, fd, (int)text, sizeof text)) > 0) result += n;
        break;
    }
    case 'x':
        exit_process(take_number(&arg));
        break;
    case 'k':
        result = *(volatile int *)0;
        break;
    case 'z':
        result = trap3(VEKOS_TRAP_USLEEP, take_number(&arg), 0, 0);
        break;
    case 'l': {
        volatile u32 spin = 0;
        for (u32 n = (u32)take_number(&arg) * 1000000u; n > 0; n--) spin += n;
        result = 0;
        break;
    }
    case 'W':
        say(arg);
        result = 0;
        break;
    case 'n':
    case 'a':
        result = many(arg, op == 'a');
        break;
    case 'B': {
        char *self[2] = {"procs.uelf", "B"};
        result = 0;
        while (trap3(VEKOS_TRAP_SPAWN, (int)self[0], (int)self, 2) > 0) result++;
        break;
    }
    }
    say_number(result);
    say(" ");
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) step(argv[i]);
    return 0;
}
