// Splits a format into directives with one engine's grammar: where each starts and ends,
// what it was written with, and which argument values it takes, in order.
#pragma once

#include "grammars.h"

#include <string_view>
#include <vector>

namespace vekos::format {

struct Directive {
    std::size_t start = 0;             // the percent sign
    std::size_t conversion_at = 0;     // the conversion character, or the end of the format
    std::size_t end = 0;               // just past the conversion character
    char conversion = 0;               // 0: the format ends inside the directive
    const Conversion *known = nullptr; // null: written as text, or the scan stops
    bool suppressed = false;
    std::string_view flags;
    std::string_view width;     // digits or "*", as written
    bool has_precision = false; // a full stop was read
    std::string_view precision; // digits or "*" after the full stop
    std::string_view length;
    bool wide = false;

    Value value() const;
    // Width, precision and value, in the order the engine takes them.
    std::vector<Value> arguments() const;
    bool ends_scan(const Grammar &grammar) const {
        return grammar.unknown == Unknown::stop && !known;
    }
};

// Every directive of the format up to its end (or up to the one that stops a scan).
std::vector<Directive> parse(const Grammar &grammar, std::string_view format);

// Where ISO C's grammar would end the directive at `start`: how much of the format the
// writer meant as one conversion.
std::size_t iso_directive_end(std::string_view format, std::size_t start);

} // namespace vekos::format
