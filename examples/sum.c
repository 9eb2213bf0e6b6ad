/* sum: adds up the whitespace-separated integers of each named file, or of standard input
   when the name is "-" or none is given, and prints their count and total:

       3 numbers, total 60

   A word that does not start with a number is skipped and counted apart. fscanf reads one
   word per call, so "12abc" counts as 12. The exit status is 1 when a file can't be
   opened. */
#include <stdio.h>
#include <vekos_meta.h>

VEKOS_COMMAND("Add up the integers of files or standard input.", "sum [file...]");
VEKOS_PACKAGE("examples", "1");

struct tally {
    unsigned numbers;
    unsigned skipped;
    long long total;
};

static void add_stream(FILE *in, struct tally *tally) {
    int value;
    int got;
    while ((got = fscanf(in, "%d", &value)) != EOF) {
        if (got == 1) {
            tally->numbers++;
            tally->total += value;
        } else {
            tally->skipped++;
        }
    }
}

static int add_file(const char *name, struct tally *tally) {
    FILE *in = fopen(name, "r");
    if (!in) {
        printf("sum: cannot open %s\n", name);
        return 1;
    }
    add_stream(in, tally);
    fclose(in);
    return 0;
}

int main(int argc, char **argv) {
    struct tally tally = {0, 0, 0};
    int status = 0;
    if (argc < 2) status = add_file("-", &tally);
    for (int i = 1; i < argc; i++) status |= add_file(argv[i], &tally);

    printf("%u numbers, total %lld\n", tally.numbers, tally.total);
    if (tally.skipped) printf("skipped (not numbers): %u\n", tally.skipped);
    return status;
}
