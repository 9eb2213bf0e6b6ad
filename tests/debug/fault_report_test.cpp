// Fault reports without a debugger: each kind of fault, at each optimisation level, is
// reported at the instruction and line where Debian's gdb stops on the same program; the
// backtrace walks every frame to _start, from a library function and through a stack
// overflow; names from the image are shown escaped.
#include "gdb_batch.h"
#include "subprocess.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char *const kLevels[] = {"O0", "O1", "O2", "Os"};
constexpr bool kCorrectionsLinked = CORRECTIONS_LINKED;

std::string image(const std::string &name) {
    return std::string(DEBUG_TEST_BIN) + "/" + name;
}

std::string fault_kinds(const std::string &level) {
    return image("fault_kinds_" + level + ".uelf");
}

// The number written right after `prefix` in `text`, in `base`.
std::optional<uint32_t> number_after(const std::string &text, const std::string &prefix, int base) {
    size_t at = text.find(prefix);
    if (at == std::string::npos) return std::nullopt;
    const char *begin = text.c_str() + at + prefix.size();
    char *end = nullptr;
    unsigned long value = std::strtoul(begin, &end, base);
    if (end == begin) return std::nullopt;
    return uint32_t(value);
}

// The lines of a report's backtrace: "  #N 0x...".
std::vector<std::string> frames(const std::string &report) {
    std::vector<std::string> lines;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("  #", 0) == 0) lines.push_back(line);
    return lines;
}

// "pc 0x400068, line 20"; "none" for what is missing.
std::string stop(std::optional<uint32_t> pc, std::optional<uint32_t> line) {
    char hex[16] = "none";
    if (pc) std::snprintf(hex, sizeof hex, "0x%x", *pc);
    return "pc " + std::string(hex) + ", line " + (line ? std::to_string(*line) : "none");
}

TEST(FaultReports, EachKindIsReportedWhereGdbStopsAtEveryOptimisationLevel) {
    if (!gdb_installed()) GTEST_SKIP() << "gdb is not installed";
    struct Kind {
        const char *argument, *summary;
        bool access; // a data access, made precise by the corrections to Unicorn
    } kinds[] = {
        {"read", "read of unmapped address 0x00000000 at 0x", true},
        {"write", "write to unmapped address 0x00000000 at 0x", true},
        {"protection", "write to read-only address 0x", true},
        {"divide", "division error at 0x", false},
        {"invalid", "invalid instruction at 0x", false},
        {"fetch", "execution of unmapped address 0x00000000 at 0x00000000", false},
    };
    bool skipped = false;
    for (const char *level : kLevels)
        for (const Kind &kind : kinds) {
            if (kind.access && !kCorrectionsLinked) {
                skipped = true;
                continue;
            }
            std::string what = std::string(level) + " " + kind.argument;
            Finished alone = run_command({VEKOS_EMU, fault_kinds(level), kind.argument});
            EXPECT_EQ(alone.status, 139) << what << ": " << alone.err;
            EXPECT_NE(alone.err.find(kind.summary), std::string::npos)
                << what << ": expected \"" << kind.summary << "\" in:\n"
                << alone.err;
            std::vector<std::string> lines = frames(alone.err);
            ASSERT_FALSE(lines.empty()) << what << ": expected a backtrace in:\n" << alone.err;
            std::string reported = stop(number_after(lines[0], "#0 0x", 16),
                                        number_after(lines[0], "(fault_kinds.c:", 10));

            Debugged gdb =
                debug_with_gdb(fault_kinds(level), {"continue", "p/x $pc", "info line *$pc"},
                               {{}, {kind.argument}});
            auto gdb_pc = number_after(gdb.gdb, "$1 = 0x", 16);
            ASSERT_TRUE(gdb_pc) << what << ": expected gdb to print the pc:\n" << gdb.gdb;
            std::string stopped = stop(gdb_pc, number_after(gdb.gdb, "\nLine ", 10));
            EXPECT_EQ(reported, stopped) << what << ": expected the report where gdb stops, "
                                         << stopped << "; the report says " << reported << ":\n"
                                         << alone.err << "gdb:\n"
                                         << gdb.gdb;
        }
    if (skipped)
        GTEST_SKIP() << "without the corrections to Unicorn's internals (VEKOS_UNICORN_TWEAKS "
                        "off) a faulting load or store is reported at the start of its "
                        "translated block: those rows were left out";
}

// Each expected frame's pieces, innermost first; the backtrace has exactly these frames.
void expect_frames(const std::string &report, const std::vector<std::vector<std::string>> &expected,
                   const std::string &what) {
    std::vector<std::string> lines = frames(report);
    EXPECT_EQ(lines.size(), expected.size())
        << what << ": expected " << expected.size() << " frames in:\n"
        << report;
    for (size_t i = 0; i < std::min(lines.size(), expected.size()); ++i)
        for (const std::string &piece : expected[i])
            EXPECT_NE(lines[i].find(piece), std::string::npos)
                << what << ": expected \"" << piece << "\" in frame #" << i << ", got:\n"
                << report;
}

TEST(FaultReports, TheBacktraceWalksEveryFrameToStartAtEveryOptimisationLevel) {
    if (!kCorrectionsLinked)
        GTEST_SKIP() << "without the corrections to Unicorn's internals a faulting load leaves "
                        "the registers of its block's start, which the unwinder can't follow "
                        "(VEKOS_UNICORN_TWEAKS is off)";
    const std::vector<std::string> outer = {" outer+0x", "(fault_kinds.c:32)"};
    const std::vector<std::string> main = {" main+0x", "(fault_kinds.c:36)"};
    const std::vector<std::string> start = {" _start+0x", "(user_crt0.S:"};
    struct Case {
        const char *argument;
        std::vector<std::vector<std::string>> frames;
    } cases[] = {
        {"read", {{" inner+0x", "(fault_kinds.c:20)"}, outer, main, start}},
        // Inside the library, built with call-frame information and lines.
        {"library",
         {{" strlen+0x", "(length.cpp:"}, {" inner+0x", "(fault_kinds.c:26)"}, outer, main, start}},
        // In the block that also holds the function's prologue.
        {"renamed",
         {{" renamed_by_the_test_0123456789+0x", "(fault_kinds.c:15)"},
          {" inner+0x", "(fault_kinds.c:27)"},
          outer,
          main,
          start}},
    };
    for (const char *level : kLevels)
        for (const Case &c : cases) {
            std::string what = std::string(level) + " " + c.argument;
            Finished f = run_command({VEKOS_EMU, fault_kinds(level), c.argument});
            EXPECT_EQ(f.status, 139) << what << ": " << f.err;
            expect_frames(f.err, c.frames, what);
        }
}

TEST(FaultReports, AStackOverflowShowsItsInnermostAndOutermostFrames) {
    if (!kCorrectionsLinked)
        GTEST_SKIP() << "without the corrections to Unicorn's internals the overflowing push "
                        "leaves the registers of its block's start (VEKOS_UNICORN_TWEAKS is off)";
    Finished f = run_command({VEKOS_EMU, image("crashes.uelf"), "deep"});
    EXPECT_EQ(f.status, 139) << f.err;
    std::vector<std::string> lines = frames(f.err);
    ASSERT_GE(lines.size(), 3u) << "expected frames in:\n" << f.err;
    EXPECT_NE(f.err.find("\n  stack overflow"), std::string::npos) << f.err;
    EXPECT_NE(lines[0].find(" deeper+0x"), std::string::npos) << f.err;
    EXPECT_NE(lines[lines.size() - 2].find(" main+0x"), std::string::npos) << f.err;
    EXPECT_NE(lines[lines.size() - 2].find("(crashes.c:16)"), std::string::npos) << f.err;
    EXPECT_NE(lines.back().find(" _start+0x"), std::string::npos) << f.err;
    // The frames left out are counted, and the outer frames numbered past them.
    auto left_out = number_after(f.err, "\n  ... ", 10);
    auto last = number_after(lines.back(), "  #", 10);
    ASSERT_TRUE(left_out && last) << "expected a count of frames not shown in:\n" << f.err;
    EXPECT_GT(*left_out, 1000u) << "a 1 MiB stack of 256-byte frames:\n" << f.err;
    EXPECT_EQ(*last, lines.size() - 1 + *left_out)
        << "expected the outermost frame numbered after the " << *left_out << " not shown, got #"
        << *last;
}

TEST(FaultReports, NamesInTheBacktraceAreEscapedAsInTheSummary) {
    std::ifstream in(fault_kinds("O0"), std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    const std::string placeholder = "renamed_by_the_test_0123456789";
    const std::string hostile = std::string("x\n  #9 0x0 fake\x1b[2J\x1b]0;t\x07") + "yyyyy";
    ASSERT_EQ(hostile.size(), placeholder.size());
    size_t replaced = 0;
    for (size_t at; (at = bytes.find(placeholder)) != std::string::npos; ++replaced)
        bytes.replace(at, placeholder.size(), hostile);
    ASSERT_GT(replaced, 0u) << "expected the placeholder name in the image";
    TempRoot root;
    root.write_file("/hostile.uelf", bytes);

    Finished f = run_command({VEKOS_EMU, root.path() + "/hostile.uelf", "renamed"});
    const std::string shown = "x\\n  #9 0x0 fake\\x1b[2J\\x1b]0;t\\x07yyyyy";
    EXPECT_EQ(f.status, 139) << f.err;
    EXPECT_EQ(f.err.find_first_of("\x1b\x07"), std::string::npos)
        << "expected no raw escape or bell in:\n"
        << f.err;
    EXPECT_NE(f.err.find("(" + shown), std::string::npos)
        << "expected the summary to show " << shown << ":\n"
        << f.err;
    std::vector<std::string> lines = frames(f.err);
    ASSERT_FALSE(lines.empty()) << f.err;
    EXPECT_NE(lines[0].find(" " + shown), std::string::npos)
        << "expected frame #0 to show " << shown << ":\n"
        << f.err;
    EXPECT_EQ(f.err.find("\n  #9 0x0 fake"), std::string::npos)
        << "expected no line made by the name:\n"
        << f.err;
}

} // namespace
