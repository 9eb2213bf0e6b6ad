// The pieces of coverage and profiles that whole runs reach only by chance: how a block's
// code is split and where it leaves (calls and returns drive the shadow stack), and reading
// back tracefiles that lcov itself wrote, so that runs merge into any of them, and refusing
// what isn't one.
#include "profile/block_counts.h"
#include "profile/lcov_writer.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using vekos::profile::BlockExit;

const char *exit_name(BlockExit exit) {
    return exit == BlockExit::Call ? "call" : exit == BlockExit::Return ? "return" : "other";
}

TEST(ProfileDecode, SplitsBlocksAndFindsCallsAndReturns) {
    struct Case {
        const char *what;
        std::vector<uint8_t> code;
        std::vector<uint8_t> lengths;
        BlockExit exit;
    };
    const Case cases[] = {
        {"call rel32", {0x31, 0xc0, 0xe8, 1, 0, 0, 0}, {2, 5}, BlockExit::Call},
        {"call through a register", {0x50, 0xff, 0xd0}, {1, 2}, BlockExit::Call},
        {"call through memory", {0xff, 0x15, 0, 0x10, 0x40, 0}, {6}, BlockExit::Call},
        {"ret", {0x5d, 0xc3}, {1, 1}, BlockExit::Return},
        {"ret imm16", {0xc2, 8, 0}, {3}, BlockExit::Return},
        {"int 0x80", {0xb8, 2, 0, 0, 0, 0xcd, 0x80}, {5, 2}, BlockExit::Other},
        {"jmp after a call's bytes", {0xe8, 0, 0, 0, 0, 0xeb, 0xfe}, {5, 2}, BlockExit::Other},
        {"prefixed and x87",
         {0x66, 0x89, 0x03, 0xd9, 0xe8, 0xf3, 0xa4},
         {3, 2, 2},
         BlockExit::Other},
        {"a call cut off", {0x90, 0xe8, 1, 0}, {1, 3}, BlockExit::Other},
    };
    for (const Case &c : cases) {
        vekos::profile::DecodedBlock decoded = vekos::profile::decode_block(c.code, 0x400000);
        EXPECT_EQ(decoded.lengths, c.lengths) << c.what;
        EXPECT_EQ(decoded.exit, c.exit)
            << c.what << ": expected " << exit_name(c.exit) << ", got " << exit_name(decoded.exit);
    }
}

TEST(ProfileLcov, MergesWithWhatLcovWrote) {
    // lcov's own output: checksums on DA lines, BRDA records, a test name.
    const char kFromLcov[] = "TN:unit\nSF:/src/a.c\nFN:3,f\nFNDA:2,f\nBRDA:4,0,0,1\n"
                             "DA:3,2,abcdef\nDA:4,0\nLF:2\nLH:1\nend_of_record\n"
                             "SF:/src/b.c\nDA:1,5\nend_of_record\n";
    vekos::profile::Coverage run;
    run["/src/a.c"].lines = {{4, 7}, {9, 1}};
    run["/src/a.c"].functions["f"] = {3, 1};
    run["/src/c.c"].lines = {{2, 0}};
    bool saturated = false;
    auto parsed = vekos::profile::parse_lcov(kFromLcov, saturated);
    ASSERT_TRUE(parsed) << parsed.error();
    vekos::profile::Coverage merged = *parsed;
    EXPECT_FALSE(vekos::profile::merge(merged, run)) << "no count near the largest";
    struct Expected {
        const char *file;
        int line;
        uint64_t count;
    };
    const Expected lines[] = {{"/src/a.c", 3, 2},
                              {"/src/a.c", 4, 7},
                              {"/src/a.c", 9, 1},
                              {"/src/b.c", 1, 5},
                              {"/src/c.c", 2, 0}};
    for (const Expected &e : lines) {
        const auto &counts = merged[e.file].lines;
        ASSERT_TRUE(counts.count(e.line)) << e.file << ":" << e.line << " missing";
        EXPECT_EQ(counts.at(e.line), e.count) << e.file << ":" << e.line;
    }
    EXPECT_EQ(merged["/src/a.c"].functions["f"].count, 3u) << "f's calls, merged";
    EXPECT_EQ(merged["/src/a.c"].functions["f"].line, 3) << "f's line";
    // What is written reads back the same.
    auto again = vekos::profile::parse_lcov(vekos::profile::format_lcov(merged, ""), saturated);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ((*again)["/src/a.c"].lines, merged["/src/a.c"].lines);
    EXPECT_EQ(again->size(), merged.size());
    EXPECT_FALSE(saturated);
}

// A tracefile is merged into only when every line is an lcov record: anything else is refused
// with its line, so that the file is left as it is.
TEST(ProfileLcov, RefusesWhatIsNotATracefile) {
    struct Case {
        const char *text;
        const char *error; // "" when accepted
    } cases[] = {
        {"", ""},
        {"VER:2\r\nTN:\r\nSF:/a.c\r\nFN:3,9,f\r\nFNL:0,3,9\r\n\r\nend_of_record\r\n", ""},
        {"TN:\nSF:/a.c\nDA:1,2\nhello garbage\n", "line 4: not an lcov record"},
        {"\x7f"
         "ELF\x01\x01\x01",
         "line 1: not an lcov record"},
        {"SF:/a.c\nda:1,2\n", "line 2: not an lcov record"},
        {"SF:/a.c\nDA:one,2\n", "line 2: malformed DA record"},
        {"SF:/a.c\nDA:1,-2\n", "line 2: malformed DA record"},
        {"SF:/a.c\nDA:1\n", "line 2: malformed DA record"},
        {"SF:/a.c\nFN:3\n", "line 2: malformed FN record"},
        {"SF:/a.c\nFNDA:x,f\n", "line 2: malformed FNDA record"},
        {"DA:1,2\n", "line 1: DA outside a file's record (no SF before it)"},
        {"SF:/a.c\nend_of_record\nFNDA:1,f\n",
         "line 3: FNDA outside a file's record (no SF before it)"},
        {"SF:\n", "line 1: SF without a file name"},
    };
    for (const Case &c : cases) {
        bool saturated = false;
        auto parsed = vekos::profile::parse_lcov(c.text, saturated);
        std::string got = parsed ? "" : parsed.error();
        EXPECT_EQ(got, c.error) << "for the tracefile:\n" << c.text;
    }
}

// Counts add up to the largest one and stay there, and say so.
TEST(ProfileLcov, CountsAreHeldAtTheLargest) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    struct Case {
        const char *text;
        uint64_t run; // the run's count of /a.c:1 and of f
        uint64_t expected;
        bool saturated;
    } cases[] = {
        {"SF:/a.c\nDA:1,18446744073709551615\nFNDA:18446744073709551615,f\n", 41, kMax, true},
        {"SF:/a.c\nDA:1,18446744073709551614\nFNDA:18446744073709551614,f\n", 1, kMax, false},
        {"SF:/a.c\nDA:1,18446744073709551616\nFNDA:99999999999999999999999,f\n", 0, kMax, true},
        {"SF:/a.c\nDA:1,9223372036854775808\nDA:1,9223372036854775808\n"
         "FNDA:9223372036854775808,f\nFNDA:9223372036854775808,f\n",
         0, kMax, true},
        {"SF:/a.c\nDA:1,40\nFNDA:40,f\n", 2, 42, false},
    };
    for (const Case &c : cases) {
        bool saturated = false;
        auto parsed = vekos::profile::parse_lcov(c.text, saturated);
        ASSERT_TRUE(parsed) << parsed.error();
        vekos::profile::Coverage run;
        run["/a.c"].lines[1] = c.run;
        run["/a.c"].functions["f"] = {1, c.run};
        saturated |= vekos::profile::merge(*parsed, run);
        EXPECT_EQ((*parsed)["/a.c"].lines[1], c.expected) << "line 1 of:\n" << c.text;
        EXPECT_EQ((*parsed)["/a.c"].functions["f"].count, c.expected) << "f in:\n" << c.text;
        EXPECT_EQ(saturated, c.saturated) << "said so, for:\n" << c.text;
    }
}

} // namespace
