// Internals of the scan engine behind sscanf and fscanf. Private to the library.
#pragma once

namespace vekos {

// A white-space directive in a format: carriage return, vertical tab and form feed are
// ordinary characters there and must match literally.
inline bool is_format_space(char c) {
    return c == '\t' || c == '\n' || c == ' ';
}

// What a white-space directive skips in the input.
inline bool is_input_space(char c) {
    return c == '\t' || c == '\n' || c == ' ';
}

// Skipped before numbers and words; a line feed is not a blank.
inline bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

inline bool is_word_end(char c) {
    return c == '\0' || is_input_space(c);
}

// Reads the number of a d, i, u, x or X conversion at p, blanks first. On success p
// moves past the number and value holds it (negated, wrapping, after a minus sign); on
// failure p is left alone.
bool scan_integer(const char *&p, char conversion, unsigned &value);

} // namespace vekos
