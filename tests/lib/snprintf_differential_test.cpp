// The buffer formatter against the host's snprintf over generated formats, where both
// follow the C rules. Known deviations are listed below: a conversion that falls under one
// is left out of the comparison (their own layouts are checked in snprintf_test.cpp).
#include "lib_fixture.h"

#include <cstddef>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

struct Conversion {
    std::string flags;
    bool width_star = false;
    int width = -1; // -1: none written
    bool has_precision = false;
    bool precision_star = false;
    int precision = -1; // -1 with has_precision: a bare full stop
    std::string modifier;
    char conversion = 'd';
    uint32_t value = 0;
    int text = -1; // index into texts for s; -1 is a null pointer

    bool left() const { return flags.find('-') != std::string::npos; }
    bool zero() const { return flags.find('0') != std::string::npos; }
    bool numeric() const { return std::string("diuxX").find(conversion) != std::string::npos; }
    // A bare full stop is 0; a negative one from an asterisk means none, as in C.
    int effective_precision() const {
        if (!has_precision) return -1;
        return precision_star ? precision : std::max(precision, 0);
    }
};

const char *const texts[] = {"", "a", "hello", "vekos userland", "tab\there", "\x80\xfe"};

struct Deviation {
    const char *what;
    bool (*applies)(const Conversion &);
};

const Deviation known_deviations[] = {
    {"a zero value with precision 0 still prints its digit 0",
     [](const Conversion &c) {
         return c.numeric() && c.has_precision && c.effective_precision() == 0 && c.value == 0;
     }},
    {"a negative width from an asterisk does not left-justify",
     [](const Conversion &c) { return c.width_star && c.width < 0; }},
    {"s never pads after the string: minus drops the fill",
     [](const Conversion &c) { return c.conversion == 's' && c.left() && c.width > 0; }},
    {"c ignores its width", [](const Conversion &c) { return c.conversion == 'c' && c.width > 1; }},
    {"a null string is \"(null)\" cut by the precision",
     [](const Conversion &c) { return c.conversion == 's' && c.text < 0; }},
    {"flags, width or precision on %% are undefined in C",
     [](const Conversion &c) {
         return c.conversion == '%' &&
                (!c.flags.empty() || c.width >= 0 || c.width_star || c.has_precision);
     }},
    {"zero flag or precision on c, zero flag on s: undefined in C",
     [](const Conversion &c) {
         return (c.conversion == 'c' && (c.zero() || c.has_precision)) ||
                (c.conversion == 's' && c.zero());
     }},
};

const Deviation *deviation_of(const Conversion &c) {
    for (const Deviation &d : known_deviations)
        if (d.applies(c)) return &d;
    return nullptr;
}

class Generator {
  public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    int below(int n) { return int(rng_() % uint32_t(n)); }
    bool chance(int percent) { return below(100) < percent; }

    uint32_t number() {
        static const uint32_t edges[] = {
            0,   1,          7,           9,           10,          15,         16,
            255, 0x7fffffff, 0x80000000u, 0xffffffffu, 0xfffffff9u, 1000000000, 4000000000u};
        switch (below(3)) {
        case 0:
            return edges[below(int(std::size(edges)))];
        case 1:
            return uint32_t(below(2000)) - 1000;
        default:
            return rng_();
        }
    }

    Conversion conversion() {
        Conversion c;
        static const char conversions[] = "diuxXcs%";
        c.conversion = conversions[below(8)];
        for (int n = below(4); n > 0; n--) c.flags += "-0+"[below(3)];
        if (chance(20)) {
            c.width_star = true;
            c.width = below(41) - 20;
        } else if (chance(60)) {
            c.width = 1 + below(20);
        }
        if (chance(50)) {
            c.has_precision = true;
            if (chance(30)) {
                c.precision_star = true;
                c.precision = below(19) - 6;
            } else if (chance(90)) {
                c.precision = below(13);
            }
        }
        if (c.numeric() && chance(30)) c.modifier = chance(50) ? "l" : "z";
        if (c.conversion == 'c')
            c.value = uint32_t(below(256)) | (chance(20) ? 0x4100u : 0);
        else
            c.value = number();
        if (c.conversion == 's') c.text = below(int(std::size(texts)) + 1) - 1;
        return c;
    }

    std::string literal() {
        std::string text;
        for (int n = below(4); n > 0; n--) {
            char byte = char(below(2) ? 'a' + below(26) : 0x20 + below(0xe0));
            if (byte != '%' && byte != 0x7f) text += byte;
        }
        return text;
    }

  private:
    std::mt19937 rng_;
};

// The conversion's own text, as both engines read it.
std::string directive_text(const Conversion &c) {
    std::string s = "%" + c.flags;
    if (c.width_star)
        s += "*";
    else if (c.width >= 0)
        s += std::to_string(c.width);
    if (c.has_precision) {
        s += ".";
        if (c.precision_star)
            s += "*";
        else if (c.precision >= 0)
            s += std::to_string(c.precision);
    }
    return s + c.modifier + c.conversion;
}

// The host's snprintf on one conversion, each argument with its C type.
template <class Value>
std::string host_one(const std::string &directive, const std::vector<int> &stars, Value value) {
    char out[512];
    int n;
    if (stars.empty())
        n = std::snprintf(out, sizeof out, directive.c_str(), value);
    else if (stars.size() == 1)
        n = std::snprintf(out, sizeof out, directive.c_str(), stars[0], value);
    else
        n = std::snprintf(out, sizeof out, directive.c_str(), stars[0], stars[1], value);
    return n < 0 ? "<host error>" : std::string(out, size_t(n));
}

std::string host_format(const Conversion &c) {
    std::string directive = directive_text(c);
    std::vector<int> stars;
    if (c.width_star) stars.push_back(c.width);
    if (c.precision_star) stars.push_back(c.precision);
    bool is_signed = c.conversion == 'd' || c.conversion == 'i';
    switch (c.conversion) {
    case 's':
        return host_one(directive, stars, c.text < 0 ? nullptr : texts[c.text]);
    case 'c':
        return host_one(directive, stars, int(c.value));
    case '%':
        return "%";
    }
    if (c.modifier == "l") {
        return is_signed ? host_one(directive, stars, long(int32_t(c.value)))
                         : host_one(directive, stars, (unsigned long)c.value);
    }
    if (c.modifier == "z") {
        return is_signed ? host_one(directive, stars, std::ptrdiff_t(int32_t(c.value)))
                         : host_one(directive, stars, size_t(c.value));
    }
    return is_signed ? host_one(directive, stars, int(c.value))
                     : host_one(directive, stars, c.value);
}

class BufferFormatterDifferential : public LibFixture {};

TEST_F(BufferFormatterDifferential, AgreesWithTheHostSnprintf) {
    constexpr int cases = 3000;
    constexpr uint32_t capacity = 512;
    Generator generate(0x5eed1234);
    uint32_t format_area = alloc(capacity);
    uint32_t out = alloc(capacity);
    std::vector<uint32_t> text_addresses;
    for (const char *text : texts) text_addresses.push_back(str(text));

    int compared = 0, set_aside = 0, failures = 0;
    for (int i = 0; i < cases && failures < 10; i++) {
        std::string format = generate.literal(), expected = format;
        std::vector<uint32_t> args;
        for (int n = 1 + generate.below(3); n > 0; n--) {
            Conversion c = generate.conversion();
            if (deviation_of(c)) {
                set_aside++;
                continue;
            }
            format += directive_text(c);
            expected += host_format(c);
            if (c.width_star) args.push_back(uint32_t(c.width));
            if (c.precision_star) args.push_back(uint32_t(c.precision));
            if (c.conversion == 's')
                args.push_back(text_addresses[size_t(c.text)]);
            else if (c.conversion != '%')
                args.push_back(c.value);
            std::string tail = generate.literal();
            format += tail;
            expected += tail;
        }
        ASSERT_LT(format.size(), capacity);
        write_bytes(format_area, format + '\0');
        uint32_t size = generate.chance(70) ? capacity : uint32_t(generate.below(40));
        write_bytes(out, std::string(capacity, '\xAA'));

        std::vector<uint32_t> call_args = {out, size, format_area};
        call_args.insert(call_args.end(), args.begin(), args.end());
        int32_t result = as_int(call("snprintf", call_args));
        std::string stored = read_bytes(out, capacity);
        std::string want(capacity, '\xAA');
        if (size > 0) {
            size_t kept = std::min<size_t>(expected.size(), size - 1);
            want.replace(0, kept + 1, expected.substr(0, kept) + '\0');
        }
        if (result != int32_t(expected.size()) || stored != want) {
            failures++;
            ADD_FAILURE() << "case " << i << ": format \"" << escaped(format) << "\" size " << size
                          << "\n  expected " << expected.size() << " \"" << escaped(expected)
                          << "\"\n  got      " << result << " \""
                          << escaped(stored.substr(
                                 0, size ? std::min<size_t>(size - 1, size_t(std::max(result, 0)))
                                         : 0))
                          << "\"";
        }
        compared++;
    }
    EXPECT_TRUE(canaries_intact());
    EXPECT_EQ(compared, cases) << "stopped after " << failures << " mismatches";
    EXPECT_GT(set_aside, 0) << "the generator never met a known deviation";
    EXPECT_LT(set_aside, cases) << "most conversions should be compared";
}

} // namespace
