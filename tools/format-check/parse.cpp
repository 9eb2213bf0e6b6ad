#include "parse.h"

#include <cstring>

namespace vekos::format {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads `*` (when allowed) or a run of digits at `at`.
std::string_view read_count(std::string_view format, std::size_t &at, bool star) {
    std::size_t from = at;
    if (star && at < format.size() && format[at] == '*') {
        at++;
    } else {
        while (at < format.size() && is_digit(format[at])) at++;
    }
    return format.substr(from, at - from);
}

const Conversion *find_conversion(const Grammar &grammar, char letter) {
    for (std::size_t i = 0; i < grammar.conversion_count; i++) {
        if (grammar.conversions[i].letter == letter) return &grammar.conversions[i];
    }
    return nullptr;
}

Directive read_directive(const Grammar &grammar, std::string_view format, std::size_t start) {
    Directive d;
    d.start = start;
    std::size_t at = start + 1;
    if (grammar.suppression && at < format.size() && format[at] == '*') {
        d.suppressed = true;
        at++;
    }
    std::size_t from = at;
    while (at < format.size() && std::strchr(grammar.flags, format[at]) && format[at]) at++;
    d.flags = format.substr(from, at - from);
    d.width = read_count(format, at, grammar.star_width);
    if (grammar.precision && at < format.size() && format[at] == '.') {
        d.has_precision = true;
        at++;
        d.precision = read_count(format, at, true);
    }
    for (std::size_t i = 0; i < grammar.length_count; i++) {
        std::string_view text = grammar.lengths[i].text;
        if (format.substr(at).starts_with(text)) {
            d.length = format.substr(at, text.size());
            d.wide = grammar.lengths[i].wide;
            at += text.size();
            break;
        }
    }
    d.conversion_at = at;
    if (at < format.size()) {
        d.conversion = format[at];
        d.known = find_conversion(grammar, d.conversion);
        at++;
    }
    d.end = at;
    return d;
}

} // namespace

Value Directive::value() const {
    if (!known || suppressed) return Value::none;
    return wide ? known->wide_value : known->value;
}

std::vector<Value> Directive::arguments() const {
    std::vector<Value> values;
    if (width == "*") values.push_back(Value::int_word);
    if (precision == "*") values.push_back(Value::int_word);
    if (value() != Value::none) values.push_back(value());
    return values;
}

std::vector<Directive> parse(const Grammar &grammar, std::string_view format) {
    std::vector<Directive> directives;
    std::size_t at = 0;
    while ((at = format.find('%', at)) != std::string_view::npos) {
        Directive d = read_directive(grammar, format, at);
        directives.push_back(d);
        if (!d.conversion || d.ends_scan(grammar)) break;
        at = d.end;
    }
    return directives;
}

std::size_t iso_directive_end(std::string_view format, std::size_t start) {
    std::size_t at = start + 1;
    auto skip = [&](const char *set) {
        while (at < format.size() && format[at] && std::strchr(set, format[at])) at++;
    };
    skip("-+ #0");
    skip("*0123456789");
    if (at < format.size() && format[at] == '.') {
        at++;
        skip("*0123456789");
    }
    skip("hljztLq");
    if (at < format.size() && format[at] == '[') { // a scan set, up to its closing bracket
        std::size_t close = format.find(']', at + 2);
        return close == std::string_view::npos ? format.size() : close + 1;
    }
    return at < format.size() ? at + 1 : at;
}

} // namespace vekos::format
