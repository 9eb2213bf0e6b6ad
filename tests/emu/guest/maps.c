/* The emulator's mapping and streamed-file test program: argv[1] chooses the case. Freestanding,
   no library. */
#include "guest.h"

#include "abi/trap_flags.h"

enum { PAGE = 4096, MIB = 1 << 20 };
#define ANON (VEKOS_MAP_PRIVATE | VEKOS_MAP_ANONYMOUS)

static char *map(u32 len, int prot, int flags, int fd, u32 offset) {
    return (char *)raw_trap(VEKOS_TRAP_MMAP, 0, (int)len, prot, flags, fd, (int)offset);
}

static int unmap(const void *at, u32 len) {
    return raw_trap(VEKOS_TRAP_MUNMAP, (int)at, (int)len, 0, 0, 0, 0);
}

static int run(const char *line) {
    return raw_trap(VEKOS_TRAP_RUN, (int)line, 0, 0, 0, 0, 0);
}

/* 1 MiB mappings until the kernel refuses: how many it gave. */
static int grab(void) {
    int n = 0;
    while (map(MIB, VEKOS_PROT_READ | VEKOS_PROT_WRITE, ANON, -1, 0) != (char *)-1) n++;
    return n;
}

static int stream_write(int handle, const char *text) {
    return raw_trap(VEKOS_TRAP_VEKFS_STREAM_WRITE, handle, (int)text, (int)length(text), 0, 0, 0);
}

static void cat(const char *path) {
    char buffer[64];
    int fd = raw_trap(VEKOS_TRAP_OPEN, (int)path, 0, 0, 0, 0, 0), n;
    if (fd < 0) return say("(none)\n");
    while ((n = raw_trap(VEKOS_TRAP_READ, fd, (int)buffer, sizeof buffer, 0, 0, 0)) > 0)
        raw_trap(VEKOS_TRAP_WRITE, 1, (int)buffer, n, 0, 0, 0);
    raw_trap(VEKOS_TRAP_CLOSE, fd, 0, 0, 0, 0, 0);
    say("\n");
}

/* Zero-filled and writable, three pages; then the same page count again elsewhere. */
static int anonymous(void) {
    char *a = map(3 * PAGE - 100, VEKOS_PROT_READ | VEKOS_PROT_WRITE, ANON, -1, 0);
    char *b = map(PAGE, VEKOS_PROT_READ | VEKOS_PROT_WRITE | VEKOS_PROT_EXEC, ANON, -1, 0);
    if (a == (char *)-1 || b == (char *)-1 || a == b) return say("map failed\n"), 1;
    for (u32 i = 0; i < 3 * PAGE; i++)
        if (a[i] != 0) return say("not zero\n"), 1;
    for (u32 i = 0; i < 3 * PAGE; i++) a[i] = (char)i;
    if (a[3 * PAGE - 1] != (char)(3 * PAGE - 1)) return say("not kept\n"), 1;
    say("anonymous ok\n");
    return 0;
}

/* maps a file's range privately: file PATH OFFSET; shows it, changes it, shows the file. */
static int file(const char *path, u32 offset) {
    int fd = raw_trap(VEKOS_TRAP_OPEN, (int)path, 2, 0, 0, 0, 0);
    char *m = map(2 * PAGE, VEKOS_PROT_READ | VEKOS_PROT_WRITE, VEKOS_MAP_PRIVATE, fd, offset);
    if (m == (char *)-1) return say("map failed\n"), 1;
    raw_trap(VEKOS_TRAP_WRITE, 1, (int)m, (int)length(m), 0, 0, 0);
    say(m[2 * PAGE - 1] == 0 ? "|zero past the end\n" : "|not zero\n");
    m[0] = '#';
    cat(path);
    return 0;
}

/* Three pages, the middle one released: the others stay, touching it faults. */
static int partial(void) {
    volatile char *m = map(3 * PAGE, VEKOS_PROT_READ | VEKOS_PROT_WRITE, ANON, -1, 0);
    m[0] = 1, m[PAGE] = 2, m[2 * PAGE] = 3;
    say_number(unmap((char *)m + PAGE, PAGE)), say("\n");
    say_number(m[0] + m[2 * PAGE]), say("\n");
    return m[PAGE];
}

static int read_only(void) {
    volatile char *m = map(PAGE, VEKOS_PROT_READ, ANON, -1, 0);
    say_number(m[10]), say("\n");
    m[10] = 1;
    return 0;
}

/* Requests the kernel refuses, one line each: the result of each. */
static int refused(void) {
    static const struct {
        const char *what;
        int prot, flags, fd;
        u32 len, offset;
    } cases[] = {
        {"fixed", VEKOS_PROT_READ, ANON | VEKOS_MAP_FIXED, -1, PAGE, 0},
        {"shared", VEKOS_PROT_READ, VEKOS_MAP_SHARED | VEKOS_MAP_ANONYMOUS, -1, PAGE, 0},
        {"no private", VEKOS_PROT_READ, VEKOS_MAP_ANONYMOUS, -1, PAGE, 0},
        {"unknown flag", VEKOS_PROT_READ, ANON | 0x100, -1, PAGE, 0},
        {"unknown prot", 8, ANON, -1, PAGE, 0},
        {"zero length", VEKOS_PROT_READ, ANON, -1, 0, 0},
        {"anonymous with fd", VEKOS_PROT_READ, ANON, 0, PAGE, 0},
        {"bad fd", VEKOS_PROT_READ, VEKOS_MAP_PRIVATE, 9, PAGE, 0},
        {"console", VEKOS_PROT_READ, VEKOS_MAP_PRIVATE, 1, PAGE, 0},
        {"unaligned offset", VEKOS_PROT_READ, VEKOS_MAP_PRIVATE, 3, PAGE, 100},
        {"too long", VEKOS_PROT_READ, ANON, -1, 0x80000000u, 0},
    };
    raw_trap(VEKOS_TRAP_OPEN, (int)"/bin/maps.uelf", 0, 0, 0, 0, 0); /* descriptor 3 */
    for (u32 i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        say(cases[i].what), say(" ");
        say_number(
            (int)map(cases[i].len, cases[i].prot, cases[i].flags, cases[i].fd, cases[i].offset));
        say("\n");
    }
    char local;
    say("unmap image "), say_number(unmap((void *)((u32)refused & ~(PAGE - 1)), PAGE)), say("\n");
    say("unmap stack "), say_number(unmap((void *)((u32)&local & ~(PAGE - 1)), PAGE)), say("\n");
    return 0;
}

static int streams(const char *path, const char *reader) {
    int h = raw_trap(VEKOS_TRAP_VEKFS_STREAM_BEGIN, (int)path, 0, 0, 0, 0, 0);
    say("handle "), say_number(h), say("\n");
    say_number(stream_write(h, "new ")), say("\n");
    say_number(stream_write(h, "content")), say("\n");
    run(reader);
    say("end "), say_number(raw_trap(VEKOS_TRAP_VEKFS_STREAM_END, h, 0, 0, 0, 0, 0)), say("\n");
    run(reader);
    return 0;
}

static int bad_streams(void) {
    say_number(stream_write(99, "x")), say(" ");
    say_number(raw_trap(VEKOS_TRAP_VEKFS_STREAM_END, 99, 0, 0, 0, 0, 0)), say(" ");
    say_number(raw_trap(VEKOS_TRAP_VEKFS_STREAM_END, 0, 0, 0, 0, 0, 0)), say(" ");
    say_number(raw_trap(VEKOS_TRAP_VEKFS_STREAM_BEGIN, (int)"/none/f", 0, 0, 0, 0, 0)), say(" ");
    say_number(raw_trap(VEKOS_TRAP_VEKFS_STREAM_BEGIN, (int)"/bin", 0, 0, 0, 0, 0)), say("\n");
    return 0;
}

/* Begins a stream and writes to it, then ends without ending it: by exit or spinning. */
static volatile int spins;
static int unfinished(const char *path, int spin) {
    int h = raw_trap(VEKOS_TRAP_VEKFS_STREAM_BEGIN, (int)path, 0, 0, 0, 0, 0);
    stream_write(h, "lost");
    while (spin) spins++;
    return 0;
}

int main(int argc, char **argv) {
    const char *what = argc > 1 ? argv[1] : "";
    if (same(what, "anonymous")) return anonymous();
    if (same(what, "file") && argc > 3) {
        u32 offset = 0;
        for (const char *s = argv[3]; *s; s++) offset = offset * 10 + (u32)(*s - '0');
        return file(argv[2], offset);
    }
    if (same(what, "partial")) return partial();
    if (same(what, "read-only")) return read_only();
    if (same(what, "none")) return *(volatile char *)map(PAGE, 0, ANON, -1, 0);
    if (same(what, "exec")) return ((int (*)(void))map(PAGE, VEKOS_PROT_READ | VEKOS_PROT_EXEC, ANON, -1, 0))();
    if (same(what, "refused")) return refused();
    if (same(what, "grab")) return say("grab "), say_number(grab()), say("\n"), 0;
    if (same(what, "hold")) { /* 32 MiB held while a child grabs what it can */
        for (int i = 0; i < 32; i++) map(MIB, VEKOS_PROT_READ | VEKOS_PROT_WRITE, ANON, -1, 0);
        run("maps.uelf grab");
        say("after "), say_number(grab()), say("\n");
        return 0;
    }
    if (same(what, "release")) { /* everything, then all of it again */
        int n = grab();
        say_number(n), say(" "), say_number(unmap((void *)0xA0000000, 64 * MIB)), say(" ");
        say_number(grab()), say("\n");
        return 0;
    }
    if (same(what, "cat") && argc > 2) return cat(argv[2]), 0;
    if (same(what, "stream") && argc > 3) return streams(argv[2], argv[3]);
    if (same(what, "bad-streams")) return bad_streams();
    if (same(what, "unfinished") && argc > 2) return unfinished(argv[2], argc > 3);
    say("maps: unknown case\n");
    return 100;
}
