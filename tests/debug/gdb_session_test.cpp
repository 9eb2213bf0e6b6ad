// vekos-emu as users debug with it: fault reports with backtraces (with and without -g, a
// wild call, a stack overflow, a fault inside the library), Debian's gdb driving --gdb in
// batch mode (watchpoints and calls too), and raw clients that flood the stub or sit idle.
#include "common/host_fd.h"
#include "gdb_batch.h"
#include "subprocess.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string image(const char *name) {
    return std::string(DEBUG_TEST_BIN) + "/" + name;
}

void expect_pieces(const std::string &text, const std::vector<std::string> &pieces,
                   const std::string &what) {
    for (const std::string &piece : pieces)
        EXPECT_NE(text.find(piece), std::string::npos)
            << what << ": expected \"" << piece << "\" in:\n"
            << text;
}

TEST(FaultReports, ABacktraceWithFunctionsAndLinesFollowsTheSummary) {
    struct Case {
        const char *image, *argument;
        std::vector<std::string> pieces;
        const char *absent;
    } cases[] = {
        {"faulty_o0_g.uelf",
         "",
         {"(sum_list+0x", "\n  #0 0x", " sum_list+0x", "(faulty.c:14)\n  #1 0x", " main+0x",
          "(faulty.c:21)"},
         "?"},
        {"faulty_o2_g.uelf",
         "",
         {"(sum_list+0x", "(faulty.c:14)\n  #1 0x", " main+0x", "(faulty.c:21)"},
         "?"},
        {"faulty_o0_plain.uelf", "", {" sum_list+0x", "\n  #1 0x", " main+0x"}, "faulty.c"},
        {"crashes.uelf",
         "wild",
         {"execution of unmapped address 0xdeadbeef at 0xdeadbeef\n",
          "  #0 0xdeadbeef (outside the image)\n  #1 0x", " main+0x", "(crashes.c:15)"},
         "+0xde"},
        {"crashes.uelf", "deep", {"\n  stack overflow", " deeper", "(crashes.c:"}, "?"},
        {"crashes.uelf",
         "strlen",
         {"(strlen+0x", "  #0 0x", " strlen+0x", "\n  #1 0x", " main+0x", "(crashes.c:17)"},
         "?"},
    };
    for (const Case &c : cases) {
        std::string what = std::string(c.image) + " " + c.argument;
        Finished f = run_command({VEKOS_EMU, image(c.image), c.argument});
        EXPECT_EQ(f.status, 139) << what << ": " << f.err;
        EXPECT_EQ(f.err.rfind("vekos-emu: ", 0), 0u) << what << ": " << f.err;
        expect_pieces(f.err, c.pieces, what);
        EXPECT_EQ(f.err.find(c.absent), std::string::npos)
            << what << ": expected no \"" << c.absent << "\" in:\n"
            << f.err;
    }
}

TEST(GdbSession, DebianGdbBreaksReadsStepsAndSeesFaultsAndTheEnd) {
    if (!gdb_installed()) GTEST_SKIP() << "gdb is not installed";
    struct Case {
        const char *image;
        std::vector<std::string> commands, gdb_pieces;
        int emu_status;
        std::vector<std::string> emu_pieces;
        EmuRun run = {};
    } cases[] = {
        {"faulty_o0_g.uelf",
         {"break sum_list", "continue", "info locals", "print length", "print head->value", "step",
          "p/x $fctrl", "set var count = 1", "continue"},
         {"Breakpoint 1, sum_list (list=0x", "count=2) at ", "faulty.c:12", "sum = 0", "$1 = 2",
          "$2 = 3", "13\t    for (int i = 0;", "$3 = 0x37f", "exited with code 03"},
         3,
         {}},
        {"faulty_o2_g.uelf",
         {"continue", "bt", "continue"},
         {"Program received signal SIGSEGV", "#0  ", "sum_list (", "#1  ", "main () at ",
          "faulty.c:21", "Program terminated with signal SIGSEGV"},
         139,
         {"read of unmapped address 0x00000000", "\n  #1 0x"}},
        {"faulty_o0_g.uelf",
         {"break main", "continue", "detach"},
         {"Breakpoint 1, main ()"},
         139,
         {"gdb detached; the program runs on", "read of unmapped address"}},
        {"faulty_o0_g.uelf", {"kill"}, {"killed]"}, 137, {"killed from the debugger"}},
        // kill ends the child too, which would otherwise wait for the pipe the parent held.
        {"beyond.uelf",
         {"break done", "continue", "kill"},
         {"killed]"},
         137,
         {"beyond.uelf (pid 1): killed from the debugger\n",
          "beyond.uelf (pid 2): killed from the debugger\n"},
         {{"--root", DEBUG_TEST_BIN}, {"child"}}},
        // gdb's calls return to a breakpoint it sets on the stack, where no code can run; the
        // program then runs on to its end, with what the call changed.
        {"called.uelf",
         {"break main", "continue", "print sum_list(list)", "continue"},
         {"$1 = 6\n", "exited with code 06"},
         6,
         {}},
        {"called_member.uelf",
         {"break main", "continue", "print counter.add(3)", "continue"},
         {"$1 = 8\n", "exited with code 012"},
         10,
         {}},
        // A trap flag gdb sets changes neither a step nor the continue after it.
        {"faulty_o0_g.uelf",
         {"break sum_list", "continue", "set var count = 1", "set $eflags = $eflags | 0x100",
          "stepi", "p/x $eflags & 0x100", "continue"},
         {"Breakpoint 1, sum_list", "$1 = 0x0", "exited with code 03"},
         3,
         {}},
    };
    for (const Case &c : cases) {
        std::string what = std::string(c.image) + " " + c.commands.back();
        Debugged run = debug_with_gdb(image(c.image), c.commands, c.run);
        expect_pieces(run.gdb, c.gdb_pieces, what + ": gdb");
        EXPECT_EQ(run.emu_status, c.emu_status) << what << ": " << run.emu_err;
        expect_pieces(run.emu_err, c.emu_pieces, what + ": vekos-emu");
    }
}

// watch, rwatch and awatch as hardware watchpoints: each stops right after the access (a store's
// stop shows the next line), gdb shows the values, and a deleted one stops nothing more.
TEST(GdbSession, DebianGdbWatchpointsStopAfterTheAccessUntilDeleted) {
    if (run_command({"/usr/bin/env", "gdb", "--version"}).status != 0)
        GTEST_SKIP() << "gdb is not installed";
    struct Case {
        std::vector<std::string> commands, gdb_pieces;
        const char *absent;
    } cases[] = {
        {{"watch counter", "continue", "continue", "continue"},
         {"Hardware watchpoint 1: counter", "Old value = 1\nNew value = 2\n",
          "\n8\t    seen = counter + 40;", "Old value = 2\nNew value = 5\n",
          "exited with code 052"},
         "Value = "},
        {{"rwatch counter", "continue", "continue"},
         {"Hardware read watchpoint 1: counter\n\nValue = 2\n", "exited with code 052"},
         "Old value"},
        {{"awatch seen", "continue", "continue", "continue"},
         {"Hardware access (read/write) watchpoint 1: seen\n\nOld value = 0\nNew value = 42\n",
          "Hardware access (read/write) watchpoint 1: seen\n\nValue = 42\n",
          "exited with code 052"},
         "Value = 2"},
        {{"watch counter", "continue", "delete 1", "continue"},
         {"Old value = 1\nNew value = 2\n", "exited with code 052"},
         "New value = 5"},
    };
    for (const Case &c : cases) {
        std::string what = c.commands.front() + " ... " + c.commands[2];
        Debugged run = debug_with_gdb(image("watched.uelf"), c.commands);
        expect_pieces(run.gdb, c.gdb_pieces, what + ": gdb");
        EXPECT_EQ(run.gdb.find(c.absent), std::string::npos)
            << what << ": expected no \"" << c.absent << "\" in:\n"
            << run.gdb;
        EXPECT_EQ(run.emu_status, 42) << what << ": " << run.emu_err;
    }
}

// Under --replay gdb runs the program backwards: to the store that corrupted a watched
// variable (stopped before it, gdb showing the value after it as old), back through a loop
// that writes to the console (written once all the same), out of a call, back from a fault,
// and no further than the start, or than what can't be undone (the store right after it is
// still found). A call of gdb's is no part of the history, and going back before it gives the
// recorded run again. Forwards again, the program runs to its recorded end; kill ends it.
TEST(GdbSession, DebianGdbRunsAReplayedProgramBackwards) {
    if (!gdb_installed()) GTEST_SKIP() << "gdb is not installed";
    struct Case {
        const char *image;
        std::vector<std::string> commands, gdb_pieces;
        int emu_status;
        EmuRun run = {};
    };
    std::vector<Case> cases = {
        {"rewound.uelf",
         {"break square", "continue", "watch data.guard", "reverse-continue", "print i", "continue",
          "reverse-continue", "print i", "delete", "continue"},
         {"Old value = 40\nNew value = 7\n", " in fill (count=4) at ",
          "rewound.c:12\n12\t        data.table[i] = i * 10;", "$1 = 4\n",
          "Old value = 7\nNew value = 40\n",
          "<= count; i++)\n\nHardware watchpoint 2: data.guard\n\nOld value = 40\nNew value = 7\n",
          "$2 = 4\n", "exited normally"},
         0},
        {"rewound.uelf",
         {"break fill", "continue", "reverse-next", "reverse-next", "print i", "reverse-next",
          "reverse-next", "print i", "delete", "continue"},
         {"main () at ", "rewound.c:23\n23\t    fill(4);\n21\t    for", "$1 = 2\n",
          "\n22\t        write(1, \"tick\\n\", 5);\n21\t    for", "$2 = 1\n", "exited normally"},
         0},
        {"rewound.uelf",
         {"break square", "continue", "reverse-finish", "delete", "continue"},
         {"Breakpoint 1, square (x=40)", " in main () at ",
          "rewound.c:24\n24\t    int squared = square(data.guard);", "exited normally"},
         0},
        {"rewound.uelf",
         {"reverse-stepi", "break fill", "continue", "reverse-continue", "delete", "continue"},
         {"No more reverse-execution history.\n_start ()", "Breakpoint 1, fill (count=4)",
          "No more reverse-execution history.\n_start ()", "exited normally"},
         0},
        {"faulty_o0_g.uelf",
         {"continue", "reverse-step", "print i", "print list", "continue", "continue"},
         {"SIGSEGV", "$1 = 1\n", "$2 = (struct node *) 0x0\n",
          "Program terminated with signal SIGSEGV"},
         139},
        {"beyond.uelf",
         {"break done", "continue", "kill"},
         {"killed]"},
         137,
         {{"--root", DEBUG_TEST_BIN}, {"child"}}},
        {"called_member.uelf",
         {"break main", "continue", "print counter.add(3)", "reverse-stepi", "x/i $pc", "stepi",
          "stepi", "reverse-stepi", "print counter.count", "delete", "continue"},
         {"$1 = 8\n", "=> 0x", " <main()+", "$2 = 5\n", "exited with code 07"},
         7},
    };
    for (const char *undone : {"map", "run", "child"})
        cases.push_back({"beyond.uelf",
                         {"break done", "continue", "watch guard", "reverse-continue",
                          "print guard", "reverse-continue", "delete", "continue"},
                         {"Old value = 7\nNew value = 40\n", "guard = 7;\n$1 = 40\n",
                          "No more reverse-execution history.", "exited normally"},
                         0,
                         {{"--root", DEBUG_TEST_BIN}, {undone}}});
    for (const Case &c : cases) {
        std::string what = std::string(c.image) + " " + c.commands[2] + " " +
                           (c.run.args.empty() ? "" : c.run.args[0]);
        Debugged run = debug_replay_with_gdb(image(c.image), c.commands, c.run);
        expect_pieces(run.gdb, c.gdb_pieces, what + ": gdb");
        EXPECT_EQ(run.emu_status, c.emu_status) << what << ": " << run.emu_err;
        if (std::string(c.image) == "rewound.uelf") {
            EXPECT_EQ(run.emu_out, "tick\ntick\ntick\n")
                << what << ": expected the output once, whatever ran again";
        }
    }
    // Without a recording, there is nothing to go back in.
    Debugged run = debug_with_gdb(image("rewound.uelf"), {"reverse-stepi", "continue"});
    expect_pieces(run.gdb, {"Target remote does not support this command.", "exited normally"},
                  "reverse-stepi without a recording");
}

// The most memory vekos-emu (pid) has held, in KiB; -1 when /proc does not say.
long peak_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// A raw client connected to `vekos-emu --gdb 0` where it says it waits; none (reported) when
// it says otherwise.
vekos::HostFd connect_raw_client(Child &emu) {
    using namespace std::chrono_literals;
    const std::string waiting = "vekos-emu: waiting for gdb on 127.0.0.1:";
    std::string line = emu.read_err_until("\n", 30s);
    if (line.rfind(waiting, 0) != 0) {
        ADD_FAILURE() << "expected vekos-emu to wait for gdb; it wrote: " << line;
        return {};
    }
    vekos::HostFd gdb(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(std::stoi(line.substr(waiting.size()))));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(gdb.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ADD_FAILURE() << "expected to connect to " << line;
        return {};
    }
    return gdb;
}

TEST(GdbSession, AClientThatFloodsWhileTheProgramRunsIsDroppedAndTheProgramRunsOn) {
    using namespace std::chrono_literals;
    TempRoot root;
    Child emu({VEKOS_EMU, "--root", root.path(), "--gdb", "0", image("waits_for_go.uelf")});
    vekos::HostFd gdb = connect_raw_client(emu);
    ASSERT_TRUE(gdb);
    timeval wait{10, 0}; // a stub that neither reads nor drops must not stall the test
    setsockopt(gdb.get(), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    long before = peak_kib(emu.pid());

    // "continue", then 32 MiB of noise as fast as the stub takes it.
    const std::string noise(1 << 20, 'j');
    send(gdb.get(), "$c#63", 5, MSG_NOSIGNAL);
    for (int mib = 0; mib < 32; ++mib)
        if (send(gdb.get(), noise.data(), noise.size(), MSG_NOSIGNAL) < 0) break;
    std::string note = emu.read_err_until("runs on\n", 10s);
    long after = peak_kib(emu.pid());
    gdb.reset();
    root.write_file("/go", "");
    Finished ended = emu.finish();

    EXPECT_NE(note.find("vekos-emu: gdb: dropped the connection: more than 16384 bytes arrived "
                        "while the program ran; the program runs on\n"),
              std::string::npos)
        << "expected the note that the flooding client was dropped; vekos-emu wrote:\n"
        << note;
    EXPECT_EQ(ended.status, 7) << "expected the program to end by itself; " << ended.err;
    ASSERT_GT(before, 0) << "expected /proc/PID/status to show VmHWM";
    EXPECT_LT(after - before, 8192) << "expected the flood to cost vekos-emu under 8 MiB; its "
                                       "peak went from "
                                    << before << " KiB to " << after << " KiB";
}

// --timeout holds while a connected gdb sits idle with the program stopped: the stub drops it
// and the run ends as its limits end any run.
TEST(GdbSession, AnIdleClientEndsWithTheRunsTimeout) {
    using namespace std::chrono_literals;
    Child emu({VEKOS_EMU, "--timeout", "0.5", "--gdb", "0", image("called.uelf")});
    vekos::HostFd gdb = connect_raw_client(emu);
    ASSERT_TRUE(gdb);
    send(gdb.get(), "$?#3f", 5, MSG_NOSIGNAL);
    std::string err = emu.read_err_until("seconds\n", 5s);
    EXPECT_EQ(emu.wait(2s), 124) << "expected the run to end by its timeout; it wrote:\n" << err;
    expect_pieces(err,
                  {"vekos-emu: gdb: dropped the connection: the run's time ran out\n",
                   "called.uelf: stopped after 0.5 seconds\n"},
                  "vekos-emu");
}

} // namespace
