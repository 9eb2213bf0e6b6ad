// run on the stand-in kernel, as a user meets it: vekos-emu runs run.uelf, which asks the
// kernel to run the named program.
#include "emu_program_test.h"

#include <string>

namespace {

class RunEndToEnd : public EmuProgramTest {
  protected:
    RunEndToEnd()
        : EmuProgramTest({built_program("run.uelf"), built_program("hello.uelf"),
                          built_program("words.uelf")}) {}
};

TEST_F(RunEndToEnd, RunsAProgramWithItsArguments) {
    Finished r = emu("run.uelf hello.uelf -v 'two words' last");
    EXPECT_EQ(r.out, "-v\ntwo\nwords\nlast\n") << "the kernel splits the line at spaces";
    EXPECT_EQ(r.status, 0);
}

TEST_F(RunEndToEnd, UsageAndFailureMessagesWithStatusOne) {
    const std::string usage =
        "Usage: run <program.vek|program.bin|program.flat|program.uelf|script.shell> "
        "[args...]\n";
    struct Case {
        const char *args;
        std::string out;
    } cases[] = {
        {"run.uelf", usage},
        {"run.uelf ''", usage},
        {"run.uelf missing.uelf", "run: failed\n"},
        {"run.uelf notes.txt", "run: failed\n"}, // no loader for this extension
    };
    root.write_file("notes.txt", "not a program\n");
    for (const Case &c : cases) {
        Finished r = emu(c.args);
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.status, 1) << c.args;
    }
}

TEST_F(RunEndToEnd, LongCommandLinesAreCutAt191Characters) {
    // "hello.uelf " takes 11 characters, leaving 180 of the argument.
    Finished r = emu("run.uelf hello.uelf " + std::string(400, 'x') + " dropped");
    EXPECT_EQ(r.out, std::string(180, 'x') + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(RunEndToEnd, ShellScriptRunsEachCommandLine) {
    root.write_file("two.shell", "# two programs\nhello.uelf first\n\nbin/words.uelf ab:c\n");
    Finished r = emu("run.uelf two.shell");
    EXPECT_EQ(r.out, "first\nab\t2\nc\t1\nwords: 2, longest: ab\n");
    EXPECT_EQ(r.status, 0);
}

} // namespace
