// vekos-emu's console as users see it: output arrives while the guest runs, on a terminal and
// through a pipe, and the stop signals write out what the guest wrote before ending the run.
#include "guest.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// vekos-emu running chatter.uelf, its stdout on a pipe or a pseudo-terminal, stderr on a pipe.
class Running {
  public:
    Running(const std::string &root, const char *mode, bool terminal) {
        int err[2];
        if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        int out[2] = {-1, -1};
        if (terminal) {
            pid_ = forkpty(&out_, nullptr, nullptr, nullptr);
        } else {
            if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
            pid_ = fork();
            out_ = out[0];
        }
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            if (!terminal) dup2(out[1], 1);
            dup2(err[1], 2);
            execl(VEKOS_EMU, VEKOS_EMU, "--root", root.c_str(), "chatter.uelf", mode, nullptr);
            _exit(126);
        }
        if (!terminal) close(out[1]);
        close(err[1]);
        err_ = err[0];
    }
    ~Running() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // Reads stdout until it holds `text` or the time is up; returns what arrived.
    std::string read_until(const std::string &text, milliseconds limit) {
        auto end = Clock::now() + limit;
        while (out.find(text) == std::string::npos && Clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            int left = int(std::chrono::duration_cast<milliseconds>(end - Clock::now()).count());
            if (poll(&p, 1, std::max(left, 0)) <= 0) break;
            char buffer[4096];
            ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, size_t(n));
        }
        return out;
    }
    // The exit status (128 + signal for a signal), or -1 when it hasn't ended in time.
    int wait_for_exit(milliseconds limit) {
        auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(milliseconds(5));
        }
        return -1;
    }
    std::string drain_stderr() {
        std::string text;
        char buffer[512];
        for (ssize_t n; (n = ::read(err_, buffer, sizeof buffer)) > 0;)
            text.append(buffer, size_t(n));
        return text;
    }
    // Only while it runs: once reaped, pid_ is -1, and kill(-1) would signal every process.
    void signal(int number) {
        if (pid_ > 0) kill(pid_, number);
    }
    void close_output() {
        close(out_);
        out_ = -1;
    }

    std::string out;

  private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
};

class Console : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(root.host("bin"));
        std::filesystem::copy_file(CHATTER_IMAGE, root.host("bin/chatter.uelf"));
    }
    vekos::harness::TempRoot root;
};

TEST_F(Console, OutputArrivesWhileTheGuestComputesOnATerminalAndThroughAPipe) {
    for (bool terminal : {true, false}) {
        Running emu(root.path(), "s", terminal);
        EXPECT_NE(emu.read_until("one", milliseconds(1500)).find("one"), std::string::npos)
            << (terminal ? "terminal" : "pipe") << ": the line written before a long computation "
            << "should arrive within a fraction of a second; got '" << emu.out << "'";
    }
}

TEST_F(Console, OutputIsWrittenBeforeTheGuestSleeps) {
    Running emu(root.path(), "z", false);
    std::string got = emu.read_until("one", milliseconds(1500));
    EXPECT_EQ(got, "one\n") << "expected the first line during the two-second sleep";
}

TEST_F(Console, StopSignalsWriteOutTheOutputAndEndWithTheConventionalStatus) {
    struct Case {
        int signal;
        int status;
        const char *message;
    } cases[] = {{SIGINT, 130, "vekos-emu: stopped by SIGINT\n"},
                 {SIGTERM, 143, "vekos-emu: stopped by SIGTERM\n"},
                 {SIGHUP, 129, "vekos-emu: stopped by SIGHUP\n"}};
    for (const Case &c : cases) {
        Running emu(root.path(), "s", false);
        ASSERT_NE(emu.read_until("one", milliseconds(1500)).find("one"), std::string::npos);
        emu.signal(c.signal);
        EXPECT_EQ(emu.wait_for_exit(milliseconds(2000)), c.status) << strsignal(c.signal);
        EXPECT_EQ(emu.drain_stderr(), c.message);
    }
}

TEST_F(Console, ASecondInterruptEndsARunThatCannotWriteItsOutput) {
    Running emu(root.path(), "f", false); // nobody reads stdout: the pipe fills up
    std::this_thread::sleep_for(milliseconds(300));
    emu.signal(SIGINT);
    EXPECT_EQ(emu.wait_for_exit(milliseconds(200)), -1)
        << "the first interrupt waits to write out the guest's output";
    emu.signal(SIGINT);
    EXPECT_EQ(emu.wait_for_exit(milliseconds(2000)), 128 + SIGINT)
        << "the second interrupt should end vekos-emu by the signal itself";
}

// As `vekos-emu ... | head -c 10` does: like a native program, vekos-emu ends by SIGPIPE.
TEST_F(Console, AClosedOutputEndsTheRunAsItWouldANativeProgram) {
    Running emu(root.path(), "f", false);
    ASSERT_FALSE(emu.read_until("0123456789", milliseconds(1500)).empty());
    emu.close_output();
    EXPECT_EQ(emu.wait_for_exit(milliseconds(2000)), 128 + SIGPIPE);
}

} // namespace
