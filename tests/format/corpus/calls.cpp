// C++: templates, lambdas, members, constants and macros. Each "expect COLUMN: TEXT" names a
// warning on its line.
#include <stdio.h>

#define SHOW(value) printf("%-4d\n", value) // expect 30: printf has no '-' flag

constexpr const char row_format[] = "%s=%zu\n";
static const char *const size_format = "%d bytes\n";

template <typename T> void show(T value) {
    printf("%d\n", value); // expect 13: this is a 64-bit 'long long int'
}

struct Table {
    int rows = 0;
    void print() const { printf("%05u rows\n", rows); } // expect 35: '%05u' pads with spaces
};

int main(int argc, char **argv) {
    auto report = [&] { printf("%zu\n", sizeof argv); }; // expect 34: no 'z' length modifier
    report();
    show(argc);
    show(0ll);
    SHOW(argc);
    Table().print();
    printf(row_format, argv[0], sizeof argv); // expect 11: printf has no 'z' length modifier
    printf(size_format, 4);
    char buf[16];
    snprintf(buf, sizeof buf, "%s", nullptr);
    int n = snprintf(nullptr, 0, "%s", argc); // expect 35: '%s' takes a pointer to a string, but this is 'int'
    sscanf(argv[0], "%d", &n);
    return n;
}
