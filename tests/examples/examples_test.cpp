// Whole programs on the stand-in kernel: cat and cp through run, and how processes end.
#include "emu_program_test.h"

#include <filesystem>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class Programs : public EmuProgramTest {
  protected:
    Programs()
        : EmuProgramTest({built_program("run.uelf"), built_program("cat.uelf"),
                          built_program("cp.uelf"),
                          std::string(EXAMPLES_TEST_ROOT) + "/bin/exit_early.uelf",
                          std::string(EXAMPLES_TEST_ROOT) + "/bin/rand_draws.uelf"}) {}
};

// Every byte value, over several of cat's and cp's 4 KiB chunks.
std::string binary_content(size_t size) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; i++) content[i] = char((i * 7 + i / 256) & 0xff);
    return content;
}

TEST_F(Programs, CatCopiesNamedFilesInOrder) {
    root.write_file("a.txt", "one\n");
    root.write_file("b.txt", "two\n");
    Finished r = emu("run.uelf cat.uelf a.txt /b.txt a.txt");
    EXPECT_EQ(r.out, "one\ntwo\none\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Programs, CatCopiesLargeBinaryFilesExactly) {
    std::string content = binary_content(10000);
    root.write_file("data.bin", content);
    Finished r = emu("run.uelf cat.uelf data.bin");
    EXPECT_EQ(r.out.size(), content.size());
    EXPECT_TRUE(r.out == content) << "the bytes differ";
}

TEST_F(Programs, CatReadsStandardInputForADash) {
    root.write_file("a.txt", "file\n");
    Finished r = emu("cat.uelf a.txt - a.txt", "typed\n");
    EXPECT_EQ(r.out, "file\ntyped\nfile\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Programs, CatReportsMissingFilesAndGoesOn) {
    root.write_file("a.txt", "here\n");
    Finished r = emu("cat.uelf nope.txt a.txt");
    EXPECT_EQ(r.out, "cat: nope.txt: no such file\nhere\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Programs, CpCopiesAFileWhole) {
    std::string content = binary_content(50000);
    root.write_file("source.bin", content);
    root.write_file("copy.bin", "old content, longer than nothing");
    Finished r = emu("run.uelf cp.uelf source.bin copy.bin");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(root.read_file("copy.bin").value_or("").size(), content.size());
    EXPECT_TRUE(root.read_file("copy.bin").value_or("") == content) << "the copy differs";

    root.write_file("empty.txt", "");
    r = emu("cp.uelf empty.txt also_empty.txt");
    EXPECT_EQ(r.status, 0);
    ASSERT_TRUE(fs::exists(root.host("also_empty.txt")));
    EXPECT_EQ(fs::file_size(root.host("also_empty.txt")), 0u);
}

TEST_F(Programs, CpRefusesBadArgumentsAndMissingFiles) {
    struct Case {
        const char *args;
        std::string out;
    } cases[] = {
        {"cp.uelf", "usage: cp <from> <to>\n"},
        {"cp.uelf one", "usage: cp <from> <to>\n"},
        {"cp.uelf missing.txt copy.txt", "cp: missing.txt: no such file\n"},
    };
    for (const Case &c : cases) {
        Finished r = emu(c.args);
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.status, 1) << c.args;
    }
    EXPECT_FALSE(fs::exists(root.host("copy.txt")));
}

TEST_F(Programs, ExitEndsAtOnceWithItsStatusAndStoresNothing) {
    Finished r = emu("exit_early.uelf");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "leaving\n") << "no handler runs";
    EXPECT_FALSE(fs::exists(root.host("left.txt"))) << "an unclosed write stream stores nothing";
}

TEST_F(Programs, SelfSeededRandomNumbersDifferBetweenRuns) {
    Finished first = emu("rand_draws.uelf"), second = emu("rand_draws.uelf");
    ASSERT_EQ(first.status, 0);
    ASSERT_EQ(second.status, 0);
    EXPECT_NE(first.out, second.out) << "both runs drew " << first.out;
    std::istringstream values(first.out + second.out);
    int value, count = 0;
    while (values >> value) {
        EXPECT_GE(value, 0);
        EXPECT_LE(value, 32767);
        count++;
    }
    EXPECT_EQ(count, 8) << first.out << second.out;
}

} // namespace
