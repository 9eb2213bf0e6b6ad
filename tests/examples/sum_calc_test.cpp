// sum and calc through run on the stand-in kernel: number input from files and standard
// input with fscanf, and arguments parsed with strtol and strtod.
#include "emu_program_test.h"

#include <string>

namespace {

class NumberPrograms : public EmuProgramTest {
  protected:
    NumberPrograms()
        : EmuProgramTest(
              {built_program("run.uelf"), built_program("sum.uelf"), built_program("calc.uelf")}) {}
};

TEST_F(NumberPrograms, SumAddsFilesAndStandardInput) {
    root.write_file("a.txt", "10 20\n\t30\r\n-5");
    root.write_file("b.txt", "  7 abc 12abc\n");
    struct Case {
        std::string args, input, out;
        int status;
    } cases[] = {
        {"sum.uelf a.txt", "", "4 numbers, total 55\n", 0},
        {"sum.uelf a.txt b.txt", "", "6 numbers, total 74\nskipped (not numbers): 1\n", 0},
        {"sum.uelf", "1 2\n3", "3 numbers, total 6\n", 0},
        {"sum.uelf - a.txt", "2147483647 2147483647", "6 numbers, total 4294967349\n", 0},
        {"sum.uelf", "", "0 numbers, total 0\n", 0},
        {"sum.uelf missing.txt a.txt", "", "sum: cannot open missing.txt\n4 numbers, total 55\n",
         1},
        {"run.uelf sum.uelf a.txt", "", "4 numbers, total 55\n", 0},
    };
    for (const Case &c : cases) {
        Finished r = emu(c.args, c.input);
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.status, c.status) << c.args;
    }
}

TEST_F(NumberPrograms, CalcEvaluatesItsArguments) {
    struct Case {
        std::string args, out;
        int status;
    } cases[] = {
        {"7 x 6", "42\n", 0},
        {"7 / 2", "3\n", 0},
        {"7 / 2.0", "3.5\n", 0},
        {"1 / 8 + 2.5", "2.625\n", 0},
        {"-0x10 + 010", "-8\n", 0},
        {"2147483647 + 1", "-2147483648\n", 0},
        {"-2147483648 / -1", "-2147483648\n", 0},
        {"1e3 - 0.001", "999.999\n", 0},
        {"0x1p-2 '*' 3", "0.75\n", 0},
        {"-1e400", "-inf\n", 0},
        {"17 % 5", "2\n", 0},
        {"5 / 0", "calc: division by zero\n", 1},
        {"abc", "calc: not a number: abc\n", 1},
        {"1 ^ 2", "calc: not an operator: ^\n", 1},
        {"1.5 % 2", "calc: % needs integers\n", 1},
        {"", "usage: calc NUMBER [OPERATOR NUMBER]...   operators: + - x / %\n", 1},
    };
    for (const Case &c : cases) {
        Finished r = emu("calc.uelf " + c.args);
        EXPECT_EQ(r.out, c.out) << "calc " << c.args;
        EXPECT_EQ(r.status, c.status) << "calc " << c.args;
    }
    Finished through_run = emu("run.uelf calc.uelf 6 x 7");
    EXPECT_EQ(through_run.out, "42\n");
    EXPECT_EQ(through_run.status, 0);
}

} // namespace
