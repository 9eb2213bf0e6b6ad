// run_command itself, on host programs: large input and output at once, exit statuses and
// signals, and commands that cannot start.
#include "subprocess.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// 4 MiB that a lost or reordered block would show in.
std::string pattern(size_t size) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; i++) text[i] = char('a' + (i * 7 + i / 4096) % 26);
    return text;
}

TEST(RunCommand, MovesMegabytesInAndOutAtOnce) {
    const std::string data = pattern(4 << 20);
    Finished cat = run_command({"/bin/cat"}, data);
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_TRUE(cat.out == data) << "cat gave back " << cat.out.size() << " bytes, expected "
                                 << data.size() << " unchanged";

    Finished both = run_command({"/bin/sh", "-c", "tee /dev/stderr"}, data);
    EXPECT_EQ(both.status, 0);
    EXPECT_TRUE(both.out == data) << "stdout: " << both.out.size() << " bytes of " << data.size();
    EXPECT_TRUE(both.err == data) << "stderr: " << both.err.size() << " bytes of " << data.size();
}

TEST(RunCommand, ReportsStatusSignalAndAChildThatReadsNothing) {
    struct Case {
        const char *script;
        int status;
    } cases[] = {
        {"exit 3", 3},
        {"kill -9 $$", 128 + 9},
        {"exec 0<&-; exit 0", 0}, // closes its input at once: the rest is dropped quietly
    };
    for (const Case &c : cases) {
        Finished f = run_command({"/bin/sh", "-c", c.script}, pattern(1 << 20));
        EXPECT_EQ(f.status, c.status) << c.script << ": " << f.err;
    }
    Finished here = run_command({"/bin/pwd"}, "", "/tmp");
    EXPECT_EQ(here.out, "/tmp\n") << "runs in the folder it was given";
}

TEST(RunCommand, ACommandThatCannotStartIsAFailure) {
    struct Case {
        const char *what;
        std::vector<std::string> argv;
        std::string folder;
    } cases[] = {
        {"missing program", {"/nonexistent/program"}, ""},
        {"missing folder", {"/bin/true"}, "/nonexistent/folder"},
        {"no command", {}, ""},
    };
    for (const Case &c : cases) {
        Finished f = run_command(c.argv, "input", c.folder);
        EXPECT_EQ(f.status, -1) << c.what << ": expected -1 (not started), " << f.err;
        EXPECT_NE(f.err.find("run_command: "), std::string::npos)
            << c.what << ": expected the reason in err, got \"" << f.err << "\"";
    }
}

} // namespace
