// The string and memory functions, called inside the test image.
#include "lib_fixture.h"

namespace {

using namespace std::literals;

constexpr uint32_t unmapped = 0x10; // any access faults: the first page is never mapped

class StringFunctions : public LibFixture {
  protected:
    // Places `bytes` so that their last byte is the last one mapped: reading one byte
    // further faults. The end is found by letting memcmp read into it (loads only, which
    // the emulator runs far faster than stores).
    uint32_t at_end_of_memory(std::string_view bytes) {
        uint32_t start = alloc(16) + 32; // past the allocation and its canary
        CallOutcome outcome = call_outcome("memcmp", {start, start, 0u - start});
        EXPECT_TRUE(outcome.fault.has_value()) << "memcmp should run into unmapped memory";
        uint32_t end = outcome.fault ? outcome.fault->address : 0;
        write_bytes(end - uint32_t(bytes.size()), bytes);
        return end - uint32_t(bytes.size());
    }
};

TEST_F(StringFunctions, LengthsStopAtTheTerminatorOrTheLimit) {
    struct Case {
        const char *text;
        uint32_t max;
        uint32_t strlen_result, strnlen_result;
    } cases[] = {
        {"", 5, 0, 0},    {"abc", 5, 3, 3}, {"abc", 3, 3, 3},
        {"abc", 2, 3, 2}, {"abc", 0, 3, 0}, {"\xff\x80", 9, 2, 2},
    };
    for (const Case &c : cases) {
        uint32_t s = str(c.text);
        EXPECT_EQ(call("strlen", {s}), c.strlen_result) << "strlen(\"" << c.text << "\")";
        EXPECT_EQ(call("strnlen", {s, c.max}), c.strnlen_result)
            << "strnlen(\"" << c.text << "\", " << c.max << ")";
    }
}

TEST_F(StringFunctions, LowPointersAreEmptyStringsAndNeverRead) {
    for (uint32_t low : {0u, 1u, unmapped, 4095u}) {
        EXPECT_EQ(call("strlen", {low}), 0u) << "strlen(" << low << ")";
        EXPECT_EQ(call("strnlen", {low, 10}), 0u) << "strnlen(" << low << ", 10)";
    }
    uint32_t x = str("x");
    EXPECT_EQ(as_int(call("strcmp", {0, x})), -1);
    EXPECT_EQ(as_int(call("strcmp", {x, 4095})), 1);
    EXPECT_EQ(as_int(call("strncmp", {unmapped, x, 3})), -1);
    EXPECT_EQ(as_int(call("strncmp", {x, unmapped, 3})), 1);
}

TEST_F(StringFunctions, ComparisonsReturnTheUnsignedByteDifference) {
    struct Case {
        const char *function;
        std::string_view a, b;
        uint32_t n; // for the counted functions
        int expected;
    } cases[] = {
        {"strcmp", "a", "c", 0, -2},
        {"strcmp", "abc", "ab", 0, 99},
        {"strcmp", "ab", "abc", 0, -99},
        {"strcmp", "\x80", "a", 0, 31},
        {"strcmp", "same", "same", 0, 0},
        {"strcmp", "", "", 0, 0},
        {"strncmp", "abc", "abd", 2, 0},
        {"strncmp", "abc", "abd", 3, -1},
        {"strncmp", "ab", "ab\xff", 5, -255},
        {"strncmp", "abc", "abc", 100, 0},
        {"memcmp", "ab\0x"sv, "ab\0y"sv, 4, 'x' - 'y'},
        {"memcmp", "ab\0x"sv, "ab\0y"sv, 3, 0},
        {"memcmp", "\xff", "\x01", 1, 254},
        {"strcasecmp", "HeLLo", "hello", 0, 0},
        {"strcasecmp", "[", "a", 0, 0x5b - 0x61},
        {"strcasecmp", "a", "[", 0, 0x61 - 0x5b},
        {"strcasecmp", "\xc4", "\xe4", 0, 0xc4 - 0xe4}, // only A to Z fold
        {"strcasecmp", "abc", "AB", 0, 'c'},
        {"strncasecmp", "ABCx", "abcy", 3, 0},
        {"strncasecmp", "ABCx", "abcy", 4, 'x' - 'y'},
        {"strncasecmp", "Z", "z\x01", 2, -1},
    };
    for (const Case &c : cases) {
        std::string function = c.function;
        std::vector<uint32_t> args = {str(c.a), str(c.b)};
        bool counted = function == "strncmp" || function == "strncasecmp" || function == "memcmp";
        if (counted) args.push_back(c.n);
        EXPECT_EQ(as_int(call(c.function, args)), c.expected)
            << c.function << "(\"" << c.a << "\", \"" << c.b << "\", " << c.n << ")";
    }
}

TEST_F(StringFunctions, NullAndSamePointerRulesOfComparisons) {
    uint32_t empty = str("");
    EXPECT_EQ(as_int(call("strcmp", {0, 0})), 0);
    EXPECT_EQ(as_int(call("strcmp", {0, empty})), -1);
    EXPECT_EQ(as_int(call("strcmp", {empty, 0})), 1);
    // The same pointer, or n of 0, answers 0 without reading anything.
    EXPECT_EQ(as_int(call("strcmp", {0x7000000, 0x7000000})), 0);
    EXPECT_EQ(as_int(call("strncmp", {0x7000000, 0x7000008, 0})), 0);
    EXPECT_EQ(as_int(call("memcmp", {0x7000000, 0x7000008, 0})), 0);
    EXPECT_EQ(as_int(call("strncasecmp", {0x7000000, 0x7000000, 5})), 0);
    EXPECT_EQ(as_int(call("strcasecmp", {0, 0})), 0);
    EXPECT_EQ(as_int(call("strcasecmp", {0, empty})), -1);
    EXPECT_EQ(as_int(call("strcasecmp", {empty, 0})), 1);
    EXPECT_EQ(as_int(call("strncasecmp", {0, empty, 1})), -1);
    EXPECT_EQ(as_int(call("strncasecmp", {0, empty, 0})), 0) << "n of 0 before the null test";
    EXPECT_EQ(as_int(call("strncasecmp", {empty, 0, 1})), 1);
}

TEST_F(StringFunctions, CopiesWriteExactlyTheBytesTheyShould) {
    struct Case {
        const char *function;
        const char *dst_before; // the destination's initial string
        const char *src;        // nullptr: a null source
        uint32_t n;
        std::string dst_after; // the first 8 bytes of the destination afterwards
    } cases[] = {
        {"strcpy", "zzzzzzz", "ab", 0, std::string("ab\0zzzz\0", 8)},
        {"strcpy", "zzzzzzz", nullptr, 0, std::string("\0zzzzzz\0", 8)},
        {"strncpy", "zzzzzzz", "ab", 5, std::string("ab\0\0\0zz\0", 8)},
        {"strncpy", "zzzzzzz", "abcdef", 3, std::string("abczzzz\0", 8)},
        {"strncpy", "zzzzzzz", nullptr, 4, std::string("\0\0\0\0zzz\0", 8)},
        {"strncpy", "zzzzzzz", "ab", 0, std::string("zzzzzzz\0", 8)},
        {"strcat", "ab\0zzzz", "cd", 0, std::string("abcd\0zz\0", 8)},
        {"strcat", "ab\0zzzz", nullptr, 0, std::string("ab\0zzzz\0", 8)},
        {"strncat", "ab\0zzzz", "cdef", 2, std::string("abcd\0zz\0", 8)},
        {"strncat", "ab\0zzzz", "c", 4, std::string("abc\0zzz\0", 8)},
        {"strncat", "ab\0zzzz", "cd", 0, std::string("ab\0zzzz\0", 8)},
        {"strncat", "ab\0zzzz", nullptr, 3, std::string("ab\0zzzz\0", 8)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.function) + " onto \"" + c.dst_before + "\" from " +
                     (c.src ? "\"" + std::string(c.src) + "\"" : "null") + ", n " +
                     std::to_string(c.n));
        uint32_t dst = buffer(std::string(c.dst_before, 8));
        uint32_t src = c.src ? str(c.src) : 0;
        std::vector<uint32_t> args = {dst, src};
        if (std::string(c.function).starts_with("strn")) args.push_back(c.n);
        EXPECT_EQ(call(c.function, args), dst) << "returns the destination";
        EXPECT_EQ(escaped(read_bytes(dst, 8)), escaped(c.dst_after));
        EXPECT_TRUE(canaries_intact());
    }
}

TEST_F(StringFunctions, NullDestinationsWriteNothing) {
    uint32_t src = str("abc");
    EXPECT_EQ(call("strcpy", {0, src}), 0u);
    EXPECT_EQ(call("strcat", {0, src}), 0u);
    EXPECT_EQ(call("strncat", {0, src, 2}), 0u);
    EXPECT_EQ(call("strncpy", {0, src, 2}), 0u);
}

TEST_F(StringFunctions, SearchesFindBytesAndSubstrings) {
    uint32_t s = str("banana");
    struct Case {
        const char *function;
        uint32_t c;
        int64_t expected_offset; // -1: null
    } byte_cases[] = {
        {"strchr", 'a', 1},   {"strrchr", 'a', 5},   {"strchr", 'z', -1},  {"strrchr", 'z', -1},
        {"strchr", 0, 6},     {"strrchr", 0, 6},     {"strchr", 0x16e, 2}, // low 8 bits: 'n'
        {"strchr", 0x100, 6}, {"strrchr", 0x162, 0},
    };
    for (const Case &c : byte_cases) {
        uint32_t expected = c.expected_offset < 0 ? 0 : s + uint32_t(c.expected_offset);
        EXPECT_EQ(call(c.function, {s, c.c}), expected)
            << c.function << "(\"banana\", " << c.c << ")";
    }
    EXPECT_EQ(call("strchr", {0, 'a'}), 0u);
    EXPECT_EQ(call("strrchr", {0, 'a'}), 0u);

    struct SubstringCase {
        const char *hay, *needle;
        int64_t expected_offset;
    } substring_cases[] = {
        {"banana", "nan", 2},  {"aaab", "aab", 1},  {"banana", "", 0}, {"", "", 0},
        {"banana", "nab", -1}, {"ban", "bana", -1}, {"", "a", -1},
    };
    for (const SubstringCase &c : substring_cases) {
        uint32_t hay = str(c.hay);
        uint32_t expected = c.expected_offset < 0 ? 0 : hay + uint32_t(c.expected_offset);
        EXPECT_EQ(call("strstr", {hay, str(c.needle)}), expected)
            << "strstr(\"" << c.hay << "\", \"" << c.needle << "\")";
    }
    EXPECT_EQ(call("strstr", {0, s}), 0u);
    EXPECT_EQ(call("strstr", {s, 0}), 0u);
    EXPECT_EQ(call("strstr", {0, str("")}), 0u) << "a null haystack even for an empty needle";
}

TEST_F(StringFunctions, MemoryFunctionsHandleOverlapAndTouchOnlyTheirBytes) {
    uint32_t area = buffer("0123456789");
    EXPECT_EQ(call("memmove", {area + 2, area, 6}), area + 2);
    EXPECT_EQ(read_bytes(area, 10), "0101234589") << "moving up overlaps from the top";
    area = buffer("0123456789");
    EXPECT_EQ(call("memmove", {area, area + 2, 6}), area);
    EXPECT_EQ(read_bytes(area, 10), "2345676789") << "moving down overlaps from the bottom";
    area = buffer("0123456789");
    EXPECT_EQ(call("memcpy", {area + 5, area, 3}), area + 5);
    EXPECT_EQ(read_bytes(area, 10), "0123401289");
    EXPECT_EQ(call("memset", {area, 0x141, 4}), area);
    EXPECT_EQ(read_bytes(area, 10), "AAAA401289") << "memset stores the low 8 bits of c";
    EXPECT_TRUE(canaries_intact());

    // Zero-length operations never touch memory, whatever the pointers.
    for (const char *function : {"memcpy", "memmove", "memset"})
        EXPECT_EQ(call(function, {unmapped, unmapped + 4, 0}), unmapped) << function;
    EXPECT_EQ(call("memmove", {unmapped, unmapped, 100}), unmapped) << "same area: nothing to do";
}

TEST_F(StringFunctions, StrtokSplitsInPlaceAndKeepsOneSharedPosition) {
    uint32_t text = buffer(std::string("  ab,,cd; ef \0", 14));
    uint32_t comma_space = str(", "), semicolon = str(";");
    EXPECT_EQ(call("strtok", {text, comma_space}), text + 2);
    EXPECT_EQ(read_bytes(text + 2, 3), std::string("ab\0", 3));
    EXPECT_EQ(call("strtok", {0, comma_space}), text + 6);
    EXPECT_EQ(read_string(text + 6), "cd;") << "the delimiter set changes per call";
    EXPECT_EQ(call("strtok", {0, semicolon}), text + 10) << "the rest, \"ef \", holds no ';'";
    EXPECT_EQ(call("strtok", {0, semicolon}), 0u) << "the last token ran to the end";
    EXPECT_EQ(call("strtok", {0, semicolon}), 0u) << "stays at its end";

    uint32_t only = str("::::");
    uint32_t colon = str(":");
    EXPECT_EQ(call("strtok", {only, colon}), 0u) << "only delimiters";
    EXPECT_EQ(call("strtok", {0, colon}), 0u);

    uint32_t whole = str("a b");
    EXPECT_EQ(call("strtok", {whole, 0}), whole) << "null delimiters: the rest is one token";
    EXPECT_EQ(call("strtok", {0, 0}), 0u);
    uint32_t again = str("a b");
    EXPECT_EQ(call("strtok", {again, str("")}), again) << "empty delimiters: the same";
    EXPECT_EQ(read_bytes(again, 3), "a b");

    EXPECT_EQ(call("strtok", {str(""), colon}), 0u) << "an empty string has no token";
    EXPECT_TRUE(canaries_intact());
}

TEST_F(StringFunctions, CountedFunctionsNeverReadBeyondTheirCount) {
    uint32_t abc = at_end_of_memory("abc"); // no terminator: the next byte is unmapped
    ASSERT_TRUE(call_outcome("strlen", {abc}).fault.has_value()) << "strlen must run off the end";
    uint32_t ABC = str("ABC"), copy = alloc(8, 'z'), tail = buffer(std::string("12\0zzzz", 8));
    struct Case {
        const char *function;
        std::vector<uint32_t> args;
        uint32_t expected;
    } cases[] = {
        {"strnlen", {abc, 3}, 3},
        {"strncmp", {abc, str("abc"), 3}, 0},
        {"strncmp", {str("abc"), abc, 3}, 0},
        {"strncasecmp", {abc, ABC, 3}, 0},
        {"strncasecmp", {ABC, abc, 3}, 0},
        {"memcmp", {abc, str("abc"), 3}, 0},
        {"memcpy", {copy, abc, 3}, copy},
        {"memmove", {copy, abc, 3}, copy},
        {"strncpy", {copy, abc, 3}, copy},
        {"strncat", {tail, abc, 3}, tail},
    };
    for (const Case &c : cases) {
        CallOutcome outcome = call_outcome(c.function, c.args);
        EXPECT_TRUE(outcome.returned)
            << c.function << " read past its count: " << outcome.fault_text;
        EXPECT_EQ(outcome.eax, c.expected) << c.function;
    }
    EXPECT_EQ(read_bytes(copy, 4), "abcz");
    EXPECT_EQ(read_string(tail), "12abc") << "strncat terminates after n bytes";

    // The same holds for the copy that strndup takes.
    CallOutcome dup = call_outcome("strndup", {abc, 3});
    ASSERT_TRUE(dup.returned) << "strndup read s[n]: " << dup.fault_text;
    EXPECT_EQ(read_string(dup.eax), "abc");

    // Searches stop at the terminator, even when the haystack ends the mapped memory.
    uint32_t hay = at_end_of_memory(std::string("xa\0", 3));
    for (const char *needle : {"ab", "abc", "b"}) {
        CallOutcome outcome = call_outcome("strstr", {hay, str(needle)});
        EXPECT_TRUE(outcome.returned)
            << "strstr(\"xa\", \"" << needle << "\"): " << outcome.fault_text;
        EXPECT_EQ(outcome.eax, 0u) << needle;
    }
    EXPECT_EQ(call("strrchr", {hay, 'a'}), hay + 1);
    EXPECT_EQ(call("strchr", {hay, 'z'}), 0u);
    EXPECT_TRUE(canaries_intact());
}

} // namespace
