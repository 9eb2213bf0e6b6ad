// The pieces of coverage and profiles that whole runs reach only by chance: how a block's
// code is split and where it leaves (calls and returns drive the shadow stack), and reading
// back tracefiles that lcov itself wrote, so that runs merge into any of them.
#include "profile/block_counts.h"
#include "profile/lcov_writer.h"

#include <gtest/gtest.h>

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
    vekos::profile::Coverage merged = vekos::profile::parse_lcov(kFromLcov);
    vekos::profile::merge(merged, run);
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
    vekos::profile::Coverage again =
        vekos::profile::parse_lcov(vekos::profile::format_lcov(merged, ""));
    EXPECT_EQ(again["/src/a.c"].lines, merged["/src/a.c"].lines);
    EXPECT_EQ(again.size(), merged.size());
}

} // namespace
