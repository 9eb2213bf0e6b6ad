// The buffer formatter: layouts, argument words, truncation and the terminator, checked
// byte by byte in guest buffers filled with a marker so stray stores show.
#include "lib_fixture.h"

#include <string>
#include <vector>

namespace {

constexpr uint8_t untouched = 0xAA;

using Arg = GuestArg;

struct Layout {
    const char *format;
    std::vector<Arg> args;
    std::string expected;
};

class BufferFormatter : public LibFixture {
  protected:
    // snprintf into a marked buffer of `size` bytes plus spare room; returns the result and
    // leaves the buffer's address in last_buffer.
    int32_t format_into(uint32_t size, const char *format, const std::vector<Arg> &args) {
        last_buffer = alloc(size + 16, untouched);
        return as_int(call("snprintf", argument_words(args, {last_buffer, size, str(format)})));
    }

    // Checks the whole buffer: the stored prefix, its NUL, and nothing touched after it.
    void expect_stored(uint32_t size, const std::string &complete, const std::string &context) {
        std::string bytes = read_bytes(last_buffer, size + 16);
        std::string expected(size + 16, char(untouched));
        if (size > 0) {
            size_t kept = std::min<size_t>(complete.size(), size - 1);
            expected.replace(0, kept, complete.substr(0, kept));
            expected[kept] = '\0';
        }
        EXPECT_EQ(escaped(bytes), escaped(expected)) << context << " with size " << size;
    }

    void check_layouts(const std::vector<Layout> &table) {
        for (const Layout &row : table) {
            int32_t result = format_into(256, row.format, row.args);
            EXPECT_EQ(result, int32_t(row.expected.size()))
                << row.format << ": expected length of \"" << escaped(row.expected) << "\"";
            expect_stored(256, row.expected, row.format);
        }
        EXPECT_TRUE(canaries_intact());
        EXPECT_EQ(describe(traps()), "") << "the buffer formatter makes no system call";
    }

    uint32_t last_buffer = 0;
};

TEST_F(BufferFormatter, NumberLayouts) {
    check_layouts({
        {"%5d|%-5d|%05d|%+d", {42, 42, 42, 42}, "   42|42   |00042|+42"},
        {"%05d", {-42}, "-0042"},
        {"%+5d", {42}, "  +42"},
        {"%+05d", {42}, "+0042"},
        {"%-+5d|", {42}, "+42  |"},
        {"%-05d|", {-42}, "-42  |"},
        {"%8.3d", {7}, "     007"},
        {"%08.3d", {7}, "     007"},
        {"%-8.3d|", {7}, "007     |"},
        {"%.3d", {-7}, "-007"},
        {"%+.3d", {7}, "+007"},
        {"%.0d", {0}, "0"},
        {"%5.0d", {0}, "    0"},
        {"%x", {0xdeadbeefu}, "deadbeef"},
        {"%X", {0xdeadbeefu}, "DEADBEEF"},
        {"%08.4x", {255}, "    00ff"},
        {"%08X", {255}, "000000FF"},
        {"%+x|%+u|%+X", {255, 7, 10}, "ff|7|A"},
        {"%d", {0x80000000u}, "-2147483648"},
        {"%i", {0x7fffffff}, "2147483647"},
        {"%u", {-1}, "4294967295"},
        {"%d", {0}, "0"},
        {"%+d", {0}, "+0"},
        {"%-0+-0+8d|", {5}, "+5      |"},
        {"%3d", {123456}, "123456"},
        {"%+d|%-*d|%-0*d|", {-5, -4, 3, 4, -3}, "-5|3|-3  |"},
    });
}

TEST_F(BufferFormatter, StringCharacterPointerAndPercentLayouts) {
    check_layouts({
        {"%5s|", {"ab"}, "   ab|"},
        {"%-5s|", {"ab"}, "ab|"},
        {"%-*s|", {-5, "ab"}, "   ab|"},
        {"%-*s|", {INT32_MIN, "ab"}, "ab|"}, // negated in 32 bits, the width stays negative
        {"%*s|", {-5, "ab"}, "ab|"},
        {"%*s|", {5, "ab"}, "   ab|"},
        {"%05s|", {"ab"}, "   ab|"},
        {"%.2s", {0u}, "(n"},
        {"%s", {0u}, "(null)"},
        {"%8s", {0u}, "  (null)"},
        {"%.*s", {-1, "abc"}, "abc"},
        {"%.1s|%.0s|%.9s", {"abc", "abc", "abc"}, "a||abc"},
        {"%.d|%5.s|%.x|%-3.i|", {0, "abc", 0, 5}, "0|     |0|5  |"},
        {"%s", {"\x80\xff"}, "\x80\xff"},
        {"%5c|", {65}, "A|"},
        {"%-5c|%.3c", {0x142, 'z'}, "B|z"},
        {"%10p", {0x1234}, "0x1234"},
        {"%-+012.8p", {0xabcdef}, "0xabcdef"},
        {"%p", {0u}, "0x0"},
        {"%p", {0xffffffffu}, "0xffffffff"},
        {"%5%|%-.3%", {}, "%|%"},
        {"100%%", {}, "100%"},
        {"caf\xc3\xa9 \xff", {}, "caf\xc3\xa9 \xff"},
    });
}

// Width, precision and value words are taken in that order; text conversions take none.
TEST_F(BufferFormatter, ArgumentWordsAreTakenInOrder) {
    check_layouts({
        {"%*d|", {-5, 42}, "42|"},
        {"%*d|%d", {4, 1, 2}, "   1|2"},
        {"%.*d", {-3, 7}, "7"},
        {"%0.*d|", {-3, 7}, "7|"},
        {"%0*.*d|", {6, -1, -7}, "-00007|"},
        {"%*.*s|", {6, 2, "abcdef"}, "    ab|"},
        {"%*2d|", {3, 9}, "%2d|"},
        {"%lld|%d", {5, 0, 9}, "5|0"},
        {"%ld %lu %zu %lx %llX", {-1, 2, 3, 255, 255}, "-1 2 3 ff FF"},
        {"%lzd|%zld", {}, "%zd|%ld"},
        {"%o %f %hd % d %#x", {}, "%o %f %hd % d %#x"},
        {"%-05.3k", {}, "%k"},
        {"%*q%d", {7, 8}, "%q8"},
        {"%*c|%.*%|%d", {9, 'a', 9, 4}, "a|%|4"},
        {"%n%e%b%d", {4}, "%n%e%b4"},
        {"%\xff%\x80", {}, "%\xff%\x80"},
        {"abc%", {}, "abc"},
        {"ab%5", {}, "ab"},
        {"ab%-0+", {}, "ab"},
        {"ab%5.", {}, "ab"},
        {"ab%5.3l", {}, "ab"},
        {"ab%ll", {}, "ab"},
        {"%c", {0}, std::string(1, '\0')},
    });
}

// Width and precision digits run on without bound in 32 bits; they wrap, never crash.
TEST_F(BufferFormatter, HugeWidthsWrapInThirtyTwoBits) {
    check_layouts({
        {"%4294967298d|", {7}, " 7|"},
        {"%2147483648d|", {7}, "7|"},
        {"%.4294967299d|", {7}, "007|"},
    });
}

TEST_F(BufferFormatter, AFieldFarLargerThanTheBufferIsCountedWhole) {
    EXPECT_EQ(format_into(16, "%2147483645d|%s", {7, "x"}), 2147483647);
    expect_stored(16, std::string(15, ' '), "%2147483645d|%s");
    EXPECT_EQ(format_into(16, "%-*s|%.5d", {-2147483640, "ab", 5}), 2147483646);
    expect_stored(16, std::string(15, ' '), "%-*s|%.5d");
    EXPECT_TRUE(canaries_intact());
}

TEST_F(BufferFormatter, AnOutputPast4GiBNeverStoresOutsideTheArray) {
    // The complete length is exactly 2^32, so the result wraps to 0; the count that decides
    // what is stored doesn't, so 'A' and 'B' land nowhere, before the array least of all.
    EXPECT_EQ(format_into(8, "%2147483647d%2147483647d%c%c", {1, 2, 'A', 'B'}), 0);
    expect_stored(8, std::string(7, ' '), "two fields of 2^31 - 1, then two characters");
    EXPECT_TRUE(canaries_intact());
}

TEST_F(BufferFormatter, EveryBufferSizeKeepsTheCompleteLength) {
    const char *format = "ab%5dcd|%s|%-4x|";
    std::vector<Arg> args = {-42, "xyz", 10};
    std::string complete = "ab  -42cd|xyz|a   |";
    for (uint32_t size = 0; size <= complete.size() + 3; size++) {
        EXPECT_EQ(format_into(size, format, args), int32_t(complete.size())) << "size " << size;
        expect_stored(size, complete, format);
    }
    EXPECT_TRUE(canaries_intact());
}

TEST_F(BufferFormatter, NullOrEmptyFormatAndMeasuringCalls) {
    uint32_t buf = alloc(8, untouched);
    EXPECT_EQ(call("snprintf", {buf, 8, 0}), 0u);
    EXPECT_EQ(escaped(read_bytes(buf, 8)), escaped(std::string(1, '\0') + std::string(7, '\xAA')));

    write_bytes(buf, std::string(8, '\xAA'));
    EXPECT_EQ(call("snprintf", {buf, 8, str("")}), 0u);
    EXPECT_EQ(escaped(read_bytes(buf, 2)), escaped(std::string("\0\xAA", 2)));

    write_bytes(buf, std::string(8, '\xAA'));
    EXPECT_EQ(call("snprintf", {buf, 0, 0}), 0u);
    EXPECT_EQ(call("snprintf", {buf, 0, str("%d"), 12345}), 5u) << "size 0 measures";
    EXPECT_EQ(escaped(read_bytes(buf, 8)), escaped(std::string(8, '\xAA')));

    EXPECT_EQ(call("snprintf", {0, 100, str("%s!"), str("hello")}), 6u) << "null buffer measures";
    EXPECT_EQ(call("snprintf", {0, 100, 0}), 0u);
    EXPECT_TRUE(canaries_intact());
}

// A precision may cut an array that has no terminator at all: nothing past it is read.
TEST_F(BufferFormatter, PrecisionBoundsTheStringScan) {
    uint32_t array = buffer("abc");
    uint32_t out = alloc(16, untouched);
    EXPECT_EQ(call("snprintf", {out, 16, str("%.3s|"), array}), 4u);
    EXPECT_EQ(read_string(out), "abc|");
    EXPECT_TRUE(canaries_intact());
}

TEST_F(BufferFormatter, VaListFormsReadTheSameWords) {
    uint32_t out = alloc(32, untouched);
    uint32_t list = words({uint32_t(-3), str("xy"), 0x1f});
    EXPECT_EQ(call("vsnprintf", {out, 5, str("%d:%s:%X"), list}), 8u);
    EXPECT_EQ(read_string(out), "-3:x");
    EXPECT_EQ(call("vsprintf", {out, str("%d:%s:%X"), list}), 8u);
    EXPECT_EQ(read_string(out), "-3:xy:1F");
    EXPECT_EQ(call("sprintf", {out, str("%s=%u"), str("n"), 12}), 4u);
    EXPECT_EQ(read_string(out), "n=12");
    EXPECT_TRUE(canaries_intact());
}

TEST_F(BufferFormatter, SprintfIsBoundedAt65536) {
    uint32_t out = alloc(0x10000 + 16, untouched);
    EXPECT_EQ(call("sprintf", {out, str("%70000d"), 7}), 70000u);
    std::string stored = read_bytes(out, 0x10000 + 16);
    EXPECT_EQ(stored.find_first_not_of(' '), 65535u) << "65535 fill spaces stored";
    EXPECT_EQ(stored[65535], '\0') << "terminator at the bound";
    EXPECT_EQ(escaped(stored.substr(65536)), escaped(std::string(16, '\xAA')))
        << "nothing stored past the bound";
    EXPECT_TRUE(canaries_intact());
}

TEST_F(BufferFormatter, DigitRendererWritesDigitsWithoutTerminator) {
    struct Row {
        uint32_t value, base, upper;
        std::string digits;
    } rows[] = {
        {0, 10, 0, "0"},
        {9, 10, 0, "9"},
        {10, 10, 0, "10"},
        {4294967295u, 10, 0, "4294967295"},
        {15, 16, 0, "f"},
        {16, 16, 1, "10"},
        {0xdeadbeef, 16, 0, "deadbeef"},
        {0xdeadbeef, 16, 1, "DEADBEEF"},
        {0, 16, 1, "0"},
    };
    for (const Row &row : rows) {
        uint32_t digits = alloc(24, untouched);
        EXPECT_EQ(call("snbuf_render_unsigned", {digits, row.value, row.base, row.upper}),
                  row.digits.size())
            << row.value << " in base " << row.base;
        std::string expected = row.digits + std::string(24 - row.digits.size(), '\xAA');
        EXPECT_EQ(escaped(read_bytes(digits, 24)), escaped(expected));
    }
    for (uint32_t base : {0u, 1u, 17u, 0xffffffffu}) {
        uint32_t digits = alloc(24, untouched);
        EXPECT_EQ(call("snbuf_render_unsigned", {digits, 12345, base, 0}), 0u)
            << "base " << base << " is refused";
        EXPECT_EQ(escaped(read_bytes(digits, 24)), escaped(std::string(24, '\xAA')));
    }
    EXPECT_TRUE(canaries_intact());
}

} // namespace
