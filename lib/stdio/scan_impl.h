// Internals of the scan engine behind sscanf and fscanf. Private to the library.
#pragma once

#include "internal/white_space.h"

namespace vekos {

// The engine's white space, in formats and input alike, is space, tab and line feed:
// carriage return, vertical tab and form feed in a format must match literally. Blanks,
// skipped before numbers and words, are only space and tab.
inline bool is_word_end(char c) {
    return c == '\0' || is_space_tab_or_line_feed(c);
}

// Reads the number of a d, i, u, x or X conversion at p, blanks first. On success p
// moves past the number and value holds it (negated, wrapping, after a minus sign); on
// failure p is left alone.
bool scan_integer(const char *&p, char conversion, unsigned &value);

} // namespace vekos
