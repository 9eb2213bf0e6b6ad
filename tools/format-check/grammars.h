// The library's three format languages, one table each: what follows a percent sign, and
// which argument each conversion takes. The compile-time checker parses formats with these
// tables, and tests/format runs formats built from them through the engines themselves, so
// the checker and the engines cannot drift apart.
#pragma once

#include <cstddef>
#include <iterator>

namespace vekos::format {

// What one item of a directive takes from the variable arguments.
enum class Value : unsigned char {
    none,
    int_word,        // int: d and i, and every asterisk
    unsigned_word,   // unsigned int
    char_word,       // an int whose low 8 bits are used
    string,          // a pointer to char
    pointer,         // any pointer
    int64,           // long long: two words
    uint64,          // unsigned long long: two words
    int_target,      // scanning: int *
    unsigned_target, // scanning: unsigned int *
    char_target,     // scanning: one char
    string_target,   // scanning: a char array
};

struct Conversion {
    char letter;
    Value value;      // without a 64-bit length modifier
    Value wide_value; // with one
};

struct LengthModifier {
    const char *text;
    bool wide; // selects Conversion::wide_value
};

// What an engine does with a conversion character that is not in its table.
enum class Unknown { text, stop };

struct Grammar {
    const char *engine;            // named in messages
    const char *flags;             // flag characters, read as any run
    bool suppression;              // an asterisk right after the percent sign assigns nothing
    bool star_width;               // an asterisk as the width takes an int argument
    bool precision;                // a full stop, then digits or an asterisk
    const LengthModifier *lengths; // tried in order; at most one is read
    std::size_t length_count;
    const Conversion *conversions;
    std::size_t conversion_count;
    Unknown unknown;
};

// snprintf, vsnprintf, sprintf, vsprintf: flags - 0 +, l ll z accepted and ignored, every
// value one 32-bit word.
inline constexpr LengthModifier buffer_lengths[] = {{"ll", false}, {"l", false}, {"z", false}};
inline constexpr Conversion buffer_conversions[] = {
    {'d', Value::int_word, Value::int_word},
    {'i', Value::int_word, Value::int_word},
    {'u', Value::unsigned_word, Value::unsigned_word},
    {'x', Value::unsigned_word, Value::unsigned_word},
    {'X', Value::unsigned_word, Value::unsigned_word},
    {'c', Value::char_word, Value::char_word},
    {'s', Value::string, Value::string},
    {'p', Value::pointer, Value::pointer},
    {'%', Value::none, Value::none},
};
inline constexpr Grammar buffer_grammar = {"the buffer formatter",
                                           "-0+",
                                           false,
                                           true,
                                           true,
                                           buffer_lengths,
                                           std::size(buffer_lengths),
                                           buffer_conversions,
                                           std::size(buffer_conversions),
                                           Unknown::text};

// printf, fprintf, vfprintf: no flags, no X, no z; ll makes d i u x p 64-bit.
inline constexpr LengthModifier stream_lengths[] = {{"ll", true}, {"l", false}};
inline constexpr Conversion stream_conversions[] = {
    {'%', Value::none, Value::none},
    {'c', Value::char_word, Value::char_word},
    {'s', Value::string, Value::string},
    {'d', Value::int_word, Value::int64},
    {'i', Value::int_word, Value::int64},
    {'u', Value::unsigned_word, Value::uint64},
    {'x', Value::unsigned_word, Value::uint64},
    {'p', Value::pointer, Value::uint64},
};
inline constexpr Grammar stream_grammar = {"the stream formatter",
                                           "",
                                           false,
                                           true,
                                           true,
                                           stream_lengths,
                                           std::size(stream_lengths),
                                           stream_conversions,
                                           std::size(stream_conversions),
                                           Unknown::text};

// sscanf, vsscanf, fscanf: * suppresses, a width bounds only %s, no length modifiers; any
// other conversion ends the scan.
inline constexpr Conversion scan_conversions[] = {
    {'%', Value::none, Value::none},
    {'c', Value::char_target, Value::char_target},
    {'s', Value::string_target, Value::string_target},
    {'d', Value::int_target, Value::int_target},
    {'i', Value::int_target, Value::int_target},
    {'u', Value::unsigned_target, Value::unsigned_target},
    {'x', Value::unsigned_target, Value::unsigned_target},
    {'X', Value::unsigned_target, Value::unsigned_target},
};
inline constexpr Grammar scan_grammar = {
    "the scan engine",           "",           true, false, false, nullptr, 0, scan_conversions,
    std::size(scan_conversions), Unknown::stop};

// 32-bit words a value occupies in the variable arguments.
constexpr unsigned words_of(Value value) {
    return value == Value::none ? 0 : value == Value::int64 || value == Value::uint64 ? 2 : 1;
}

} // namespace vekos::format
