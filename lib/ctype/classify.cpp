// Character classes of the C locale, one bit each, from one table of the 128 ASCII codes.
#include <ctype.h>
#include <stdint.h>

namespace {

enum : uint8_t {
    control = 1,
    space = 2,
    blank = 4,
    punct = 8,
    digit = 16,
    upper = 32,
    lower = 64,
    hex = 128,
};

constexpr uint8_t class_of(int c) {
    uint8_t bits = 0;
    if (c < 32 || c == 127) bits |= control;
    if (c == ' ' || (c >= '\t' && c <= '\r')) bits |= space;
    if (c == ' ' || c == '\t') bits |= blank;
    if (c >= '0' && c <= '9') bits |= digit | hex;
    if (c >= 'A' && c <= 'Z') bits |= upper;
    if (c >= 'a' && c <= 'z') bits |= lower;
    if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) bits |= hex;
    if (c > ' ' && c < 127 && !(bits & (digit | upper | lower))) bits |= punct;
    return bits;
}

struct ClassTable {
    uint8_t bits[128];
    constexpr ClassTable() : bits() {
        for (int c = 0; c < 128; c++) bits[c] = class_of(c);
    }
};

constexpr ClassTable table;

// Bytes above 127, EOF and values no byte has are in no class.
bool has(int c, uint8_t bits) {
    return c >= 0 && c < 128 && (table.bits[c] & bits);
}

} // namespace

extern "C" {

int isalnum(int c) {
    return has(c, digit | upper | lower);
}
int isalpha(int c) {
    return has(c, upper | lower);
}
int isblank(int c) {
    return has(c, blank);
}
int iscntrl(int c) {
    return has(c, control);
}
int isdigit(int c) {
    return has(c, digit);
}
int isgraph(int c) {
    return has(c, punct | digit | upper | lower);
}
int islower(int c) {
    return has(c, lower);
}
int isprint(int c) {
    return c == ' ' || has(c, punct | digit | upper | lower);
}
int ispunct(int c) {
    return has(c, punct);
}
int isspace(int c) {
    return has(c, space);
}
int isupper(int c) {
    return has(c, upper);
}
int isxdigit(int c) {
    return has(c, hex);
}

} // extern "C"
