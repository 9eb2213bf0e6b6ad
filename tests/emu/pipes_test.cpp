// Pipes and FIFOs on vekos-emu: pipes.uelf runs one pipe trap per argument and writes out
// each result, so each case is a line of steps and the text they give.
#include "emu_program_test.h"

#include <gtest/gtest.h>

namespace {

class Pipes : public EmuProgramTest {
  protected:
    Pipes() : EmuProgramTest({PIPES_IMAGE}) {}
};

constexpr int kDeadlock = 124;

TEST_F(Pipes, StepsGiveTheirResults) {
    struct Case {
        const char *steps, *out;
    } cases[] = {
        {"p w4:hello r3:10", "p=3,4 w=5 r=5'hello' "},
        {"p w4:hi c4 r3:10 r3:10", "p=3,4 w=2 c=0 r=2'hi' r=0'' "}, // end of data, then 0
        {"p c3 w4:x", "p=3,4 c=0 w=-1 "},                           // no reader left
        {"p r4:1 w3:x", "p=3,4 r=-1 w=-1 "},                        // each end one way only
        // Non-blocking: a full pipe takes what fits (64 KiB in all), then fails at once; so
        // does a read of an empty pipe.
        {"p n4 f4", "p=3,4 n=0 f=65536,-1 "},
        {"p n3 r3:3", "p=3,4 n=0 r=-1 "},
        {"p d4 c4 w5:ok r3:9 c5 r3:9", "p=3,4 d=5 c=0 w=2 r=2'ok' c=0 r=0'' "}, // a dup keeps it
        {"p s3 s4 n1 n9", "p=3,4 s=-1 s=-1 n=-1 n=-1 "}, // no seeking; console, free: refused
        // A FIFO: one pipe for every open of the node, until its last end closes.
        {"m/f o/f:0 o/f:1 w4:via r3:9 c4 r3:9 o/f:2 m/f u/f o/f:0",
         "m=0 o=3 o=4 w=3 r=3'via' c=0 r=0'' o=-1 m=-1 u=0 o=-1 "},
        {"m/f o/f:1 o/f:0 w3:x c3 c4 o/f:0 r3:1", // its last end closed: a new pipe
         "m=0 o=3 o=4 w=1 c=0 c=0 o=3 r=0'' "},
        // An unlinked node's open ends keep their pipe; a new node of that name gets its own
        // (with no reader yet, a write to it fails).
        {"m/g o/g:0 o/g:1 u/g c4 m/g o/g:1 w4:new r3:9", "m=0 o=3 o=4 u=0 c=0 m=0 o=4 w=-1 r=0'' "},
        {"b", "b=1048576 "},
    };
    for (const Case &c : cases) {
        Finished f = emu(std::string("pipes.uelf ") + c.steps);
        EXPECT_EQ(f.status, 0) << c.steps << "\n" << f.err;
        EXPECT_EQ(f.out, c.out) << c.steps;
    }
}

// A wait that only the waiting processes themselves could end ends the run with a report:
// one line for each process waiting.
TEST_F(Pipes, AWaitNothingCanEndIsReportedAsADeadlock) {
    const std::string report = "vekos-emu: deadlock: pipes.uelf ";
    struct Case {
        const char *steps, *out;
        std::string err;
    } cases[] = {
        {"p w4:x r3:5 r3:5 w4:never", "p=3,4 w=1 r=1'x' r=",
         report + "(pid 1) waits to read from descriptor 3, an empty pipe whose write end it "
                  "holds itself\n"},
        {"p f4", "p=3,4 f=", // waits once 65536 bytes are in
         report + "(pid 1) waits to write to descriptor 4, a full pipe whose read end it holds "
                  "itself\n"},
        // The child's table starts anew: the write end stays with the parent, which waits
        // for the child.
        {"m/f o/f:1 'R:pipes.uelf o/f:0 r3:1' w3:late", "m=0 o=3 R=o=3 r=",
         report + "(pid 1) waits for the program its run request runs\n" + report +
             "(pid 2) waits to read from descriptor 3, an empty pipe\n"},
    };
    for (const Case &c : cases) {
        Finished f = emu(std::string("pipes.uelf ") + c.steps);
        EXPECT_EQ(f.status, kDeadlock) << c.steps;
        EXPECT_EQ(f.out, c.out) << c.steps;
        EXPECT_EQ(f.err, c.err) << c.steps;
    }
}

TEST_F(Pipes, TraceShowsTheDescriptorsMade) {
    Finished f = emu("--trace=pipe,fd_set_nonblock pipes.uelf p n3");
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.err, "[trace] pipe([3, 4]) = 0\n[trace] fd_set_nonblock(3, 1) = 0\n");
}

} // namespace
