// The example programs built with -fsanitize=undefined (and the floating-point checks,
// ending at the first failure) do what the plain builds do and report nothing.
#include "emu_program_test.h"

#include <string>

namespace {

std::string checked(const std::string &name) {
    return std::string(EXAMPLES_TEST_ROOT) + "/checked/" + name + ".uelf";
}

class CheckedExamples : public EmuProgramTest {
  protected:
    CheckedExamples()
        : EmuProgramTest({checked("hello"), checked("words"), checked("hexdump"), checked("cat"),
                          checked("cp"), checked("sum"), checked("calc"), checked("vsh")}) {}
};

TEST_F(CheckedExamples, RunAsThePlainBuildsDoWithoutAReport) {
    root.write_file("notes.txt", "first line\n");
    root.write_file("nums.txt", "1 2 3\n4 5\n");
    struct Case {
        const char *line, *input, *out;
    } cases[] = {
        {"hello.uelf -v", "", "-v\n"},
        {"words.uelf one,two:three", "", "one\t3\ntwo\t3\nthree\t5\nwords: 3, longest: three\n"},
        {"sum.uelf", "10 20\n30\n-4\n", "4 numbers, total 56\n"},
        {"calc.uelf 7 / 2.0 + 0x10 x 3", "", "58.5\n"},
        {"calc.uelf 2147483647 + 1", "", "-2147483648\n"},
        {"hexdump.uelf", "hi\n",
         "00000000  68 69 0a                                          |hi.|\n"
         "00000003\n"},
        {"cp.uelf notes.txt copy.txt", "", ""},
        {"cat.uelf copy.txt -", "typed\n", "first line\ntyped\n"},
        {"vsh.uelf", "cat.uelf nums.txt | sum.uelf\n", "5 numbers, total 15\n"},
    };
    for (const Case &c : cases) {
        Finished run = emu(c.line, c.input);
        EXPECT_EQ(run.status, 0) << c.line << ": " << run.err;
        EXPECT_EQ(run.out, c.out) << c.line;
        EXPECT_EQ(run.err, "") << c.line;
    }
}

} // namespace
