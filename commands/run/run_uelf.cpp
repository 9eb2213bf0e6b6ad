// run: joins its arguments into one command line and asks the kernel to run it.
#include <stdio.h>
#include <string.h>
#include <vekos_meta.h>

#include "abi/trap_numbers.h"

// The command record, read by the system's tools without running the program.
VEKOS_COMMAND("Run a native program, .uelf, or script.", "run <program> [args...]");

namespace {

constexpr size_t max_line_length = 191;

// The run request, with the line's address; 0 when the kernel ran the program.
int request_run(const char *line) {
    int result;
    asm volatile("int $0x80" : "=a"(result) : "a"(VEKOS_TRAP_RUN), "b"(line) : "memory");
    return result;
}

} // namespace

int main(int argc, char **argv) {
    if (argc <= 1 || !argv[1] || !argv[1][0]) {
        puts("Usage: run <program.vek|program.bin|program.flat|program.uelf|script.shell> "
             "[args...]");
        return 1;
    }

    char line[200];
    line[0] = '\0';
    for (int i = 1; i < argc; i++) {
        if (!argv[i]) continue;
        if (line[0]) {
            if (strlen(line) >= max_line_length) break;
            strcat(line, " ");
        }
        size_t length = strlen(line);
        if (length == max_line_length) break;
        strncat(line, argv[i], max_line_length - length);
    }

    if (request_run(line) != 0) {
        puts("run: failed");
        return 1;
    }
    return 0;
}
