/* cp: copies one file to another. The copy is held in memory and stored whole when the
   output stream is closed, so it must fit in the heap (1 MiB, with room to grow). */
#include <stdio.h>
#include <vekos_meta.h>

VEKOS_COMMAND("Copy one file to another.", "cp <from> <to>");
VEKOS_PACKAGE("examples", "1");

static char chunk[4096];

static int fail(const char *name, const char *why) {
    fputs("cp: ", stderr);
    fputs(name, stderr);
    fputs(why, stderr);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fputs("usage: cp <from> <to>\n", stderr);
        return 1;
    }
    FILE *in = fopen(argv[1], "r");
    if (!in) return fail(argv[1], ": no such file\n");
    FILE *out = fopen(argv[2], "w");
    if (!out) return fail(argv[2], ": out of memory\n");

    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) {
        if (fwrite(chunk, 1, got, out) != got) return fail(argv[1], ": too large to copy\n");
    }
    fclose(in);
    if (fclose(out) != 0) return fail(argv[2], ": cannot be written\n");
    return 0;
}
