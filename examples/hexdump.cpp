// hexdump: prints a file, or standard input when the argument is `-` or missing, as lines
// of a hexadecimal offset, up to sixteen bytes in hexadecimal and the same bytes as text
// (`.` for bytes that aren't printable), then the total length:
//
//     00000000  68 69 0a                                          |hi.|
//     00000003
#include <stdio.h>
#include <vekos_meta.h>

VEKOS_COMMAND("Show a file as hexadecimal bytes and text.", "hexdump [file|-]");
VEKOS_PACKAGE("examples", "1");

namespace {

constexpr unsigned line_bytes = 16;

// Fills a whole line unless the input ends first: a short read is not the end of input.
unsigned read_line(FILE *in, unsigned char *line) {
    unsigned have = 0;
    while (have < line_bytes) {
        size_t got = fread(line + have, 1, line_bytes - have, in);
        if (got == 0) break;
        have += unsigned(got);
    }
    return have;
}

// printf has no zero-fill flag; a precision gives the leading zeros instead.
void print_line(unsigned offset, const unsigned char *line, unsigned count) {
    char text[line_bytes + 1];
    printf("%.8x ", offset);
    for (unsigned i = 0; i < line_bytes; i++) {
        if (i % 8 == 0) printf(" ");
        if (i >= count) {
            printf("   ");
            continue;
        }
        printf("%.2x ", line[i]);
        text[i] = line[i] >= 0x20 && line[i] < 0x7f ? char(line[i]) : '.';
    }
    text[count] = '\0';
    printf(" |%s|\n", text);
}

} // namespace

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "-";
    FILE *in = fopen(path, "r");
    if (!in) {
        printf("hexdump: cannot open %s\n", path);
        return 1;
    }
    unsigned char line[line_bytes];
    unsigned offset = 0;
    for (unsigned count; (count = read_line(in, line)) != 0; offset += count) {
        print_line(offset, line, count);
    }
    printf("%.8x\n", offset);
    fclose(in);
    return 0;
}
