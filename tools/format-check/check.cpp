#include "check.h"

#include <algorithm>
#include <cstring>

namespace vekos::format {

namespace {

constexpr Function functions[] = {
    {"printf", &stream_grammar, 0, true, true},      {"fprintf", &stream_grammar, 1, true, false},
    {"vfprintf", &stream_grammar, 1, false, false},  {"snprintf", &buffer_grammar, 2, true, false},
    {"vsnprintf", &buffer_grammar, 2, false, false}, {"sprintf", &buffer_grammar, 1, true, false},
    {"vsprintf", &buffer_grammar, 1, false, false},  {"sscanf", &scan_grammar, 1, true, false},
    {"vsscanf", &scan_grammar, 1, false, false},     {"fscanf", &scan_grammar, 1, true, false},
};

constexpr unsigned fscanf_word_bytes = 255; // fscanf keeps at most this much of a word

std::string quote(std::string_view text) {
    return "'" + std::string(text) + "'";
}

bool in(char c, const char *set) {
    return c && std::strchr(set, c);
}

// The width as the engines take it: its digits without leading zeros; empty when the
// directive has none, or only zeros.
std::string_view significant_width(const Directive &d) {
    return d.width.substr(std::min(d.width.find_first_not_of('0'), d.width.size()));
}

// The decimal number one more than `digits`, spelled out; past nine digits, "digits + 1".
std::string plus_one(std::string_view digits) {
    if (digits.size() > 9) return std::string(digits) + " + 1";
    return std::to_string(std::stoul(std::string(digits)) + 1);
}

// Why a printf-family directive is printed as text, and what to write instead.
std::string text_reason(const Call &call, const Directive &d) {
    std::string name = call.function->name;
    char c = d.conversion;
    if (!d.length.empty() && in(c, "hljztLq"))
        return name + " reads one length modifier: " + quote(std::string(1, c)) + " after " +
               quote(d.length) + " is taken as the conversion";
    if (in(c, "-+ #0")) return name + " has no " + quote(std::string(1, c)) + " flag";
    if (in(c, "hjztLqI")) return name + " has no " + quote(std::string(1, c)) + " length modifier";
    if (in(c, "diouxXcspneEfFgGaA")) return name + " has no %" + std::string(1, c) + " conversion";
    return quote("%" + std::string(1, c)) + " is not a conversion";
}

std::string text_advice(const Call &call, char c, char meant) {
    bool stream = call.function->grammar == &stream_grammar;
    std::string name = call.function->name;
    switch (c) {
    case '-':
        if (meant == 's')
            return "neither formatter pads after a string: print the string, then the spaces";
        return "format it with snprintf, which has the '-' flag, then fputs the buffer";
    case '+':
        return "format it with snprintf, which has the '+' flag, then fputs the buffer";
    case ' ':
        return "write the space into the format yourself";
    case '#':
        return "write the prefix into the format yourself, as in '0x%x'";
    case 'z':
        return "size_t is 32 bits: write '%u'";
    case 'h':
        return "a short is passed as an int: write '%d'";
    case 'j':
    case 't':
    case 'L':
    case 'q':
        return stream ? "write '%d' for a 32-bit value or '%lld' for a 64-bit one"
                      : "write '%d' (every value is one 32-bit word)";
    case 'X':
        return "write '%x' for lower case, or format with snprintf's '%X' and fputs the buffer";
    case 'o':
        return "there is no octal output: write '%x'";
    case 'n':
        return "use the count that " + name + " returns";
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        return "there is no floating-point output: print the integer and fraction parts with '%d'";
    default:
        return "write '%%' for a percent sign";
    }
}

// What to write instead of a scan conversion that stops, `meant` being the conversion
// that ISO C would read in `directive_text`.
std::string scan_advice(char c, char meant, const std::string &directive_text) {
    if (in(meant, "eEfFgGaA")) return "read the word with '%s' and convert it with strtod";
    if (directive_text.find("ll") != std::string::npos || in(c, "jqL"))
        return "read the word with '%s' and convert it yourself";
    if (in(c, "hlzt") && in(meant, "diuxX"))
        return "int, long and size_t are all 32 bits: write '%" + std::string(1, meant) +
               "' (a short needs an int to store into)";
    if (c == 'o') return "'%i' reads a number with a leading 0 as octal";
    if (c == 'n') return "count the characters from the words read";
    return "read the word with '%s' and convert it yourself";
}

// Why argument `a` does not fit `value` of the directive written `directive_text`, or "" when
// it does.
std::string misfit(const Call &call, Value value, const Argument &a,
                   const std::string &directive_text) {
    using Kind = Argument::Kind;
    bool buffer = call.function->grammar == &buffer_grammar;
    std::string name = call.function->name;
    bool printed = value != Value::int_target && value != Value::unsigned_target &&
                   value != Value::char_target && value != Value::string_target;
    if (printed && a.kind == Kind::floating)
        return "there is no floating-point output, and this " + quote(a.type) +
               " takes two argument words; print the integer and fraction parts with '%d'";
    switch (value) {
    case Value::int_word:
    case Value::unsigned_word:
    case Value::char_word:
        if (a.kind == Kind::integer && a.bytes <= 4) return "";
        if (a.kind == Kind::integer && buffer)
            return directive_text + " takes one 32-bit word, but this is a 64-bit " +
                   quote(a.type) + ": " + name +
                   " prints its low half and the high half goes to the next " +
                   "conversion; cast it to 32 bits, or print it with printf's '%lld'";
        if (a.kind == Kind::integer)
            return directive_text + " takes a 32-bit int, but this is a 64-bit " + quote(a.type) +
                   ": write '%lld' (or '%llu', '%llx')";
        if ((a.kind == Kind::pointer || a.kind == Kind::null_pointer) && value == Value::char_word)
            return directive_text + " takes one character, but this is " + quote(a.type) +
                   ": write '%s' for a string";
        if (a.kind == Kind::pointer || a.kind == Kind::null_pointer)
            return directive_text + " prints a number, but this is a pointer, " + quote(a.type) +
                   ": write '%p' for an address";
        return directive_text + " takes a 32-bit int, but this is " + quote(a.type);
    case Value::string:
        if (a.kind == Kind::null_pointer) return "";
        if (a.kind == Kind::pointer &&
            (a.target == Argument::Target::character || a.target == Argument::Target::none))
            return "";
        if (a.kind == Kind::pointer)
            return directive_text + " prints the text at a pointer to char, but this is " +
                   quote(a.type);
        return directive_text + " takes a pointer to a string, but this is " + quote(a.type) +
               (a.kind == Kind::integer ? ": write '%d' for a number" : "");
    case Value::pointer:
        if (a.kind == Kind::pointer || a.kind == Kind::null_pointer) return "";
        if (a.kind == Kind::integer && a.bytes <= 4) return "";
        return directive_text + " takes a 32-bit pointer, but this is " + quote(a.type);
    case Value::int64:
    case Value::uint64:
        if (a.kind == Kind::integer && a.bytes == 8) return "";
        if (a.kind == Kind::integer)
            return directive_text + " takes a 64-bit value, but this " + quote(a.type) +
                   " is one word, so the high half comes from the next argument; cast it to "
                   "long long, or drop the 'll'";
        return directive_text + " takes a 64-bit integer, but this is " + quote(a.type);
    case Value::int_target:
    case Value::unsigned_target:
    case Value::char_target:
    case Value::string_target: {
        bool characters = value == Value::char_target || value == Value::string_target;
        if (a.kind == Kind::null_pointer)
            return value == Value::string_target
                       ? ""
                       : directive_text + " stores through a null pointer";
        if (a.kind != Kind::pointer)
            return directive_text + " stores through a pointer, but this is " + quote(a.type) +
                   ": pass the address of the variable";
        if (characters &&
            (a.target == Argument::Target::character || a.target == Argument::Target::none))
            return "";
        if (!characters && a.target == Argument::Target::integer && a.target_bytes == 4) return "";
        return directive_text + (characters ? " stores characters" : " stores a 32-bit int") +
               ", but this is " + quote(a.type);
    }
    case Value::none:
        break;
    }
    return "";
}

class Checker {
  public:
    explicit Checker(const Call &call)
        : call_(call), grammar_(*call.function->grammar),
          directives_(parse(grammar_, call.format)) {}

    std::vector<Finding> run() {
        bool console_record = check_console_record();
        for (const Directive &d : directives_) {
            if (grammar_.unknown == Unknown::stop)
                check_scan(d);
            else
                check_print(d);
        }
        if (call_.function->variadic && !console_record && !shifted_) check_arguments();
        // In the order of the format, as the compiler reports them.
        std::stable_sort(findings_.begin(), findings_.end(),
                         [](const Finding &a, const Finding &b) { return a.at < b.at; });
        return findings_;
    }

  private:
    void add(const Directive &d, std::size_t at, std::string message, int argument = -1) {
        Finding f;
        f.at = at;
        f.from = d.start;
        f.to = d.end ? d.end - 1 : d.start;
        f.argument = argument;
        f.message = std::move(message);
        findings_.push_back(std::move(f));
    }

    std::string_view text(const Directive &d) const {
        return call_.format.substr(d.start, d.end - d.start);
    }

    // On the console a leading %c sends a record of three ints. A call that passes the
    // words the record takes is taken to mean it.
    bool check_console_record() {
        if (&grammar_ != &stream_grammar || !call_.console_stream) return false;
        if (!call_.format.starts_with("%c")) return false;
        if (call_.function->variadic) {
            unsigned needed = 3, passed = 0;
            for (std::size_t i = 1; i < directives_.size(); i++)
                for (Value v : directives_[i].arguments()) needed += words_of(v);
            for (const Argument &a : call_.arguments) passed += (a.bytes + 3) / 4;
            if (passed == needed) return true;
        }
        add(directives_[0], 0,
            "a format that starts with '%c' sends a console record on the console: the byte "
            "0xFF and the low bytes of three int arguments, not one character; write the "
            "character with putchar first, or start the format with other text");
        return true;
    }

    void check_print(const Directive &d) {
        if (!d.conversion) {
            add(d, d.start,
                quote(call_.format.substr(d.start)) +
                    " ends the format inside a directive: nothing of it is printed");
            return;
        }
        if (!d.known) {
            report_text(d);
            return;
        }
        if (shifted_) return;
        std::string directive_text(text(d));
        bool buffer = &grammar_ == &buffer_grammar;
        char c = d.conversion;
        // A width of zeros only ("%00d") pads nothing.
        std::string_view width_digits = significant_width(d);
        bool width = !width_digits.empty();
        if (buffer && c == 's' && d.flags.find('-') != std::string_view::npos && width)
            add(d, d.start + 1,
                quote(directive_text) + " prints no spaces: " + call_.function->name +
                    " never pads after a string, and with '-' it does not pad at all; print "
                    "the string, then the spaces");
        else if ((c == 'c' || (buffer && c == 'p')) && (width || d.has_precision))
            add(d, d.start + 1,
                quote(directive_text) + " is not padded: " + call_.function->name +
                    " ignores the width and precision of %" + std::string(1, c) +
                    (c == 'c' ? "; put the spaces into the format" : "; printf honours them"));
        else if (!buffer && d.width.starts_with('0') && width && in(c, "diuxp"))
            add(d, d.start + 1,
                quote(directive_text) + " pads with spaces: " + call_.function->name +
                    " has no '0' flag; write '%." + std::string(width_digits) +
                    std::string(d.length) + std::string(1, c) + "' for leading zeros");
        for (Value v : d.arguments()) expected_.push_back({v, &d});
    }

    void report_text(const Directive &d) {
        std::size_t end = std::max(iso_directive_end(call_.format, d.start), d.end);
        std::string meant(call_.format.substr(d.start, end - d.start));
        std::string printed = "%" + std::string(1, d.conversion) +
                              std::string(call_.format.substr(d.end, end - d.end));
        std::string message = text_reason(call_, d) + ": " + quote(meant) + " is printed as text";
        if (printed != meant) message += " (" + quote(printed) + ")";
        if (d.conversion != '%')
            message += " and takes no argument, so later conversions take the arguments meant "
                       "for this one";
        message += "; " + text_advice(call_, d.conversion, meant.back());
        add(d, d.conversion_at, message);
        findings_.back().to = end - 1;
        shifted_ = true;
    }

    void check_scan(const Directive &d) {
        std::string name = call_.function->name;
        if (d.ends_scan(grammar_)) {
            report_stop(d);
            stopped_ = true;
            return;
        }
        bool fscanf = name == "fscanf";
        // The word has no white space inside: white space after a conversion, or a %s with
        // no width, leaves nothing of the word for what follows.
        std::string_view literal = call_.format.substr(prev_end_, d.start - prev_end_);
        if (seen_conversion_ && literal.find_first_of(" \t\n") != std::string_view::npos)
            past_word_ = true;
        if (fscanf && past_word_ && !reported_word_) {
            add(d, d.start,
                "fscanf scans one word per call: " + quote(text(d)) +
                    " comes after the end of that word, so it never matches; call fscanf "
                    "once per word");
            reported_word_ = true;
        }
        prev_end_ = d.end;
        if (d.conversion != '%') seen_conversion_ = true;
        if (d.conversion == 's' && d.width.empty()) past_word_ = true;
        check_scan_width(d);
        for (Value v : d.arguments()) expected_.push_back({v, &d});
    }

    // The engine bounds %s by a width and reads every other conversion as if it had none: a
    // %x given a width still takes every digit that follows. vsscanf's destinations can't be
    // seen, so each of its %s without a width is reported here; the other forms' are
    // reported with their arguments.
    void check_scan_width(const Directive &d) {
        std::string directive_text(text(d));
        std::string_view width = significant_width(d);
        char c = d.conversion;
        if (c == 's') {
            if (width.empty() && !d.suppressed && !call_.function->variadic)
                add(d, d.start,
                    no_width(d) + ": " + call_.function->name +
                        " stores the whole word, however long, and this call can't show the "
                        "array it goes to; write the array's size less one, as in '%31s' for "
                        "32 bytes");
            return;
        }
        if (width.empty() || c == '%') return;
        std::size_t width_at = std::size_t(d.width.data() - call_.format.data());
        std::string star = d.suppressed ? "*" : "";
        std::string without = "'%" + star + std::string(1, c) + "'";
        std::string why = ": the scan engine ignores a width except on %s; ";
        if (c == 'c') {
            add(d, width_at,
                quote(directive_text) + (d.suppressed ? " skips" : " stores") +
                    " one character, not " + std::string(width) + why + "write " + without +
                    " once per character");
            return;
        }
        std::string bounded = "'%" + star + std::string(width) + "s'";
        add(d, width_at,
            quote(directive_text) + " takes every digit that follows, not at most " +
                std::string(width) + why +
                (d.suppressed
                     ? "write " + bounded + " to skip at most " + std::string(width) + " characters"
                     : "copy at most " + std::string(width) + " characters with " + bounded +
                           " into a char array of " + plus_one(width) +
                           ", then read the number from it with sscanf and " + without));
    }

    // "'%s' has no width", or what a width of zeros is.
    std::string no_width(const Directive &d) const {
        return d.width.empty() ? quote(text(d)) + " has no width"
                               : quote(text(d)) + " has no width (a width of 0 is none)";
    }

    void report_stop(const Directive &d) {
        char c = d.conversion;
        std::string name = call_.function->name;
        std::string directive_text(
            call_.format.substr(d.start, iso_directive_end(call_.format, d.start) - d.start));
        char meant = directive_text.empty() ? 0 : directive_text.back();
        std::string why, advice;
        if (!c) {
            why = "a lone '%' at the end";
            advice = "write '%%' to match a percent sign";
        } else if (c == '*') {
            why = "'*' comes after the width";
            advice = "write the '*' straight after the '%'";
        } else if (in(c, "hlLjztq")) {
            why = name + " reads no length modifiers";
        } else if (c == '[') {
            why = name + " has no scan sets";
            advice = "read a word with '%s' and check its characters yourself";
        } else {
            why = name + " has no " + quote("%" + std::string(1, c)) + " conversion";
        }
        if (advice.empty()) advice = scan_advice(c, meant, directive_text);
        // A format that ends inside the directive has no conversion to point at.
        add(d, c ? d.conversion_at : d.start,
            quote(directive_text) + " ends the scan: " + why + "; " + name +
                " returns the count so far and stores nothing more; " + advice);
    }

    void check_arguments() {
        unsigned passed = 0, taken = 0;
        for (const Argument &a : call_.arguments) passed += (a.bytes + 3) / 4;
        bool aligned = true; // argument words still line up with the values taken
        std::size_t index = 0;
        for (const auto &[value, d] : expected_) {
            unsigned words = words_of(value);
            taken += words;
            if (!aligned) continue;
            if (index >= call_.arguments.size()) {
                add(*d, d->start,
                    quote(text(*d)) + " has no argument: the format takes " +
                        std::to_string(total_words()) + " argument words and the call passes " +
                        std::to_string(passed));
                return;
            }
            const Argument &a = call_.arguments[index++];
            std::string problem = misfit(call_, value, a, quote(text(*d)));
            if (!problem.empty()) add(*d, d->start, problem, int(index - 1));
            if ((a.bytes + 3) / 4 != words) aligned = false;
            if (unbounded_word(value, *d, a))
                add(*d, d->start,
                    no_width(*d) + ": " + name_of_call() +
                        (is_fscanf() ? " stores words of up to 255 bytes"
                                     : " stores the whole word, however long") +
                        ", and " +
                        (a.array_name.empty() ? std::string("the array") : quote(a.array_name)) +
                        " holds " + std::to_string(a.array_bytes) + "; write '%" +
                        std::to_string(a.array_bytes - 1) + "s'",
                    int(index - 1));
        }
        if (aligned && index < call_.arguments.size() && !stopped_) {
            Finding f;
            f.argument = int(index);
            f.message = "the call passes " + std::to_string(passed) +
                        " argument words, but the format takes " + std::to_string(taken) +
                        ": the rest are not used";
            findings_.push_back(std::move(f));
        }
    }

    std::string name_of_call() const { return call_.function->name; }
    bool is_fscanf() const { return name_of_call() == "fscanf"; }

    // A %s with no width (or a width of zeros) into an array the word can overflow: any array
    // for sscanf, one shorter than the longest word fscanf keeps for fscanf.
    bool unbounded_word(Value value, const Directive &d, const Argument &a) const {
        if (value != Value::string_target || !significant_width(d).empty()) return false;
        return a.array_bytes > 1 && (!is_fscanf() || a.array_bytes <= fscanf_word_bytes);
    }

    unsigned total_words() const {
        unsigned total = 0;
        for (const auto &entry : expected_) total += words_of(entry.first);
        return total;
    }

    const Call &call_;
    const Grammar &grammar_;
    std::vector<Directive> directives_;
    std::vector<std::pair<Value, const Directive *>> expected_;
    std::vector<Finding> findings_;
    bool shifted_ = false; // a directive printed as text: later arguments are misaligned
    bool stopped_ = false; // the scan stops before the end of the format
    // fscanf: where the last directive ended, and whether its one word is used up.
    std::size_t prev_end_ = 0;
    bool seen_conversion_ = false, past_word_ = false, reported_word_ = false;
};

} // namespace

const Function *find_function(std::string_view name) {
    for (const Function &f : functions) {
        if (name == f.name) return &f;
    }
    return nullptr;
}

std::vector<Finding> check(const Call &call) {
    return Checker(call).run();
}

} // namespace vekos::format
