// vekos-emu's console as users see it: output arrives while the guest runs, on a terminal and
// through a pipe, and the stop signals write out what the guest wrote before ending the run.
#include "guest.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// vekos-emu running chatter.uelf, its stdout on a pipe or a pseudo-terminal, stdin and stderr
// on pipes.
class Running {
  public:
    Running(const std::string &root, const char *mode, bool terminal) {
        int err[2], in[2];
        if (pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe2");
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
            dup2(in[0], 0);
            ::signal(SIGPIPE, SIG_DFL); // as a shell starts it, whatever this test ignores
            execl(VEKOS_EMU, VEKOS_EMU, "--root", root.c_str(), "chatter.uelf", mode, nullptr);
            _exit(126);
        }
        if (!terminal) close(out[1]);
        close(err[1]);
        err_ = err[0];
        close(in[0]);
        in_ = in[1];
    }
    ~Running() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
        close(in_);
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
    void signal(int number) {
        if (pid_ > 0) kill(pid_, number); // never kill(-1): that would reach every process
    }
    // Waits until vekos-emu is blocked writing its output, as /proc/PID/syscall shows.
    bool blocked_writing(milliseconds limit) {
        std::string file = "/proc/" + std::to_string(pid_) + "/syscall";
        for (auto end = Clock::now() + limit; Clock::now() < end;) {
            long number = -1;
            std::ifstream(file) >> number;
            if (number == SYS_write) return true;
            std::this_thread::sleep_for(milliseconds(5));
        }
        return false;
    }
    void send(const std::string &text) { (void)!::write(in_, text.data(), text.size()); }
    void close_input() {
        close(in_);
        in_ = -1;
    }
    void close_output() {
        close(out_);
        out_ = -1;
    }

    std::string out;

  private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1, in_ = -1;
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
        EXPECT_NE(emu.read_until("one", milliseconds(5000)).find("one"), std::string::npos)
            << (terminal ? "terminal" : "pipe") << ": the line written before a long computation "
            << "should arrive within a fraction of a second; got '" << emu.out << "'";
    }
}

TEST_F(Console, OutputIsWrittenBeforeTheGuestSleeps) {
    Running emu(root.path(), "z", false);
    std::string got = emu.read_until("one", milliseconds(5000));
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
        ASSERT_NE(emu.read_until("one", milliseconds(5000)).find("one"), std::string::npos);
        emu.signal(c.signal);
        EXPECT_EQ(emu.wait_for_exit(milliseconds(5000)), c.status) << strsignal(c.signal);
        EXPECT_EQ(emu.drain_stderr(), c.message);
    }
}

TEST_F(Console, ASecondInterruptEndsARunThatCannotWriteItsOutput) {
    Running emu(root.path(), "f", false);
    ASSERT_FALSE(emu.read_until("0123456789", milliseconds(5000)).empty()) << "no output at all";
    // Nobody reads stdout now: the pipe fills up and vekos-emu waits to write.
    ASSERT_TRUE(emu.blocked_writing(milliseconds(5000))) << "vekos-emu never blocked writing";
    emu.signal(SIGINT);
    EXPECT_EQ(emu.wait_for_exit(milliseconds(200)), -1)
        << "the first interrupt waits to write out the guest's output";
    emu.signal(SIGINT);
    EXPECT_EQ(emu.wait_for_exit(milliseconds(5000)), 128 + SIGINT)
        << "the second interrupt should end vekos-emu by the signal itself";
}

// As `vekos-emu ... | head -c 10` does: like a native program, vekos-emu ends by SIGPIPE.
TEST_F(Console, AClosedOutputEndsTheRunAsItWouldANativeProgram) {
    Running emu(root.path(), "f", false);
    ASSERT_FALSE(emu.read_until("0123456789", milliseconds(5000)).empty());
    emu.close_output();
    EXPECT_EQ(emu.wait_for_exit(milliseconds(5000)), 128 + SIGPIPE);
}

// Input is taken from the host a chunk at a time, but a byte read never waits for more than
// the pipe holds.
TEST_F(Console, ByteReadsOfStandardInputTakeWhatIsThere) {
    Running emu(root.path(), "e", false);
    EXPECT_EQ(emu.read_until("> ", milliseconds(5000)), "> ");
    emu.send("ab");
    EXPECT_EQ(emu.read_until("> ab", milliseconds(5000)), "> ab") << "two bytes of a chunk";
    emu.send("c\n");
    EXPECT_EQ(emu.read_until("c\n", milliseconds(5000)), "> abc\n");
    emu.close_input();
    EXPECT_EQ(emu.wait_for_exit(milliseconds(5000)), 0) << "end of input ends the echo";
}

} // namespace
