// words: splits its arguments into words at spaces, commas and colons, and prints each
// word with its length, longest word last. `words "a,bb:ccc"` prints three lines.
#include <stdio.h>
#include <string.h>
#include <vekos_meta.h>

VEKOS_COMMAND("Split arguments into words and show their lengths.", "words <text>...");
VEKOS_PACKAGE("examples", "1");

namespace {

void print_number(unsigned value) {
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    while (count) putchar(digits[--count]);
}

} // namespace

int main(int argc, char **argv) {
    char line[256] = "";
    for (int i = 1; i < argc; i++) {
        if (strlen(line) + strlen(argv[i]) + 2 > sizeof line) break;
        strcat(line, argv[i]);
        strcat(line, " ");
    }

    const char *longest = "";
    unsigned count = 0;
    for (char *word = strtok(line, " ,:"); word; word = strtok(nullptr, " ,:")) {
        fputs(word, stdout);
        putchar('\t');
        print_number(strlen(word));
        putchar('\n');
        if (strlen(word) > strlen(longest)) longest = word;
        count++;
    }
    fputs("words: ", stdout);
    print_number(count);
    if (count) {
        fputs(", longest: ", stdout);
        fputs(longest, stdout);
    }
    putchar('\n');
    return 0;
}
