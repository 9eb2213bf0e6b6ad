// vekos-emu's console as users see it: output arrives while the guest runs, on a terminal and
// through a pipe, and the stop signals write out what the guest wrote before ending the run.
#include "emu_program_test.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/syscall.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

using std::chrono::milliseconds;

// chatter.uelf writes to the console on a schedule its argument chooses.
class Console : public EmuProgramTest {
  protected:
    Console() : EmuProgramTest({CHATTER_IMAGE}) {}
};

TEST_F(Console, OutputArrivesWhileTheGuestComputesOnATerminalAndThroughAPipe) {
    for (bool terminal : {true, false}) {
        Child emu(emu_command({"chatter.uelf", "s"}), "", terminal);
        std::string got = emu.read_until("one", milliseconds(5000));
        EXPECT_NE(got.find("one"), std::string::npos)
            << (terminal ? "terminal" : "pipe") << ": the line written before a long computation "
            << "should arrive within a fraction of a second; got '" << got << "'";
    }
}

TEST_F(Console, OutputIsWrittenBeforeTheGuestSleeps) {
    Child emu(emu_command({"chatter.uelf", "z"}));
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
        Child emu(emu_command({"chatter.uelf", "s"}));
        ASSERT_NE(emu.read_until("one", milliseconds(5000)).find("one"), std::string::npos);
        emu.signal(c.signal);
        EXPECT_EQ(emu.wait(milliseconds(5000)), c.status) << strsignal(c.signal);
        EXPECT_EQ(emu.finish().err, c.message);
    }
}

TEST_F(Console, ASecondInterruptEndsARunThatCannotWriteItsOutput) {
    Child emu(emu_command({"chatter.uelf", "f"}));
    ASSERT_FALSE(emu.read_until("0123456789", milliseconds(5000)).empty()) << "no output at all";
    // Nobody reads stdout now: the pipe fills up and vekos-emu waits to write.
    ASSERT_TRUE(emu.wait_in_system_call({SYS_write}, milliseconds(5000)))
        << "vekos-emu never blocked writing";
    emu.signal(SIGINT);
    EXPECT_EQ(emu.wait(milliseconds(200)), -1)
        << "the first interrupt waits to write out the guest's output";
    emu.signal(SIGINT);
    EXPECT_EQ(emu.wait(milliseconds(5000)), 128 + SIGINT)
        << "the second interrupt should end vekos-emu by the signal itself";
}

// As `vekos-emu ... | head -c 10` does: like a native program, vekos-emu ends by SIGPIPE.
TEST_F(Console, AClosedOutputEndsTheRunAsItWouldANativeProgram) {
    Child emu(emu_command({"chatter.uelf", "f"}));
    ASSERT_FALSE(emu.read_until("0123456789", milliseconds(5000)).empty());
    emu.close_output();
    EXPECT_EQ(emu.wait(milliseconds(5000)), 128 + SIGPIPE);
}

// Input is taken from the host a chunk at a time, but a byte read never waits for more than
// the pipe holds.
TEST_F(Console, ByteReadsOfStandardInputTakeWhatIsThere) {
    Child emu(emu_command({"chatter.uelf", "e"}));
    EXPECT_EQ(emu.read_until("> ", milliseconds(5000)), "> ");
    emu.send("ab");
    EXPECT_EQ(emu.read_until("> ab", milliseconds(5000)), "> ab") << "two bytes of a chunk";
    emu.send("c\n");
    EXPECT_EQ(emu.read_until("c\n", milliseconds(5000)), "> abc\n");
    emu.close_input();
    EXPECT_EQ(emu.wait(milliseconds(5000)), 0) << "end of input ends the echo";
}

// Timer signals from outside while the guest writes 8 MiB: every byte arrives once and in
// order, with and without the --timeout watchdog thread.
TEST_F(Console, OutputIsByteExactUnderASignalStorm) {
    std::string expected;
    for (int n = 0; n < 2048; n++)
        for (int i = 0; i < 4096; i++) expected += "0123456789abcdef"[(n + i) & 15];
    for (bool watchdog : {false, true}) {
        std::vector<std::string> args{"chatter.uelf", "b"};
        if (watchdog) args.insert(args.begin(), {"--timeout", "600"});
        Child emu(emu_command(args));
        // The console's handler is in place once output flows; then signal until it ends.
        ASSERT_FALSE(emu.read_until("0", milliseconds(5000)).empty()) << "no output at all";
        int signals = 0;
        while (emu.wait(milliseconds(0)) == -1) {
            emu.read_for(milliseconds(1));
            emu.signal(SIGALRM);
            signals++;
        }
        Finished rest = emu.finish();
        const std::string &got = rest.out;
        size_t differs =
            std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first -
            got.begin();
        EXPECT_EQ(rest.status, 0) << rest.err;
        EXPECT_TRUE(got == expected)
            << (watchdog ? "with" : "without") << " --timeout, after " << signals
            << " signals: expected " << expected.size() << " bytes, got " << got.size()
            << ", the first difference at byte " << differs;
    }
}

} // namespace
