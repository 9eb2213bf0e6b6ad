/* Makes every trap of the kernel's table once, each result written out after its name:
 * "getcwd=2 mkdir=0 ...". With the argument "child" it is the child that the run request,
 * spawn and spawn_ex start: it writes "child" and ends. Freestanding, no library. */
#include "guest.h"

#include "abi/open_flags.h"
#include "abi/trap_flags.h"

enum { PAGE = 4096 };

static void shown(const char *name, int result) {
    say(name);
    say("=");
    say_number(result);
    say(" ");
}

static int t(int number, int a, int b, int c) {
    return trap3(number, a, b, c);
}

static int map(int flags, int fd) {
    return raw_trap(VEKOS_TRAP_MMAP, 0, PAGE, VEKOS_PROT_READ | VEKOS_PROT_WRITE, flags, fd, 0);
}

static char text[64];
static char *child_argv[] = {"every_trap.uelf", "child"};

/* Files, folders and descriptors, in /d. */
static void files(void) {
    shown("getcwd", t(VEKOS_TRAP_GETCWD, (int)text, sizeof text, 0));
    shown("mkdir", t(VEKOS_TRAP_MKDIR, (int)"/d", 0, 0));
    shown("chdir", t(VEKOS_TRAP_CHDIR, (int)"/d", 0, 0));
    shown("writefile", t(VEKOS_TRAP_WRITEFILE, (int)"f.txt", (int)"hello\n", 6));
    int fd = t(VEKOS_TRAP_OPEN, (int)"f.txt", VEKOS_O_RDONLY, 0);
    shown("open", fd);
    shown("read", t(VEKOS_TRAP_READ, fd, (int)text, sizeof text));
    shown("lseek", t(VEKOS_TRAP_LSEEK, fd, 1, 0));
    shown("dup", t(VEKOS_TRAP_DUP, fd, 0, 0));
    shown("dup2", t(VEKOS_TRAP_DUP2, fd, 9, 0));
    int anonymous = map(VEKOS_MAP_PRIVATE | VEKOS_MAP_ANONYMOUS, -1);
    int file = map(VEKOS_MAP_PRIVATE, fd);
    shown("mmap", anonymous != -1 && file != -1 && ((char *)file)[0] == 'h');
    shown("munmap", raw_trap(VEKOS_TRAP_MUNMAP, anonymous, PAGE, 0, 0, 0, 0) +
                        raw_trap(VEKOS_TRAP_MUNMAP, file, PAGE, 0, 0, 0, 0));
    shown("close", t(VEKOS_TRAP_CLOSE, fd, 0, 0));
    int handle = t(VEKOS_TRAP_VEKFS_STREAM_BEGIN, (int)"s.txt", 0, 0);
    shown("vekfs_stream_begin", handle);
    shown("vekfs_stream_write", t(VEKOS_TRAP_VEKFS_STREAM_WRITE, handle, (int)"abc", 3));
    shown("vekfs_stream_end", t(VEKOS_TRAP_VEKFS_STREAM_END, handle, 0, 0));
    shown("mkfifo", t(VEKOS_TRAP_MKFIFO, (int)"q", 0, 0));
    shown("unlink", t(VEKOS_TRAP_UNLINK, (int)"q", 0, 0));
    t(VEKOS_TRAP_UNLINK, (int)"f.txt", 0, 0);
    t(VEKOS_TRAP_UNLINK, (int)"s.txt", 0, 0);
    t(VEKOS_TRAP_CHDIR, (int)"/", 0, 0);
    shown("rmdir", t(VEKOS_TRAP_RMDIR, (int)"/d", 0, 0));
}

/* The console, the clock, pipes and processes. */
static void processes(void) {
    shown("getkey", t(VEKOS_TRAP_GETKEY, 0, 0, 0));
    shown("usleep", t(VEKOS_TRAP_USLEEP, 1000, 0, 0));
    shown("backtrace", t(VEKOS_TRAP_BACKTRACE, (int)__builtin_return_address(0), 0, 0));
    u32 low, high;
    __asm__ volatile("rdtsc" : "=a"(low), "=d"(high));
    shown("rdtsc", low != 0 || high != 0);
    shown("run", t(VEKOS_TRAP_RUN, (int)"every_trap.uelf child", 0, 0));
    int fds[2];
    shown("pipe", t(VEKOS_TRAP_PIPE, (int)fds, 0, 0));
    shown("fd_set_nonblock", t(VEKOS_TRAP_FD_SET_NONBLOCK, fds[0], 1, 0));
    shown("fd_set_inherit", t(VEKOS_TRAP_FD_SET_INHERIT, 0, 0, 0));
    shown("fd_set_stdio", t(VEKOS_TRAP_FD_SET_STDIO, -1, fds[1], -1));
    int child = t(VEKOS_TRAP_SPAWN, (int)child_argv[0], (int)child_argv, 2);
    shown("spawn", child);
    int status = -1;
    t(VEKOS_TRAP_WAITPID, child, (int)&status, VEKOS_WNOHANG); /* 0 or the child */
    int block[7] = {(int)child_argv[0], (int)child_argv, 2, -1, -1, -1, 0};
    shown("spawn_ex", t(VEKOS_TRAP_SPAWN_EX, (int)block, 0, 0));
    int reaped = 0;
    while (t(VEKOS_TRAP_WAITPID, -1, (int)&status, 0) > 0) reaped++;
    shown("waitpid", reaped > 0);
    t(VEKOS_TRAP_CLOSE, fds[1], 0, 0);
    shown("read", t(VEKOS_TRAP_READ, fds[0], (int)text, sizeof text));
}

int main(int argc, char **argv) {
    if (argc > 1 && same(argv[1], "child")) {
        say("child ");
        return 0;
    }
    files();
    processes();
    t(VEKOS_TRAP_WRITE, 1, (int)"\n", 1);
    return 0;
}
