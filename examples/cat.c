/* cat: copies each named file to the console, in order; "-", or no name at all, copies
   standard input. A file that can't be opened is reported and skipped; the exit status
   is then 1. */
#include <stdio.h>
#include <vekos_meta.h>

VEKOS_COMMAND("Copy files, or standard input, to the console.", "cat [file|-]...");
VEKOS_PACKAGE("examples", "1");

static char chunk[4096];

static void copy_to_console(FILE *in) {
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) fwrite(chunk, 1, got, stdout);
}

static int cat_one(const char *name) {
    FILE *in = fopen(name, "r");
    if (!in) {
        fputs("cat: ", stderr);
        fputs(name, stderr);
        fputs(": no such file\n", stderr);
        return 1;
    }
    copy_to_console(in);
    fclose(in);
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) return cat_one("-");
    int status = 0;
    for (int i = 1; i < argc; i++) status |= cat_one(argv[i]);
    return status;
}
