// Record and replay in the kernel: every trap of the table is recorded and replayed, and runs
// of several processes replay in the recorded order, whatever the host's scheduling did.
#include "emu_program_test.h"

#include "kernel/trap_table.h"
#include "replay/recording.h"

#include <gtest/gtest.h>

#include <set>

namespace {

class Replays : public EmuProgramTest {
  protected:
    Replays() : EmuProgramTest({PROCS_IMAGE, EVERY_TRAP_IMAGE}) {}

    // Records `args` (with `input`), replays it, and checks that the replay gave what the
    // recorded run gave; the recorded run.
    Finished record_and_replay(const std::string &args, const std::string &input = "") {
        const std::string recording = root.host("run.rec");
        Finished recorded = emu("--record " + recording + " " + args, input);
        Finished replayed = emu_words({"--replay", recording});
        EXPECT_EQ(replayed.status, recorded.status) << args << ": " << replayed.err;
        EXPECT_EQ(replayed.out, recorded.out) << args;
        EXPECT_EQ(replayed.err, recorded.err) << args;
        Finished checked = emu_words({"--replay", recording, "--replay-check"});
        EXPECT_EQ(checked.status, recorded.status) << args << ": " << checked.err;
        EXPECT_NE(checked.err.find("the replay matches the recording"), std::string::npos)
            << args << ": " << checked.err;
        return recorded;
    }
};

// A trap added to the table without a case here fails: what a replay does with it (answer it,
// or do it again) must be seen to work.
TEST_F(Replays, EveryTrapOfTheTableReplays) {
    Finished recorded = record_and_replay("every_trap.uelf", "k");
    EXPECT_EQ(recorded.status, 0) << recorded.err;
    EXPECT_EQ(recorded.out,
              "getcwd=1 mkdir=0 chdir=0 writefile=6 open=3 read=6 lseek=1 dup=4 dup2=9 mmap=1 "
              "munmap=0 close=0 vekfs_stream_begin=1 vekfs_stream_write=3 vekfs_stream_end=0 "
              "mkfifo=0 unlink=0 rmdir=0 getkey=107 usleep=0 backtrace=0 rdtsc=1 child run=0 pipe=0 "
              "fd_set_nonblock=0 fd_set_inherit=0 fd_set_stdio=0 spawn=3 spawn_ex=4 child "
              "waitpid=1 read=6 \n");
    auto recording = vekos::replay::read_recording(root.host("run.rec"));
    ASSERT_TRUE(recording) << recording.error();
    std::set<uint32_t> made;
    for (const vekos::replay::Event &event : recording->events) made.insert(event.number);
    for (const vekos::TrapRow &row : vekos::trap_rows())
        EXPECT_TRUE(made.count(row.number)) << "every_trap.uelf makes no " << row.name << " trap";
}

// Sleeps among others, waits that found no child ended, pipes, faults, spawns that failed
// after the kernel read (or missed) their program file, a deadlock (its report and status).
TEST_F(Replays, RunsOfSeveralProcessesReplayInTheRecordedOrder) {
    root.write_file("/notes.txt", "not a program");
    const char *cases[] = {
        "s:nothere.uelf s:notes.txt s:procs.uelf,x:3 w:2",
        "s:procs.uelf,l:5,W:c z:2000 w:2",
        "s:procs.uelf,l:30 h:2 z:100 h:2 w:-1",
        "p t:-1,4,-1 s:procs.uelf,W:hello c4 r3 w:2",
        "p t:3,-1,-1 s:procs.uelf,r0 z:1000 c4 w:2",
        "a:5:procs.uelf,l:3 n:3:procs.uelf,x:0",
        "s:procs.uelf,k w:2",
        "p i:1 s:procs.uelf,r3 w:2",
    };
    for (const char *steps : cases) record_and_replay(std::string("procs.uelf ") + steps);
}

} // namespace
