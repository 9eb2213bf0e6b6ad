// The checker's grammars against the engines themselves: for directives built from every
// printable byte and from flags, widths, precisions and length modifiers, the engine must
// print as text exactly what the grammar says is text, take exactly the argument words the
// grammar says, and stop a scan exactly where the grammar says it stops.
#include "lib_fixture.h"
#include "parse.h"

#include <string>
#include <vector>

namespace {

using namespace vekos::format;

// What follows the percent sign, without the percent sign.
std::vector<std::string> specimens() {
    std::vector<std::string> all;
    for (char c = ' '; c <= '~'; c++) all.push_back(std::string(1, c));
    for (const char *flag : {"-", "+", "0", " ", "#", "-0+"})
        for (const char *conversion : {"d", "s", "x", "c", "p"})
            all.push_back(std::string(flag) + "5" + conversion);
    for (const char *length : {"l", "ll", "z", "h", "hh", "j", "t", "L", "q", "lz", "zl", "lll"})
        for (const char *conversion : {"d", "u", "x", "p", "s", "c", "f"})
            all.push_back(std::string(length) + conversion);
    for (const char *other : {"*d", ".*d", "*.*s", "5.3d", ".2s", "5c", "5%", "*%", "*s", "5*d",
                              "*5d", "[a]", "5s", "012d", ".x"})
        all.push_back(other);
    return all;
}

constexpr uint32_t marker = 1000; // the word a trailing %u must print

class GrammarAgainstEngine : public LibFixture {
  protected:
    // Words for what the grammar says the directive takes: small numbers for asterisks,
    // strings for everything else; then the marker.
    std::vector<uint32_t> words_for(const Directive &d) {
        std::vector<uint32_t> words;
        std::vector<Value> values = d.arguments();
        std::size_t stars = (d.width == "*") + (d.precision == "*"); // they come first
        for (std::size_t i = 0; i < values.size(); i++) {
            if (i < stars)
                words.push_back(2);
            else if (words_of(values[i]) == 2)
                words.insert(words.end(), {5, 0});
            else
                words.push_back(str("v"));
        }
        for (uint32_t i = 0; i < 4; i++) words.push_back(marker + i);
        return words;
    }

    // "%<body>|%u" through snprintf or printf: text exactly where the grammar says, and
    // the marker after exactly the words the grammar says the directive takes.
    void check_printer(const Grammar &grammar) {
        bool buffer = &grammar == &buffer_grammar;
        for (const std::string &body : specimens()) {
            std::string format = "%" + body + "|%u";
            Directive d = parse(grammar, format).at(0);
            std::vector<uint32_t> args = words_for(d);
            std::string output;
            if (buffer) {
                uint32_t buf = alloc(256);
                args.insert(args.begin(), {buf, 256, str(format)});
                call("snprintf", args);
                output = read_string(buf);
            } else {
                args.insert(args.begin(), str("x" + format)); // x: no console record
                clear_console();
                call("printf", args);
                output = console().substr(1);
            }
            std::string tail = std::to_string(marker);
            std::string context = std::string(grammar.engine) + " on \"" + format + "\"";
            EXPECT_TRUE(output.ends_with(tail))
                << context << ": expected the directive to take " << d.arguments().size()
                << " values, so that %u prints " << marker << "; got \"" << escaped(output) << "\"";
            if (!d.known) {
                EXPECT_EQ(escaped(output),
                          escaped("%" + std::string(1, d.conversion) +
                                  format.substr(d.end, format.size() - 2 - d.end) + tail))
                    << context << ": the grammar says this directive is printed as text";
            }
        }
        EXPECT_TRUE(canaries_intact());
    }
};

TEST_F(GrammarAgainstEngine, BufferFormatter) {
    check_printer(buffer_grammar);
}

TEST_F(GrammarAgainstEngine, StreamFormatter) {
    check_printer(stream_grammar);
}

// "%<body> %u" on "7 9" (on "% 9" for a percent sign): a conversion the grammar knows
// assigns as it says and lets the scan go on to %u; one it doesn't know stops the scan.
TEST_F(GrammarAgainstEngine, ScanEngine) {
    for (const std::string &body : specimens()) {
        std::string format = "%" + body + " %u";
        Directive d = parse(scan_grammar, format).at(0);
        const char *input = d.conversion == '%' ? "% 9" : "7 9";
        std::vector<uint32_t> args = {str(input), str(format)};
        for (int i = 0; i < 3; i++) args.push_back(alloc(16));
        int32_t expected = d.ends_scan(scan_grammar) ? 0 : int32_t(d.arguments().size()) + 1;
        EXPECT_EQ(as_int(call("sscanf", args)), expected)
            << "sscanf(\"" << input << "\", \"" << format << "\"): the grammar says "
            << (expected ? "the scan goes on past the directive" : "the directive stops the scan");
    }
    EXPECT_TRUE(canaries_intact());
}

} // namespace
