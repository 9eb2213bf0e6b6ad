/* The vekos kernel's trap numbers: `int 0x80` with the number in eax. The one list shared by
   the library's wrappers, `run`, vekos-emu and the tests; C and C++ alike. */
#ifndef VEKOS_ABI_TRAP_NUMBERS_H
#define VEKOS_ABI_TRAP_NUMBERS_H

enum vekos_trap_number {
    VEKOS_TRAP_WRITE = 1,
    VEKOS_TRAP_EXIT = 2,
    VEKOS_TRAP_READ = 3,
    VEKOS_TRAP_OPEN = 4,
    VEKOS_TRAP_CLOSE = 5,
    VEKOS_TRAP_GETKEY = 6,
    VEKOS_TRAP_WRITEFILE = 21,
    VEKOS_TRAP_USLEEP = 22,
    VEKOS_TRAP_MKDIR = 49,
    VEKOS_TRAP_UNLINK = 50,
    VEKOS_TRAP_RMDIR = 51,
    VEKOS_TRAP_GETCWD = 52,
    VEKOS_TRAP_VEKFS_STREAM_BEGIN = 53,
    VEKOS_TRAP_VEKFS_STREAM_WRITE = 54,
    VEKOS_TRAP_VEKFS_STREAM_END = 55,
    VEKOS_TRAP_CHDIR = 95,
    VEKOS_TRAP_RUN = 96, /* the run request: ebx is the command line */
    VEKOS_TRAP_MMAP = 98,
    VEKOS_TRAP_MUNMAP = 99,
    VEKOS_TRAP_LSEEK = 110,
    VEKOS_TRAP_PIPE = 124,
    VEKOS_TRAP_MKFIFO = 125,
    VEKOS_TRAP_DUP = 126,
    VEKOS_TRAP_DUP2 = 127,
    VEKOS_TRAP_FD_SET_INHERIT = 128,
    VEKOS_TRAP_FD_SET_STDIO = 129,
    VEKOS_TRAP_FD_SET_NONBLOCK = 130,
    VEKOS_TRAP_SPAWN = 131,
    VEKOS_TRAP_WAITPID = 132,
    VEKOS_TRAP_SPAWN_EX = 150,
    /* vekos-emu only: shows the backtrace from the return address in ebx, for a failed
       run-time check (libvekos_checks.a). The vekos kernel has no such trap: it returns -1
       there, which the caller ignores. */
    VEKOS_TRAP_BACKTRACE = 160
};

#endif
