// The white-space sets of the library, one definition per distinct set. The function
// families differ on purpose: each set is named by its members, and each caller says which
// family it serves. Private to the library.
#pragma once

namespace vekos {

// Space and tab: the scan engine's blanks before numbers and words.
[[gnu::always_inline]] constexpr bool is_space_or_tab(char c) {
    return c == ' ' || c == '\t';
}

// Space, tab and line feed: skipped by atoi and atol, and the scan engine's white space in
// formats and input.
[[gnu::always_inline]] constexpr bool is_space_tab_or_line_feed(char c) {
    return c == '\t' || c == '\n' || c == ' ';
}

// Space, tab, line feed and carriage return: skipped by strtoul and strtol, and what ends
// fscanf's words. Vertical tab and form feed are not members.
[[gnu::always_inline]] constexpr bool is_space_tab_line_feed_or_return(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// Space and the bytes tab to carriage return (9 to 13): skipped by strtold and strtod.
[[gnu::always_inline]] constexpr bool is_space_or_tab_to_return(char c) {
    return (c >= '\t' && c <= '\r') || c == ' ';
}

} // namespace vekos
