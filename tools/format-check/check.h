// Checks one call of a formatting function against the engine it reaches: what will be
// printed as text, which arguments do not fit, and where scanning stops. Knows nothing of
// the compiler: the plugin describes the call, and places and words each finding.
#pragma once

#include "parse.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos::format {

struct Function {
    const char *name;
    const Grammar *grammar;
    unsigned format_index; // of the format among the call's arguments
    bool variadic;         // false for the v* forms: only the format can be checked
    bool reaches_console;  // printf: always stdout
};

// The formatting function called `name`, or null.
const Function *find_function(std::string_view name);

// One variable argument, after the default promotions, as the compiler sees it.
struct Argument {
    enum class Kind { integer, floating, pointer, null_pointer, other } kind = Kind::integer;
    unsigned bytes = 4; // size of the value passed
    std::string type;   // spelled as the compiler spells it
    // Pointers: what they point at.
    enum class Target { none, character, integer, other } target = Target::none;
    unsigned target_bytes = 0;
    unsigned array_bytes = 0; // size of the array the pointer comes from, 0 unknown
    std::string array_name;   // its name, when it has one
};

struct Call {
    const Function *function = nullptr;
    std::string_view format;
    std::vector<Argument> arguments; // the variable arguments (empty for v* forms)
    bool console_stream = false;     // the stream is stdout or stderr (or the call is printf)
};

struct Finding {
    std::size_t at = npos;        // offset in the format for the caret, or npos
    std::size_t from = 0, to = 0; // the directive, for the underline
    int argument = -1;            // the variable argument concerned, or -1
    std::string message;
    static constexpr std::size_t npos = std::string_view::npos;
};

std::vector<Finding> check(const Call &call);

} // namespace vekos::format
