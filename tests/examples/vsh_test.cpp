// vsh: pipelines of the examples, read from standard input or a script.
#include "emu_program_test.h"

#include <string>

namespace {

class Vsh : public EmuProgramTest {
  protected:
    Vsh()
        : EmuProgramTest({built_program("vsh.uelf"), built_program("cat.uelf"),
                          built_program("sum.uelf"), built_program("hexdump.uelf")}) {}
};

TEST_F(Vsh, RunsPipelinesAndReportsFailingStages) {
    root.write_file("nums.txt", "1 2 3\n4 5\n");
    // Descriptor 2 is the console too: a stage's complaints land in order with the output.
    struct Case {
        const char *lines, *out;
    } cases[] = {
        {"cat.uelf nums.txt | sum.uelf\n", "5 numbers, total 15\n"},
        {"sum.uelf < nums.txt\n# a comment\n\n", "5 numbers, total 15\n"},
        {"cat.uelf nums.txt | hexdump.uelf | cat.uelf\n",
         "00000000  31 20 32 20 33 0a 34 20  35 0a                    |1 2 3.4 5.|\n0000000a\n"},
        {"cat.uelf nums.txt > copy.txt\ncat.uelf copy.txt\n", "1 2 3\n4 5\n"},
        {"nothere.uelf | cat.uelf\n", "vsh: nothere.uelf: cannot run\n"},
        {"cat.uelf missing.txt\n",
         "cat: missing.txt: no such file\nvsh: cat.uelf: exit status 1\n"},
        {"| sum.uelf\ncat.uelf <\n", "vsh: malformed command line\nvsh: malformed command line\n"},
    };
    for (const Case &c : cases) {
        Finished f = emu("vsh.uelf", c.lines);
        EXPECT_EQ(f.status, 0) << c.lines;
        EXPECT_EQ(f.out, c.out) << c.lines;
        EXPECT_EQ(f.err, "") << c.lines;
    }
}

// 10 MB of every byte value through three stages.
TEST_F(Vsh, MovesTenMegabytesThroughThreeStagesExactly) {
    std::string content(10 << 20, '\0');
    for (size_t i = 0; i < content.size(); i++) content[i] = char((i * 7 + i / 4093) & 0xff);
    root.write_file("big.bin", content);
    Finished run = emu("vsh.uelf", "cat.uelf big.bin | cat.uelf | cat.uelf > out.bin\n");
    EXPECT_EQ(run.status, 0) << run.err;
    auto out = root.read_file("out.bin");
    ASSERT_TRUE(out.has_value()) << "no out.bin";
    EXPECT_EQ(out->size(), content.size());
    EXPECT_TRUE(*out == content) << "the bytes differ";
}

} // namespace
