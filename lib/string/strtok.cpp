// strtok keeps one position for the whole process; it is not re-entrant.
#include <string.h>

namespace {

bool is_delimiter(char c, const char *delim) {
    for (; *delim; delim++) {
        if (*delim == c) return true;
    }
    return false;
}

} // namespace

extern "C" char *strtok(char *s, const char *delim) {
    static char *s_next = nullptr;
    if (s)
        s_next = s;
    else if (!s_next)
        return nullptr;

    char *p = s_next;
    if (!*p) {
        s_next = nullptr;
        return nullptr;
    }
    bool has_delimiters = delim && *delim;
    if (!has_delimiters) {
        s_next = nullptr;
        return p;
    }
    while (*p && is_delimiter(*p, delim)) p++;
    if (!*p) {
        s_next = nullptr;
        return nullptr;
    }
    char *token = p;
    for (; *p; p++) {
        if (is_delimiter(*p, delim)) {
            *p = '\0';
            s_next = p + 1;
            return token;
        }
    }
    s_next = nullptr;
    return token;
}
