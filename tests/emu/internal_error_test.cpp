// A host crash ends vekos-emu with one line and status 125, after the guest's pending output.
#include "host/console.h"
#include "host/internal_error.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, size_t(n));
    close(fd);
    return text;
}

TEST(InternalError, ACrashWritesThePendingOutputAndEndsWith125) {
    for (int signal : {SIGSEGV, SIGABRT}) {
        int out[2], err[2];
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(pipe(err), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            vekos::HostConsole console; // a pipe: output is held back
            vekos::report_internal_errors();
            const char guest[] = "written by the guest";
            console.write(reinterpret_cast<const uint8_t *>(guest), sizeof guest - 1);
            raise(signal);
            _exit(1);
        }
        close(out[1]);
        close(err[1]);
        std::string output = read_all(out[0]), errors = read_all(err[0]);
        int status = 0;
        waitpid(child, &status, 0);
        const char *name = signal == SIGSEGV ? "SIGSEGV" : "SIGABRT";
        ASSERT_TRUE(WIFEXITED(status)) << name << ": ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), vekos::kStatusInternalError) << name;
        EXPECT_EQ(output, "written by the guest") << name;
        EXPECT_EQ(errors, std::string("vekos-emu: internal error: ") + name + "\n");
    }
}

} // namespace
