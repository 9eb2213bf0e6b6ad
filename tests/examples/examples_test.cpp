// Whole programs on the stand-in kernel: cat and cp through run, and how processes end.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
};

class Programs : public testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("vekos-examples-test-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "bin");
        for (const char *program : {"run.uelf", "cat.uelf", "cp.uelf"})
            fs::copy_file(fs::path(VEKOS_ROOT_DIR) / "bin" / program, root_ / "bin" / program);
        for (const char *program : {"exit_early.uelf", "rand_draws.uelf"})
            fs::copy_file(fs::path(EXAMPLES_TEST_ROOT) / "bin" / program, root_ / "bin" / program);
    }
    void TearDown() override { fs::remove_all(root_); }

    void put_file(const std::string &name, const std::string &content) {
        std::ofstream(root_ / name, std::ios::binary) << content;
    }
    std::string file(const std::string &name) {
        std::ifstream in(root_ / name, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // vekos-emu with these arguments (shell words), standard input from `input`.
    Result emu(const std::string &args, const std::string &input = "") {
        fs::path input_file = root_.string() + ".stdin";
        std::ofstream(input_file, std::ios::binary) << input;
        std::string command = std::string(VEKOS_EMU) + " --root '" + root_.string() + "' " + args +
                              " < '" + input_file.string() + "'";
        FILE *pipe = popen(command.c_str(), "r");
        if (!pipe) return {-1, ""};
        std::string out;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
        int status = pclose(pipe);
        fs::remove(input_file);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }

    fs::path root_;
};

// Every byte value, over several of cat's and cp's 4 KiB chunks.
std::string binary_content(size_t size) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; i++) content[i] = char((i * 7 + i / 256) & 0xff);
    return content;
}

TEST_F(Programs, CatCopiesNamedFilesInOrder) {
    put_file("a.txt", "one\n");
    put_file("b.txt", "two\n");
    Result r = emu("run.uelf cat.uelf a.txt /b.txt a.txt");
    EXPECT_EQ(r.out, "one\ntwo\none\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Programs, CatCopiesLargeBinaryFilesExactly) {
    std::string content = binary_content(10000);
    put_file("data.bin", content);
    Result r = emu("run.uelf cat.uelf data.bin");
    EXPECT_EQ(r.out.size(), content.size());
    EXPECT_TRUE(r.out == content) << "the bytes differ";
}

TEST_F(Programs, CatReadsStandardInputForADash) {
    put_file("a.txt", "file\n");
    Result r = emu("cat.uelf a.txt - a.txt", "typed\n");
    EXPECT_EQ(r.out, "file\ntyped\nfile\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Programs, CatReportsMissingFilesAndGoesOn) {
    put_file("a.txt", "here\n");
    Result r = emu("cat.uelf nope.txt a.txt");
    EXPECT_EQ(r.out, "cat: nope.txt: no such file\nhere\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Programs, CpCopiesAFileWhole) {
    std::string content = binary_content(50000);
    put_file("source.bin", content);
    put_file("copy.bin", "old content, longer than nothing");
    Result r = emu("run.uelf cp.uelf source.bin copy.bin");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(file("copy.bin").size(), content.size());
    EXPECT_TRUE(file("copy.bin") == content) << "the copy differs";

    put_file("empty.txt", "");
    r = emu("cp.uelf empty.txt also_empty.txt");
    EXPECT_EQ(r.status, 0);
    ASSERT_TRUE(fs::exists(root_ / "also_empty.txt"));
    EXPECT_EQ(fs::file_size(root_ / "also_empty.txt"), 0u);
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
        Result r = emu(c.args);
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.status, 1) << c.args;
    }
    EXPECT_FALSE(fs::exists(root_ / "copy.txt"));
}

TEST_F(Programs, ExitEndsAtOnceWithItsStatusAndStoresNothing) {
    Result r = emu("exit_early.uelf");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "leaving\n") << "no handler runs";
    EXPECT_FALSE(fs::exists(root_ / "left.txt")) << "an unclosed write stream stores nothing";
}

TEST_F(Programs, SelfSeededRandomNumbersDifferBetweenRuns) {
    Result first = emu("rand_draws.uelf"), second = emu("rand_draws.uelf");
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
