// The checker on described calls, engine by engine: each pitfall gives its finding at the
// right place with the right advice, and correct formats give none.
#include "check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace vekos::format;
using Kind = Argument::Kind;
using Target = Argument::Target;

Argument integer(const char *type = "int", unsigned bytes = 4) {
    Argument a;
    a.bytes = bytes;
    a.type = type;
    return a;
}
Argument floating() {
    Argument a = integer("double", 8);
    a.kind = Kind::floating;
    return a;
}
Argument pointer(const char *type, Target target, unsigned target_bytes = 1,
                 unsigned array_bytes = 0, const char *array_name = "") {
    return {Kind::pointer, 4, type, target, target_bytes, array_bytes, array_name};
}
const Argument i32 = integer(), i64 = integer("long long int", 8);
const Argument text = pointer("char *", Target::character);
const Argument int_ptr = pointer("int *", Target::integer, 4);
const Argument short_ptr = pointer("short int *", Target::integer, 2);
const Argument name32 = pointer("char *", Target::character, 1, 32, "name");

struct Expected {
    std::size_t at; // offset of the caret in the format, or Finding::npos
    std::string words;
};

struct Case {
    const char *function;
    const char *format;
    std::vector<Argument> arguments;
    std::vector<Expected> findings; // empty: the call must pass silently
    bool console = false;           // fprintf on stdout or stderr
};

constexpr std::size_t none = Finding::npos;

void check_table(const std::vector<Case> &table) {
    for (const Case &row : table) {
        Call call;
        call.function = find_function(row.function);
        ASSERT_NE(call.function, nullptr) << row.function;
        call.format = row.format;
        call.arguments = row.arguments;
        call.console_stream = row.console || call.function->reaches_console;
        std::vector<Finding> found = check(call);
        std::string context = std::string(row.function) + "(\"" + row.format + "\")";
        std::string got;
        for (const Finding &f : found) got += "\n  at " + std::to_string(f.at) + ": " + f.message;
        ASSERT_EQ(found.size(), row.findings.size())
            << context << ": expected " << row.findings.size() << " findings, got:" << got;
        for (std::size_t i = 0; i < found.size(); i++) {
            EXPECT_EQ(found[i].at, row.findings[i].at) << context << ": " << found[i].message;
            EXPECT_NE(found[i].message.find(row.findings[i].words), std::string::npos)
                << context << ": expected a finding saying \"" << row.findings[i].words
                << "\", got \"" << found[i].message << "\"";
        }
    }
}

TEST(FormatCheck, StreamFormatterPitfalls) {
    check_table({
        {"printf",
         "%-10s %s\n",
         {text, text},
         {{1, "printf has no '-' flag: '%-10s' is printed as text and takes no argument"}}},
        {"printf", "%-10s|", {text}, {{1, "neither formatter pads after a string"}}},
        {"printf",
         "%-5d|",
         {i32},
         {{1, "format it with snprintf, which has the '-' flag, then fputs"}}},
        {"printf", "%+d", {i32}, {{1, "printf has no '+' flag"}}},
        {"printf",
         "%05d",
         {i32},
         {{1, "'%05d' pads with spaces: printf has no '0' flag; write '%.5d'"}}},
        {"printf", "%zu items", {i32}, {{1, "no 'z' length modifier: '%zu' is printed as text"}}},
        {"printf", "%X", {i32}, {{1, "printf has no %X conversion"}}},
        {"printf", "%5.2f", {floating()}, {{4, "'%5.2f' is printed as text ('%f')"}}},
        {"printf", "%c is %d", {i32, i32}, {{0, "sends a console record"}}},
        {"fprintf", "%c", {i32}, {{0, "0xFF and the low bytes of three int arguments"}}, true},
        {"fprintf", "%c", {i32, i32, i32}, {}, true}, // a record meant as one
        {"fprintf", "%cAB", {i32}, {}},               // a memory stream: an ordinary %c
        {"printf", "x%c", {i32}, {}},
        {"printf",
         "%d",
         {i64},
         {{0, "takes a 32-bit int, but this is a 64-bit 'long long int': write '%lld'"}}},
        {"printf", "%lld", {i32}, {{0, "takes a 64-bit value, but this 'int' is one word"}}},
        {"printf", "%s", {i32}, {{0, "'%s' takes a pointer to a string, but this is 'int'"}}},
        {"printf",
         "%s",
         {int_ptr},
         {{0, "prints the text at a pointer to char, but this is 'int *'"}}},
        {"printf", "%d", {text}, {{0, "write '%p' for an address"}}},
        {"printf", "%u", {floating()}, {{0, "there is no floating-point output"}}},
        {"printf",
         "%d %s",
         {i32},
         {{3, "'%s' has no argument: the format takes 2 argument words and the call passes 1"}}},
        {"printf",
         "%d",
         {i32, i32},
         {{none, "the call passes 2 argument words, but the format takes 1"}}},
        {"printf", "ab%5", {}, {{2, "ends the format inside a directive"}}},
    });
}

TEST(FormatCheck, BufferFormatterPitfalls) {
    check_table({
        {"snprintf",
         "%-10s|",
         {text},
         {{1, "'%-10s' prints no spaces: snprintf never pads after a string"}}},
        {"sprintf", "%-*s|", {i32, text}, {{1, "prints no spaces"}}},
        {"snprintf",
         "%5c|",
         {i32},
         {{1, "'%5c' is not padded: snprintf ignores the width and precision of %c"}}},
        {"snprintf", "%10p", {text}, {{1, "printf honours them"}}},
        {"snprintf",
         "%f",
         {floating()},
         {{1, "snprintf has no %f conversion: '%f' is printed as text"}}},
        {"snprintf",
         "%lld",
         {i64},
         {{0, "takes one 32-bit word, but this is a 64-bit 'long long int'"}}},
        {"snprintf", "%lld%d", {i64, i32}, {{0, "the high half goes to the next conversion"}}},
        {"snprintf", "% d", {i32}, {{1, "snprintf has no ' ' flag"}}},
        {"snprintf", "%#x", {i32}, {{1, "as in '0x%x'"}}},
        {"snprintf",
         "%hd",
         {i32},
         {{1, "snprintf has no 'h' length modifier: '%hd' is printed as text"}}},
        {"snprintf",
         "%lz",
         {i32},
         {{2, "reads one length modifier: 'z' after 'l' is taken as the conversion"}}},
        {"vsnprintf", "%o", {}, {{1, "there is no octal output"}}},
        {"sprintf", "%n", {int_ptr}, {{1, "use the count that sprintf returns"}}},
    });
}

TEST(FormatCheck, ScanPitfalls) {
    check_table({
        {"sscanf",
         "%d %f",
         {int_ptr, pointer("float *", Target::other, 4)},
         {{4,
           "'%f' ends the scan: sscanf has no '%f' conversion; sscanf returns the count so far"}}},
        {"sscanf", "%lf", {pointer("double *", Target::other, 8)}, {{1, "strtod"}}},
        {"sscanf", "%ld", {int_ptr}, {{1, "sscanf reads no length modifiers"}}},
        {"sscanf", "%lld", {int_ptr}, {{1, "convert it yourself"}}},
        {"sscanf", "%[a-z]", {text}, {{1, "'%[a-z]' ends the scan: sscanf has no scan sets"}}},
        {"sscanf", "%5*d", {}, {{2, "'*' comes after the width"}}},
        {"vsscanf", "%o", {}, {{1, "'%i' reads a number with a leading 0 as octal"}}},
        {"sscanf", "%d", {i32}, {{0, "'%d' stores through a pointer, but this is 'int'"}}},
        {"sscanf", "%d", {short_ptr}, {{0, "stores a 32-bit int, but this is 'short int *'"}}},
        {"sscanf", "%s", {int_ptr}, {{0, "'%s' stores characters"}}},
        {"fscanf", "%31s %d", {name32, int_ptr}, {{5, "fscanf scans one word per call: '%d'"}}},
        {"fscanf",
         "%s%d",
         {name32, int_ptr},
         {{0, "'%s' has no width: fscanf stores words of up to 255 bytes, and 'name' holds 32; "
              "write '%31s'"},
          {2, "one word per call"}}},
        {"sscanf",
         "%d %s",
         {int_ptr, name32},
         {{3, "'%s' has no width: sscanf stores the whole word, however long, and 'name' holds "
              "32; write '%31s'"}}},
        {"sscanf", "%0s", {name32}, {{0, "'%0s' has no width (a width of 0 is none)"}}},
        {"vsscanf", "%d %s", {}, {{3, "vsscanf stores the whole word, however long"}}},
        // Widths the engine ignores: the value takes every digit.
        {"sscanf",
         "%8x",
         {int_ptr},
         {{1, "'%8x' takes every digit that follows, not at most 8: the scan engine ignores a "
              "width except on %s; copy at most 8 characters with '%8s' into a char array of 9, "
              "then read the number from it with sscanf and '%x'"}}},
        {"fscanf", "%3d", {int_ptr}, {{1, "'%3d' takes every digit that follows, not at most 3"}}},
        {"vsscanf", "%012i", {}, {{1, "with '%12s' into a char array of 13"}}},
        {"sscanf", "%*4u%d", {int_ptr}, {{2, "write '%*4s' to skip at most 4 characters"}}},
        {"sscanf",
         "%2c",
         {text},
         {{1, "'%2c' stores one character, not 2: the scan engine ignores a width except on %s; "
              "write '%c' once per character"}}},
    });
}

TEST(FormatCheck, CorrectFormatsAreSilent) {
    const Argument uint = integer("unsigned int"), u64 = integer("long long unsigned int", 8);
    const Argument word256 = pointer("char *", Target::character, 1, 256, "word");
    check_table({
        {"printf", "%5d|%.3d|%8.3x|", {i32, i32, i32}, {}},
        {"printf", "%10p %.8p %12.8p %p", {text, text, text, text}, {}},
        {"printf", "%lld %llu %llx", {i64, u64, u64}, {}},
        {"printf", "%8.4d|%5s|%.2s|%.0d", {i32, text, text, i32}, {}},
        {"printf", "%*d|%.*s|%%", {i32, i32, i32, text}, {}},
        {"printf", "%u numbers, total %lld\n", {uint, i64}, {}},
        {"printf", "%s%llu", {text, u64}, {}},
        {"printf", ".%.*u", {i32, uint}, {}},
        {"printf", "%ld\n", {integer("long int")}, {}},
        {"printf", "%.8x %.2x |%s|\n", {uint, i32, text}, {}},
        {"fprintf", "%s: %d\n", {text, i32}, {}, true},
        {"snprintf", "%5d|%-5d|%05d|%+d", {i32, i32, i32, i32}, {}},
        {"snprintf", "%8.3d|%08.4x|%X|%08X|%+5d", {i32, i32, uint, uint, i32}, {}},
        {"snprintf", "%5s|%*s|%.*s|%.2s", {text, i32, text, i32, text, text}, {}},
        {"snprintf", "%c%p%%%zu%lu%lld", {i32, text, uint, integer("long unsigned int"), i32}, {}},
        {"sprintf", "A%cB", {i32}, {}},
        {"sscanf", "%d %d %i %s %c", {int_ptr, int_ptr, int_ptr, text, text}, {}},
        {"sscanf",
         "%31s %u %d",
         {name32, pointer("unsigned int *", Target::integer, 4), int_ptr},
         {}},
        {"sscanf", "%s %00d", {text, int_ptr}, {}}, // an array of unknown size; zeros are none
        {"vsscanf", "%15s %*s %d", {}, {}},
        {"sscanf", "%*d %d%%", {int_ptr}, {}},
        {"sscanf", "a%db %5s %x", {int_ptr, name32, int_ptr}, {}},
        {"fscanf", "%d", {int_ptr}, {}},
        {"fscanf", "%d,%d", {int_ptr, int_ptr}, {}},
        {"fscanf", "%s", {word256}, {}},
        {"fscanf", "%31s", {name32}, {}},
        {"vfprintf", "%s\n", {}, {}},
    });
}

// Every flag, width, precision, length and conversion of each grammar, empty and all-zero
// fields included, with no arguments and with fitting ones: the checker never throws, and
// every finding points inside the format and at an argument the call has.
std::vector<std::string> swept_directives() {
    std::vector<std::string> all;
    for (const char *flags : {"", "-", "+", " ", "#", "0", "00", "+-0"})
        for (const char *width : {"", "0", "00", "1", "05", "*", "0*"})
            for (const char *precision : {"", ".", ".0", ".00", ".5", ".*"})
                for (const char *length : {"", "l", "ll", "z", "h"})
                    for (const char *conversion : {"", "d", "i", "u", "x", "X", "c", "s", "p", "%",
                                                   "f", "o", "n", "[a]", "*"})
                        all.push_back(std::string("%") + flags + width + precision + length +
                                      conversion);
    return all;
}

// An argument that fits `value`.
Argument argument_for(Value value) {
    switch (value) {
    case Value::int64:
    case Value::uint64:
        return i64;
    case Value::int_word:
    case Value::unsigned_word:
    case Value::char_word:
        return i32;
    case Value::int_target:
    case Value::unsigned_target:
        return int_ptr;
    default:
        return text;
    }
}

std::string finding_fault(const Call &call, const Finding &f) {
    std::size_t size = call.format.size();
    if (f.at != Finding::npos && f.at >= size) return "caret past the format";
    if (f.from > f.to || f.to >= size) return "underline outside the format";
    if (f.argument >= int(call.arguments.size())) return "an argument the call does not have";
    if (f.message.empty()) return "no message";
    return "";
}

TEST(FormatCheck, SweptDirectivesStayInRange) {
    int faults = 0;
    for (const char *name : {"printf", "fprintf", "snprintf", "fscanf"}) {
        Call call;
        call.function = find_function(name);
        for (const std::string &directive : swept_directives()) {
            // Alone without arguments, and followed by another directive with fitting ones.
            for (bool followed : {false, true}) {
                std::string format = followed ? directive + " %d" : directive;
                call.format = format;
                call.arguments.clear();
                if (followed)
                    for (const Directive &d : parse(*call.function->grammar, format))
                        for (Value v : d.arguments()) call.arguments.push_back(argument_for(v));
                std::string fault;
                try {
                    for (const Finding &f : check(call))
                        if (fault.empty()) fault = finding_fault(call, f);
                } catch (const std::exception &e) {
                    fault = std::string("threw ") + e.what();
                }
                if (fault.empty()) continue;
                ADD_FAILURE() << name << "(\"" << format << "\") with " << call.arguments.size()
                              << " arguments: expected findings inside the call, got: " << fault;
                if (++faults == 10) return;
            }
        }
    }
}

} // namespace
