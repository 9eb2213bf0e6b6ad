// The run-time checks vekos-cc builds in (libvekos_checks.a), on vekos-emu: each failed check
// prints its line at the place of the operation, worded as the host's UBSan words it, and
// vekos-emu the backtrace from that operation; recoverable checks go on and report each place
// once; the stack protector and -ftrapv end the program the same way; checks built as traps
// end in a fault report; gdb stops at a report, and a replay shows it again.
#include "gdb_batch.h"
#include "subprocess.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kCheckFailed = 1, kFault = 139;

std::string image(const std::string &name) {
    return std::string(DEBUG_TEST_BIN) + "/" + name + ".uelf";
}

std::string source(const std::string &name) {
    return std::string(DEBUG_TEST_SOURCE) + "/guest/" + name;
}

// The number of the line of `file` that holds the comment /* MARKER */.
int marked_line(const std::string &file, const std::string &marker) {
    std::ifstream in(file);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.find("/* " + marker + " */") != std::string::npos) return number;
    }
    ADD_FAILURE() << "no line of " << file << " holds /* " << marker << " */";
    return 0;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The backtrace's lines, "  #N 0x...".
std::vector<std::string> frames(const std::string &err) {
    std::vector<std::string> found;
    for (const std::string &line : lines_of(err))
        if (line.rfind("  #", 0) == 0) found.push_back(line);
    return found;
}

// The innermost frame is `function`'s (a part split off it too: add.cold) at `file`:`line`,
// called from main.
void expect_frames(const std::string &err, const std::string &function, const std::string &file,
                   int line, const std::string &what) {
    std::vector<std::string> found = frames(err);
    ASSERT_GE(found.size(), 2u) << what << ": expected a backtrace in:\n" << err;
    const std::regex innermost(" " + function + "(\\.[a-z]+)?\\+0x[0-9a-f]+ \\(" + file + ":" +
                               std::to_string(line) + "\\)$");
    EXPECT_TRUE(std::regex_search(found[0], innermost))
        << what << ": expected " << function << " at " << file << ":" << line
        << " in the first frame, got:\n"
        << err;
    EXPECT_NE(found[1].find(" main+0x"), std::string::npos)
        << what << ": expected main in the second frame, got:\n"
        << err;
}

// Stack addresses differ with the arguments: shown as 0xSTACK.
std::string stack_blanked(const std::string &text) {
    return std::regex_replace(text, std::regex("0xbf[0-9a-f]{6}"), "0xSTACK");
}

struct Case {
    const char *kind;     // the argument, and the comment that marks its line
    const char *function; // where the check failed
    int column;           // as GCC 12 places the check
    const char *message;
};

TEST(RuntimeChecks, EachFailedCheckPrintsItsPlaceAndMessageThenItsBacktrace) {
    const Case c_cases[] = {
        {"add", "add", 16,
         "signed integer overflow: 2147483647 + 1 cannot be represented in type 'int'"},
        {"sub", "subtract", 18,
         "signed integer overflow: -2147483648 - 1 cannot be represented in type 'int'"},
        {"mul", "multiply", 16,
         "signed integer overflow: 2147483647 * 2 cannot be represented in type 'int'"},
        {"negate", "negate", 12,
         "negation of -2147483648 cannot be represented in type 'int'; cast to an unsigned "
         "type to negate this value to itself"},
        {"add64", "add64", 18,
         "signed integer overflow: 9223372036854775807 + 1 cannot be represented in type "
         "'long long int'"},
        {"divide", "divide", 16, "division by zero"},
        {"divide-minus-one", "divide_minus_one", 18,
         "division of -2147483648 by -1 cannot be represented in type 'int'"},
        {"shift-far", "shift_far", 14, "shift exponent 40 is too large for 32-bit type 'int'"},
        {"shift-negative", "shift_negative", 14, "shift exponent -3 is negative"},
        {"shift-base", "shift_base", 21, "left shift of negative value -3"},
        {"shift-over", "shift_over", 16,
         "left shift of 2147483647 by 2 places cannot be represented in type 'int'"},
        {"bounds", "index_out", 17, "index 7 out of bounds for type 'int [5]'"},
        {"null", "load_null", 12, "load of null pointer of type 'int'"},
        {"alignment", "misaligned", 12,
         "load of misaligned address 0xSTACK for type 'int', which requires 4 byte alignment"},
        {"bool", "bad_bool", 12, "load of value 5, which is not a valid value for type '_Bool'"},
        {"float-cast", "float_cast", 5,
         "1e+10 is outside the range of representable values of type 'int'"},
        {"float-divide", "float_divide", 22, "division by zero"},
        {"vla", "vla", 9, "variable length array bound evaluates to non-positive value -2"},
        {"pointer-overflow", "wraps", 19,
         "pointer index expression with base 0xfffffff0 overflowed to 0x00000010"},
        {"builtin", "ctz", 12, "passing zero to ctz(), which is not a valid argument"},
        {"nonnull", "null_argument", 5,
         "null pointer passed as argument 1, which is declared to never be null"},
        {"returns-nonnull", "null_result", 12,
         "null pointer returned from function declared to never return null"},
        {"unreachable", "unreachable", 5, "execution reached an unreachable program point"},
    };
    const Case cxx_cases[] = {
        {"enum", "colour_value", 12,
         "load of value 7, which is not a valid value for type 'Colour'"},
        {"return", "no_return", 42,
         "execution reached the end of a value-returning function without returning a value"},
    };
    struct Program {
        const char *image, *source;
        const Case *begin, *end;
    } programs[] = {{"checked_abort", "checked.c", std::begin(c_cases), std::end(c_cases)},
                    {"checked_cxx", "checked_cxx.cpp", std::begin(cxx_cases), std::end(cxx_cases)}};
    for (const Program &program : programs)
        for (const Case *c = program.begin; c != program.end; ++c) {
            const std::string file = source(program.source), what = c->kind;
            const int line = marked_line(file, c->kind);
            Finished run = run_command({VEKOS_EMU, image(program.image), c->kind});
            // -fno-sanitize-recover: the first failed check ends the program.
            EXPECT_EQ(run.status, kCheckFailed) << what << ": " << run.err;
            EXPECT_EQ(stack_blanked(run.out), file + ":" + std::to_string(line) + ":" +
                                                  std::to_string(c->column) +
                                                  ": runtime error: " + c->message + "\n")
                << what;
            expect_frames(run.err, c->function, program.source, line, what);
        }
}

TEST(RuntimeChecks, RecoverableChecksGoOnAndReportEachPlaceOnce) {
    const std::string file = source("checked.c");
    Finished run = run_command({VEKOS_EMU, image("checked_recover"), "again"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, file + ":" + std::to_string(marked_line(file, "add")) +
                           ":16: runtime error: signed integer overflow: 2147483647 + 1 cannot "
                           "be represented in type 'int'\nwent on\n");
    EXPECT_EQ(frames(run.err).size(), 3u) << "one backtrace: add, main, _start; got:\n" << run.err;
}

TEST(RuntimeChecks, StackProtectorAndTrapvEndTheProgramWithTheBacktrace) {
    struct Case {
        const char *image, *kind, *function, *line;
    } cases[] = {
        {"checked_protected", "smash", "smash",
         "-fstack-protector: runtime error: stack smashing detected"},
        {"checked_trapv", "add", "add",
         "-ftrapv: runtime error: signed integer overflow: 2147483647 + 1 cannot be represented "
         "in type 'int'"},
        {"checked_trapv", "sub", "subtract",
         // GCC adds -1
         "-ftrapv: runtime error: signed integer overflow: -2147483648 + -1 cannot be "
         "represented in type 'int'"},
        {"checked_trapv", "mul", "multiply",
         "-ftrapv: runtime error: signed integer overflow: 2147483647 * 2 cannot be represented "
         "in type 'int'"},
        {"checked_trapv", "negate", "negate",
         "-ftrapv: runtime error: negation of -2147483648 cannot be represented in type 'int'"},
        {"checked_trapv", "add64", "add64",
         "-ftrapv: runtime error: signed integer overflow: 9223372036854775807 + 1 cannot be "
         "represented in type 'long long int'"},
    };
    for (const Case &c : cases) {
        const std::string what = std::string(c.image) + " " + c.kind;
        Finished run = run_command({VEKOS_EMU, image(c.image), c.kind});
        EXPECT_EQ(run.status, kCheckFailed) << what << ": " << run.err;
        EXPECT_EQ(run.out, std::string(c.line) + "\n") << what;
        expect_frames(run.err, c.function, "checked.c", marked_line(source("checked.c"), c.kind),
                      what);
    }
}

TEST(RuntimeChecks, ChecksBuiltAsTrapsEndInAFaultReportAtTheirLine) {
    Finished run = run_command({VEKOS_EMU, image("checked_trap"), "add"});
    EXPECT_EQ(run.status, kFault) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(": invalid instruction at 0x"), std::string::npos) << run.err;
    expect_frames(run.err, "add", "checked.c", marked_line(source("checked.c"), "add"), "trap");
}

TEST(RuntimeChecks, GdbStopsAtAReportAndTheProgramGoesOn) {
    if (!gdb_installed()) GTEST_SKIP() << "gdb is not installed";
    Debugged gdb =
        debug_with_gdb(image("checked_recover"), {"continue", "bt", "continue"}, {{}, {"add"}});
    EXPECT_NE(gdb.gdb.find("Program received signal SIGTRAP"), std::string::npos) << gdb.gdb;
    const std::string line = std::to_string(marked_line(source("checked.c"), "add"));
    EXPECT_TRUE(std::regex_search(gdb.gdb, std::regex("#[0-9]+ +0x[0-9a-f]+ in add \\(\\) at .*"
                                                      "checked.c:" +
                                                      line + "\n#[0-9]+ .* in main ")))
        << "expected add, at the report's line, below the run-time's frames:\n"
        << gdb.gdb;
    EXPECT_EQ(gdb.emu_status, 0) << gdb.emu_err;
    EXPECT_NE(gdb.emu_out.find("runtime error: signed integer overflow"), std::string::npos);
    EXPECT_NE(gdb.emu_out.find("went on\n"), std::string::npos) << gdb.emu_out;
}

TEST(RuntimeChecks, AReplayShowsTheReportAndGdbGoesBackPastIt) {
    TempRoot folder;
    const std::string recording = folder.path() + "/run.rec";
    Finished recorded =
        run_command({VEKOS_EMU, "--record", recording, image("checked_recover"), "add"});
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    ASSERT_EQ(frames(recorded.err).size(), 3u) << recorded.err;
    Finished replayed = run_command({VEKOS_EMU, "--replay", recording}, "", folder.path());
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_EQ(replayed.out, recorded.out);
    EXPECT_EQ(replayed.err, recorded.err);

    if (!gdb_installed()) GTEST_SKIP() << "gdb is not installed";
    // Back from the report to main's breakpoint, and forward to the report again: it stops
    // there each time, and its backtrace is shown once.
    Debugged gdb = debug_replay_with_gdb(
        image("checked_recover"),
        {"break main", "continue", "continue", "reverse-continue", "continue", "continue"},
        {{}, {"add"}});
    const std::string stopped = "Program received signal SIGTRAP";
    size_t first = gdb.gdb.find(stopped);
    ASSERT_NE(first, std::string::npos) << gdb.gdb;
    EXPECT_NE(gdb.gdb.find("Breakpoint 1, main", first), std::string::npos)
        << "expected gdb back at main's breakpoint:\n"
        << gdb.gdb;
    EXPECT_NE(gdb.gdb.find(stopped, first + 1), std::string::npos)
        << "expected the report to stop the program again:\n"
        << gdb.gdb;
    EXPECT_EQ(gdb.gdb.find("No more reverse-execution history"), std::string::npos) << gdb.gdb;
    EXPECT_EQ(frames(gdb.emu_err).size(), 3u) << "one backtrace, shown once:\n" << gdb.emu_err;
    EXPECT_EQ(gdb.emu_status, 0) << gdb.emu_err;
}

} // namespace
