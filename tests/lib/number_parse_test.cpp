// Number parsing: strtoul and strtol (bases, prefixes, their white space, wrapping, end
// positions), atoi, and strtold's forms, its rounding at every step, the exponent caps and
// strtod's rounding.
#include "lib_fixture.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

namespace {

using namespace std::literals;

constexpr uint32_t end_unset = 0xdeadbeef;
constexpr uint32_t null_pointer = 0;

// All 80 bits of an x87 value, sign and exponent first, for messages and comparison.
std::string bits(long double value) {
    unsigned char raw[10];
    std::memcpy(raw, &value, 10);
    std::ostringstream out;
    out << std::hex;
    for (int i = 9; i >= 0; i--) out << (raw[i] >> 4) << (raw[i] & 15);
    return out.str() + " (" + std::to_string(double(value)) + ")";
}

bool same_bits(long double a, long double b) {
    return std::memcmp(&a, &b, 10) == 0;
}

class NumberParsing : public LibFixture {
  protected:
    // One guest text buffer and one end cell, reused for every input of a test.
    void SetUp() override {
        LibFixture::SetUp();
        text_ = alloc(text_capacity);
        end_ = words({end_unset});
    }
    uint32_t put_text(std::string_view text) {
        EXPECT_LT(text.size(), text_capacity);
        write_bytes(text_, std::string(text) + '\0');
        write_u32(end_, end_unset);
        return text_;
    }
    // The end position as an offset into the text, or -1 for null, -2 for untouched.
    int64_t end_offset() {
        uint32_t end = read_u32(end_);
        if (end == end_unset) return -2;
        return end == 0 ? -1 : int64_t(end) - int64_t(text_);
    }
    uint32_t integer(const char *function, std::string_view text, int base) {
        return call(function, {put_text(text), end_, uint32_t(base)});
    }
    long double real(const char *function, std::string_view text) {
        return call_long_double(function, {put_text(text), end_});
    }
    static constexpr size_t text_capacity = 8192;
    uint32_t text_ = 0;
    uint32_t end_ = 0;
};

TEST_F(NumberParsing, StrtoulBasesPrefixesAndEnds) {
    struct Row {
        std::string text;
        int base;
        uint32_t value;
        int64_t end; // offset of the end position
    } rows[] = {
        {"  0x1A", 0, 26, 6},
        {"  0x1A", 16, 26, 6},
        {"  0x1A", 10, 0, 3},
        {"0X1f", 0, 31, 4},
        {"0x", 0, 0, 2},
        {"0xg", 16, 0, 2},
        {" 0X", 16, 0, 3},
        {"0XfF", 16, 255, 4},
        {"0x0x1", 0, 0, 3},
        {"0x", 10, 0, 1},
        {"0x1", 8, 0, 1}, // no prefix outside bases 0 and 16
        {"0x1", 17, 0, 1},
        {"077", 0, 63, 3},
        {"09", 0, 0, 1},
        {"0", 0, 0, 1},
        {"-1", 10, 0, 0},
        {"+1", 10, 0, 0},
        {"\v7", 10, 0, 0},
        {"\f7", 10, 0, 0},
        {"\t\n\r 12x", 10, 12, 6},
        {"   ", 10, 0, 3},
        {"", 0, 0, 0},
        {"4294967295", 10, 0xffffffff, 10},
        {"4294967296", 10, 0, 10},
        {"4294967297", 10, 1, 10},
        {"123456789abcdef0", 16, 0x9abcdef0, 16},
        {"zz", 36, 0, 0},
        {"fg", 36, 15, 1},
        {"0010", 1, 0, 2},
        {"1", 1, 0, 0},
        {"12", -1, 0, 0},
        {"12", 2, 1, 1},
        // Bases of 100 and more: the NUL and letters past f still end the number.
        {"ff", 100, 1515, 2},
        {"9g", 1000, 9, 1},
        {"1", INT32_MAX, 1, 1},
        {"777", 8, 0777, 3},
        {"\x80"
         "1",
         10, 0, 0},
        {"42", 10, 42, 2},
    };
    for (const Row &row : rows) {
        std::string what =
            "strtoul(\"" + escaped(row.text) + "\", " + std::to_string(row.base) + ")";
        EXPECT_EQ(integer("strtoul", row.text, row.base), row.value) << what;
        EXPECT_EQ(end_offset(), row.end) << what << ": end";
        EXPECT_EQ(integer("strtol", row.text, row.base), row.value) << "strtol as " << what;
        EXPECT_EQ(end_offset(), row.end) << "strtol as " << what << ": end";
    }
    EXPECT_EQ(as_int(integer("strtol", "ffffffff", 16)), -1);
    EXPECT_EQ(as_int(integer("strtol", "2147483648", 10)), INT32_MIN);
    EXPECT_TRUE(canaries_intact()) << "canary overwritten";
}

TEST_F(NumberParsing, NullTextStoresNullEnd) {
    for (const char *function : {"strtoul", "strtol"}) {
        write_u32(end_, end_unset);
        EXPECT_EQ(call(function, {null_pointer, end_, 10}), 0u) << function;
        EXPECT_EQ(end_offset(), -1) << function << " stores a null end";
        EXPECT_EQ(call(function, {null_pointer, null_pointer, 10}), 0u) << function;
        EXPECT_EQ(call(function, {str("12"), null_pointer, 10}), 12u) << function << ", no end";
    }
    for (const char *function : {"strtold", "strtod"}) {
        write_u32(end_, end_unset);
        long double got = call_long_double(function, {null_pointer, end_});
        EXPECT_TRUE(same_bits(got, 0.0L)) << function << "(null): expected +0, got " << bits(got);
        EXPECT_EQ(end_offset(), -1) << function << " stores a null end";
        got = call_long_double(function, {str("2.5"), null_pointer});
        EXPECT_EQ(got, 2.5L) << function << " without an end";
    }
    EXPECT_EQ(call("atoi", {null_pointer}), 0u);
    EXPECT_EQ(call("atol", {null_pointer}), 0u);
}

TEST_F(NumberParsing, AtoiSignsWhiteSpaceAndWrapping) {
    struct Row {
        const char *text;
        int32_t value;
    } rows[] = {
        {"  -12abc", -12},
        {"\r5", 0},
        {"\v5", 0},
        {"\t\n 7", 7},
        {"+-5", 0},
        {"-+5", 0},
        {"+42", 42},
        {"- 5", 0},
        {"", 0},
        {"abc", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MIN},
        {"-2147483648", INT32_MIN},
        {"4294967297", 1},
        {"-0", 0},
        {"007", 7},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(as_int(call("atoi", {str(row.text)})), row.value)
            << "atoi(\"" << escaped(row.text) << "\")";
        EXPECT_EQ(as_int(call("atol", {str(row.text)})), row.value)
            << "atol(\"" << escaped(row.text) << "\")";
    }
}

TEST_F(NumberParsing, StrtoldFormsAndEndPositions) {
    struct Row {
        std::string text;
        long double value;
        int64_t end;
    } rows[] = {
        {"  -.5e1", -5.0L, 7}, {"5.", 5.0L, 2},      {"1.e2", 100.0L, 4}, {"1e", 1.0L, 1},
        {"1e+", 1.0L, 1},      {"1ex", 1.0L, 1},     {"1E-2", 0.01L, 4},  {"0x1.8p1", 3.0L, 7},
        {"0X.8", 0.5L, 4},     {"0x10P-4", 1.0L, 7}, {"0x1.", 1.0L, 4},   {"0x1p", 1.0L, 3},
        {"0x1e2", 0x1e2, 5}, // e is a digit here
        {"\v7", 7.0L, 2},      {"\f\r+8", 8.0L, 4},  {"00012", 12.0L, 5}, {"0", 0.0L, 1},
    };
    for (const Row &row : rows) {
        long double got = real("strtold", row.text);
        EXPECT_TRUE(same_bits(got, row.value))
            << "strtold(\"" << escaped(row.text) << "\"): expected " << bits(row.value) << ", got "
            << bits(got);
        EXPECT_EQ(end_offset(), row.end) << "end of \"" << escaped(row.text) << "\"";
    }
}

TEST_F(NumberParsing, StrtoldNoNumberEndsAtTheStartWithPositiveZero) {
    for (std::string text : {"", ".", "  .", "-", "+.e1", "0x", "-0xq", "0x.", "0x.p1", "  0xg",
                             "inf", "-INF", "nan", "infinity", "e5", "- 1",
                             "\x80"
                             "1"}) {
        long double got = real("strtold", text);
        EXPECT_TRUE(same_bits(got, 0.0L))
            << "strtold(\"" << escaped(text) << "\"): expected +0, got " << bits(got);
        EXPECT_EQ(end_offset(), 0) << "end of \"" << escaped(text) << "\" should be the start";
    }
    for (std::string text : {"-0", "-0.0", "-0x0", "-0e9"}) {
        long double got = real("strtold", text);
        EXPECT_TRUE(same_bits(got, -0.0L))
            << "strtold(\"" << text << "\"): expected -0, got " << bits(got);
    }
}

TEST_F(NumberParsing, StrtoldExponentsActAsAtMost1024Steps) {
    struct Row {
        std::string text, same_as;
    } rows[] = {
        {"1e5000", "1e1024"},
        {"1e1025", "1e1024"},
        {"1e-5000", "1e-1024"},
        {"1e99999999999999999999999", "1e1024"},
        {"1e-00000000000000000000001", "1e-1"},
        {"0x1p-1100", "0x1p-1024"},
        {"0x1p99999999999", "0x1p1024"},
        {"-3e+4097", "-3e1024"},
    };
    for (const Row &row : rows) {
        long double got = real("strtold", row.text);
        EXPECT_EQ(end_offset(), int64_t(row.text.size())) << "all of \"" << row.text << "\"";
        long double want = real("strtold", row.same_as);
        EXPECT_TRUE(same_bits(got, want))
            << "strtold(\"" << row.text << "\"): expected " << bits(want) << " as for "
            << row.same_as << ", got " << bits(got);
    }
    EXPECT_TRUE(std::isfinite(real("strtold", "1e5000")));
    EXPECT_EQ(real("strtold", "0x1p-1100"), std::ldexp(1.0L, -1024));
}

// Fractions longer than the scaling steps: the digits past the 1024th are read (the end
// moves past them) but leave the value as that of the first 1024.
TEST_F(NumberParsing, FractionDigitsPast1024AreReadButDropped) {
    const std::string zeros(1024, '0');
    struct Row {
        std::string text, same_as;
    } rows[] = {
        {"0." + std::string(1024, '3') + std::string(500, '9'), "0." + std::string(1024, '3')},
        {"12." + zeros.substr(1) + "7123456789", "12." + zeros.substr(1) + "7"},
        {"0x." + std::string(1024, 'a') + std::string(300, 'f'), "0x." + std::string(1024, 'a')},
        {"0x1." + zeros + "8p4", "0x1p4"},
        {"0." + zeros + "000005", "0"}, // beyond reach, as 1e-1030 is
        {"-0x." + zeros + "1", "-0"},
    };
    for (const Row &row : rows) {
        std::string what =
            row.text.substr(0, 6) + "... (" + std::to_string(row.text.size()) + " bytes)";
        long double got = real("strtold", row.text);
        EXPECT_EQ(end_offset(), int64_t(row.text.size())) << what << ": all digits are read";
        long double want = real("strtold", row.same_as);
        EXPECT_TRUE(same_bits(got, want)) << what << ": expected " << bits(want) << " as for "
                                          << row.same_as.substr(0, 12) << ", got " << bits(got);
    }
}

// Every step of strtold is one rounded long double operation, so these differ in their last
// bits from the nearest long double (noted beside them): 3.14159 is 314159 divided by 10 five
// times, 1e300 is 1 multiplied by 10 three hundred times.
TEST_F(NumberParsing, StrtoldRoundsAtEveryStep) {
    struct Row {
        const char *text;
        long double value;
    } rows[] = {
        {"3.14159", 0xc.90fcf80dc33721ep-2L},                   // nearest: ...21dp-2
        {"123.456", 0xf.6e978d4fdf3b645p+3L},                   // nearest: ...646p+3
        {"1e-5", 0xa.7c5ac471b478422p-20L},                     // nearest: ...423p-20
        {"0.000001", 0x8.637bd05af6c69b5p-23L},                 // nearest: ...9b6p-23
        {"1e-20", 0xb.ce5086492111ae9p-70L},                    // nearest: ...aebp-70
        {"1e300", 0xb.f21e44003acdd2fp+993L},                   // nearest: ...d2dp+993
        {"123456789012345678901", 0xd.629d3f025e6cd86p+63L},    // nearest: ...d87p+63
        {"1.7976931348623157e308", 0xf.ffffffffffff79dp+1020L}, // nearest: ...7acp+1020
        {"0x1234567890abcdef18", 0x9.1a2b3c4855e6f78p+65L},     // nearest: ...f79p+65
    };
    for (const Row &row : rows) {
        long double got = real("strtold", row.text);
        EXPECT_TRUE(same_bits(got, row.value)) << "strtold(\"" << row.text << "\"): expected "
                                               << bits(row.value) << ", got " << bits(got);
    }
}

TEST_F(NumberParsing, StrtodRoundsTheSameValueToDouble) {
    for (std::string text :
         {"0.1", "1e308", "1.7976931348623158e308", "1.7976931348623159e308", "1e309", "-1e309",
          "1e5000", "-1e5000", "4.9e-324", "2e-324", "1e-400", "-1e-400", "0x1.fffffffffffff8p0",
          "123456789012345678901", "0x1p1023", "0x1p1024", "-0"}) {
        long double extended = real("strtold", text);
        int64_t extended_end = end_offset();
        long double got = real("strtod", text);
        long double want = static_cast<double>(extended);
        EXPECT_TRUE(same_bits(got, want))
            << "strtod(\"" << text << "\"): expected " << bits(want) << ", got " << bits(got);
        EXPECT_EQ(end_offset(), extended_end) << "strtod(\"" << text << "\") ends as strtold";
    }
    EXPECT_EQ(real("strtod", "1e5000"), std::numeric_limits<long double>::infinity());
    EXPECT_EQ(real("strtod", "-1e309"), -std::numeric_limits<long double>::infinity());
    EXPECT_TRUE(std::isfinite(real("strtold", "1e309"))) << "only the double overflows";
}

} // namespace
