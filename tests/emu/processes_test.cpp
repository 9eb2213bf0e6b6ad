// Processes on vekos-emu: procs.uelf runs one process trap per argument and writes out each
// result; its children are procs.uelf too, with steps of their own. A parent goes on after
// spawn until it waits, so children's output lands where the parent waited.
#include "emu_program_test.h"
#include "machine/unicorn/tweaks.h"

#include <gtest/gtest.h>

namespace {

class Processes : public EmuProgramTest {
  protected:
    Processes() : EmuProgramTest({PROCS_IMAGE}) {}
};

constexpr int kDeadlock = 124, kLimit = 124;

TEST_F(Processes, StepsGiveTheirResults) {
    root.write_file("/notes.txt", "not a program");
    root.write_file("/two.shell", "procs.uelf W:a\nprocs.uelf W:b\n");
    auto repeat = [](const std::string &text, int times) {
        std::string all;
        for (int i = 0; i < times; i++) all += text;
        return all;
    };
    struct Case {
        std::string steps, out;
    } cases[] = {
        // Spawn and wait: the child's status; not a child, or waited for already: -1.
        {"s:procs.uelf,x:7 w:2", "s=2 w=x=2/7 "},
        {"s:procs.uelf w:2 w:2 w:-1 w:1", "s=2 w=2/0 w=-1 w=-1 w=-1 "},
        {"s:procs.uelf,l:20 h:2 w:-1", "s=2 h=0 w=l=0 2/0 "},
        {"s:nothere.uelf s:notes.txt s:procs.uelf,x:3 w:2", "s=-1 s=-1 s=2 w=x=2/3 "},
        // A script runs its lines as a process of its own.
        {"s:two.shell w:2", "s=2 w=W=a0 W=b0 2/0 "},
        // The child's status when it faults.
        {"s:procs.uelf,k w:2", "s=2 w=k=2/139 "},
        // Its standard output into a pipe; only 0, 1 and 2 go unless inherited.
        {"p t:-1,4,-1 s:procs.uelf,W:hello c4 r3 w:2", "p=3,4 t=0 s=2 c=0 r=9 w=2/0 "},
        {"p e:-1,4,-1,0:procs.uelf,W:ex c4 r3 w:2", "p=3,4 e=2 c=0 r=6 w=2/0 "},
        {"p s:procs.uelf,c4 w:2", "p=3,4 s=2 w=c=-1 2/0 "},
        {"p i:1 s:procs.uelf,c4,r3 c3 c4 w:2", "p=3,4 i=0 s=2 c=0 c=0 w=c=0 r=0 2/0 "},
        {"t:9,-1,-1 e:-1,9,-1,0:procs.uelf", "t=-1 e=-1 "},
        // A sleeping parent lets its child run.
        {"s:procs.uelf,W:a z:100000 W:b w:2", "s=2 z=W=a0 0 W=b0 w=2/0 "},
        // Many processes: one after another, and forty at once.
        {"n:1000:procs.uelf", "n=1000 "},
        {"a:40:procs.uelf,z:20000", "a=" + repeat("z=", 40) + repeat("0 ", 40) + "40 "},
    };
    for (const Case &c : cases) {
        Finished f = emu("procs.uelf " + c.steps);
        const bool faults = c.steps.find(",k") != std::string::npos;
        EXPECT_EQ(f.status, 0) << c.steps << "\n" << f.err;
        EXPECT_EQ(f.out, c.out) << c.steps;
        if (faults)
            EXPECT_EQ(f.err.rfind("vekos-emu: procs.uelf (pid 2): read of unmapped address", 0), 0u)
                << f.err;
        else
            EXPECT_EQ(f.err, "") << c.steps;
    }
}

TEST_F(Processes, ASpinningProcessGivesUpItsTurn) {
    if (!vekos::unicorn::corrections_linked())
        GTEST_SKIP() << "without the Unicorn corrections a process gives up its turn only to wait";
    Finished f = emu("procs.uelf s:procs.uelf,W:child l:60 w:2");
    EXPECT_EQ(f.out, "s=2 l=W=child0 0 w=2/0 ") << "the child runs while the parent spins";
}

TEST_F(Processes, TheRunEndsWhenEveryProcessHas) {
    // The first program ends first; its child still writes and the run waits for it.
    Finished f = emu("procs.uelf s:procs.uelf,z:50000,W:late x:3");
    EXPECT_EQ(f.status, 3) << f.err;
    EXPECT_EQ(f.out, "s=2 x=z=0 W=late0 ");

    // It ends holding the write end of its child's input: the end closes, the child reads on
    // to the end of the data.
    Finished piped = emu("procs.uelf p t:3,-1,-1 s:procs.uelf,r0 c3 x:5");
    EXPECT_EQ(piped.status, 5) << piped.err;
    EXPECT_EQ(piped.out, "p=3,4 t=0 s=2 c=0 x=r=0 ");
}

TEST_F(Processes, LimitsHoldAcrossProcesses) {
    // Each copy spawns until the table is full: it stays full until the run is stopped.
    Finished bomb = emu("--timeout 1 procs.uelf B");
    EXPECT_EQ(bomb.status, kLimit) << bomb.err;
    EXPECT_NE(bomb.err.find("stopped after 1 seconds"), std::string::npos) << bomb.err;
    EXPECT_EQ(bomb.out.rfind("B=", 0), 0u) << bomb.out;

    Finished spent = emu("--max-instructions 5000000 procs.uelf s:procs.uelf,l:100 w:2");
    EXPECT_EQ(spent.status, kLimit) << spent.err;
    EXPECT_NE(spent.err.find("stopped after 5000000 instructions"), std::string::npos) << spent.err;

    Finished timed = emu("--timeout 0.3 procs.uelf s:procs.uelf,l:100000 w:2");
    EXPECT_EQ(timed.status, kLimit) << timed.err;
}

TEST_F(Processes, WaitsNothingCanEndAreADeadlock) {
    Finished f = emu("procs.uelf p i:1 s:procs.uelf,r3 r3");
    EXPECT_EQ(f.status, kDeadlock);
    EXPECT_EQ(f.err, "vekos-emu: deadlock: procs.uelf (pid 1) waits to read from descriptor 3, an "
                     "empty pipe whose write end it holds itself\n"
                     "vekos-emu: deadlock: procs.uelf (pid 2) waits to read from descriptor 3, an "
                     "empty pipe whose write end it holds itself\n");
}

TEST_F(Processes, TraceLinesNameTheProcessOnceThereAreSeveral) {
    Finished f = emu("--trace=spawn,waitpid,_exit procs.uelf s:procs.uelf w:2");
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_NE(f.err.find("[trace] pid 1: spawn(\"procs.uelf\", "), std::string::npos) << f.err;
    EXPECT_NE(f.err.find("[trace] pid 2: _exit(0)"), std::string::npos) << f.err;
    EXPECT_NE(f.err.find("[trace] pid 1: waitpid(2, "), std::string::npos) << f.err;

    // The child reads an empty pipe while its parent sleeps with the write end open.
    Finished waits = emu("--trace=read procs.uelf p t:3,-1,-1 s:procs.uelf,r0 z:1000 c4 w:2");
    EXPECT_EQ(waits.status, 0) << waits.err;
    const size_t wait_line = waits.err.find("[trace] pid 2: read(0, ");
    ASSERT_NE(wait_line, std::string::npos) << waits.err;
    EXPECT_EQ(waits.err.find(" waits\n", wait_line) + 6, waits.err.find('\n', wait_line))
        << "the first read waits: " << waits.err;
    EXPECT_NE(waits.err.find("[trace] pid 2: read(0, \"\", 4096) = 0"), std::string::npos)
        << "and then ends at the end of the data: " << waits.err;
}

} // namespace
