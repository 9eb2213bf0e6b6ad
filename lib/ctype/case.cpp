// Case mapping of the C locale: only the ASCII letters have another case.
#include <ctype.h>

extern "C" {

int tolower(int c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

int toupper(int c) {
    return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c;
}

} // extern "C"
