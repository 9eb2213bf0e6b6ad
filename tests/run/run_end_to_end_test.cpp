// run on the stand-in kernel, as a user meets it: vekos-emu runs run.uelf, which asks the
// kernel to run the named program.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
};

// Runs vekos-emu over a copy of the build's root with the given arguments (shell words).
class RunEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("vekos-run-test-" + std::to_string(::getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "bin");
        for (const char *program : {"run.uelf", "hello.uelf"})
            fs::copy_file(fs::path(VEKOS_ROOT_DIR) / "bin" / program, root_ / "bin" / program);
    }
    void TearDown() override { fs::remove_all(root_); }

    void write_file(const std::string &name, const std::string &text) {
        std::ofstream(root_ / name) << text;
    }

    Result emu(const std::string &args) {
        std::string command = std::string(VEKOS_EMU) + " --root '" + root_.string() + "' " + args;
        FILE *pipe = popen(command.c_str(), "r");
        if (!pipe) return {-1, ""};
        std::string out;
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
        int status = pclose(pipe);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }

    fs::path root_;
};

TEST_F(RunEndToEnd, RunsAProgramWithItsArguments) {
    Result r = emu("run.uelf hello.uelf -v 'two words' last");
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
    write_file("notes.txt", "not a program\n");
    for (const Case &c : cases) {
        Result r = emu(c.args);
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.status, 1) << c.args;
    }
}

TEST_F(RunEndToEnd, LongCommandLinesAreCutAt191Characters) {
    // "hello.uelf " takes 11 characters, leaving 180 of the argument.
    Result r = emu("run.uelf hello.uelf " + std::string(400, 'x') + " dropped");
    EXPECT_EQ(r.out, std::string(180, 'x') + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(RunEndToEnd, ShellScriptRunsEachCommandLine) {
    write_file("greet.shell", "# greets twice\nhello.uelf first\n\nbin/hello.uelf second line\n");
    Result r = emu("run.uelf greet.shell");
    EXPECT_EQ(r.out, "first\nsecond\nline\n");
    EXPECT_EQ(r.status, 0);
}

} // namespace
