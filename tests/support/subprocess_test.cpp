// run_command and Child themselves, on host programs: large input and output at once, exit
// statuses and signals, commands that cannot start, and a child the test talks to.
#include "subprocess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
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

TEST(Child, TalksToARunningChildSignalsItAndReportsItsEnd) {
    using namespace std::chrono_literals;
    Child cat({"/bin/cat"});
    cat.send("ping\n");
    EXPECT_EQ(cat.read_until("ping\n", 5s), "ping\n") << "cat echoes while it runs";
    cat.close_input();
    EXPECT_EQ(cat.wait(5s), 0) << "cat ends at the end of its input";

    Child sleeper({"/bin/sleep", "60"});
    EXPECT_EQ(sleeper.wait(50ms), -1) << "still running";
    sleeper.signal(SIGTERM);
    EXPECT_EQ(sleeper.wait(5s), 128 + SIGTERM);

    Finished copy = Child([] { return int(write(2, "copy", 4)) + 3; }).finish();
    EXPECT_EQ(copy.status, 7) << "a forked copy ends with its body's result: " << copy.err;
    EXPECT_EQ(copy.err, "copy");
    EXPECT_EQ(Child({"/bin/sh", "-c", "test -t 1"}, "", true).finish().status, 0)
        << "stdout on a terminal";
}

} // namespace
