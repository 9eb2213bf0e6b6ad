// vekos-emu as users run it: exit statuses, fault reports, run requests, scripts, nesting,
// the instruction limit and command-line errors.
#include "emu_program_test.h"
#include "machine/unicorn/tweaks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class VekosEmu : public EmuProgramTest {
  protected:
    VekosEmu() : EmuProgramTest({PROBE_IMAGE}) {}
    Finished emu(const std::vector<std::string> &args) { return emu_words(args); }
    // For a run that might hang: killed (status 137) after ten seconds.
    Finished emu_bounded(const std::vector<std::string> &args) {
        std::vector<std::string> argv{"/usr/bin/env", "timeout", "-s", "KILL", "10"};
        for (std::string &word : emu_command(args)) argv.push_back(std::move(word));
        return run_command(argv);
    }
};

// Lines of vekos-emu's own, not counting the backtraces under fault reports.
size_t reports(const std::string &text) {
    size_t count = text.rfind("vekos-emu: ", 0) == 0 ? 1 : 0;
    for (size_t at = 0; (at = text.find("\nvekos-emu: ", at)) != std::string::npos; at++) count++;
    return count;
}

TEST_F(VekosEmu, ExitStatusIsTheLowEightBitsOfTheProgramsStatus) {
    struct Case {
        const char *status;
        int expected;
    } cases[] = {{"0", 0}, {"3", 3}, {"300", 44}, {"256", 0}, {"-1", 255}};
    for (const Case &c : cases) {
        Finished f = emu({"probe.uelf", "exit", c.status});
        EXPECT_EQ(f.status, c.expected) << "_exit(" << c.status << ")";
        EXPECT_EQ(f.err, "") << "_exit(" << c.status << ")";
    }
}

TEST_F(VekosEmu, AFaultEndsTheProgramWithASummaryABacktraceAndStatus139) {
    struct Case {
        const char *command, *message, *where;
    } cases[] = {
        {"read-null", "read of unmapped address 0x00000000 at 0x", "(main+0x"},
        {"write-code", "write to read-only address 0x", "(main+0x"},
        {"write-rodata", "write to read-only address 0x", "(main+0x"},
        {"jump-null", "execution of unmapped address 0x00000000 at 0x00000000", ""},
        {"div0", "division error at 0x", "(divide_by_zero+0x8)"},
        {"ud2", "invalid instruction at 0x", "(invalid_instruction)"},
    };
    for (const Case &c : cases) {
        Finished f = emu({"probe.uelf", c.command});
        EXPECT_EQ(f.status, 139) << c.command;
        EXPECT_EQ(f.err.rfind(std::string("vekos-emu: probe.uelf: ") + c.message, 0), 0u)
            << c.command << ": " << f.err;
        EXPECT_NE(f.err.find(c.where), std::string::npos) << c.command << ": " << f.err;
        std::string summary = f.err.substr(0, f.err.find('\n') + 1);
        EXPECT_EQ(f.err.find("\n  #0 0x", summary.size() - 1), summary.size() - 1)
            << c.command << ": expected the backtrace after the summary, got:\n"
            << f.err;
        EXPECT_NE(f.err.find("  #1 0x"), std::string::npos)
            << c.command << ": expected main's caller in:\n"
            << f.err;
    }
}

TEST_F(VekosEmu, AFaultInAChildEndsOnlyTheChild) {
    Finished f = emu({"probe.uelf", "run", "probe.uelf", "read-null"});
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(f.out, "run 0\n") << "the request returns 0: the child was run";
    EXPECT_EQ(f.err.rfind("vekos-emu: probe.uelf (pid 2): read of unmapped address 0x00000000", 0),
              0u)
        << f.err;
}

TEST_F(VekosEmu, RunRequestsPassWordsAsArgvAndRefuseWhatCantRun) {
    root.write_file("notes.txt", "text");
    root.write_file("bin/empty.uelf", "");
    struct Case {
        std::vector<std::string> args;
        const char *out;
    } cases[] = {
        {{"run", "probe.uelf", "echo", "a", "b"}, "a\nb\nrun 0\n"},
        {{"run", "/bin/probe.uelf", "echo", "abs"}, "abs\nrun 0\n"},
        {{"run", "missing.uelf"}, "run -1\n"},
        {{"run", "notes.txt"}, "run -1\n"},
        {{"run", "empty.uelf"}, "run -1\n"},
        {{"run"}, "run -1\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"probe.uelf"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Finished f = emu(args);
        EXPECT_EQ(f.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(f.status, 0) << testing::PrintToString(c.args);
    }
}

TEST_F(VekosEmu, ScriptsRunEachLineAndGoOnAfterAFailure) {
    root.write_file("bin/inner.shell", "probe.uelf echo inner\n");
    root.write_file("s.shell", "# a comment\n"
                               "probe.uelf echo one\n"
                               "\n"
                               "  probe.uelf   read-null  \n"
                               "missing.uelf\n"
                               "inner.shell\r\n"
                               "probe.uelf echo two");
    Finished f = emu({"probe.uelf", "run", "s.shell"});
    EXPECT_EQ(f.out, "one\ninner\ntwo\nrun 0\n");
    EXPECT_EQ(reports(f.err), 2u) << "one report for the fault, one for the missing program:\n"
                                  << f.err;
    Finished top = emu({"s.shell"});
    EXPECT_EQ(top.out, "one\ninner\ntwo\n") << "a script can be the first program too";
    EXPECT_EQ(top.status, 0);
}

// A name from the command line, a script or a run request reaches the terminal escaped: it
// can't split a report line or send escape sequences.
TEST_F(VekosEmu, ReportsEscapeControlBytesInNames) {
    Finished direct = emu({"two\nlines.uelf"});
    EXPECT_EQ(direct.err, "vekos-emu: two\\nlines.uelf: no such program\n");
    root.write_file("s.shell", "clear\x1b[2J.uelf\nbell\a\\.uelf\n");
    Finished script = emu({"s.shell"});
    EXPECT_EQ(script.err, "vekos-emu: clear\\x1b[2J.uelf: no such program\n"
                          "vekos-emu: bell\\x07\\\\.uelf: no such program\n");
}

TEST_F(VekosEmu, RunRequestsNestAtMostSixteenDeep) {
    Finished f = emu({"probe.uelf", "nest"});
    std::string expected = "nest -1\n";
    for (int i = 0; i < 16; i++) expected += "nest 0\n";
    EXPECT_EQ(f.out, expected);
    EXPECT_EQ(f.status, 0);
    root.write_file("loop.shell", "loop.shell\n");
    Finished script = emu({"loop.shell"});
    EXPECT_EQ(script.status, 0) << "a script that runs itself ends at the nesting limit";
}

TEST_F(VekosEmu, MaxInstructionsStopsARunawayProgram) {
    Finished f = emu({"--max-instructions", "5000", "probe.uelf", "spin"});
    EXPECT_EQ(f.status, 124);
    EXPECT_EQ(f.err, "vekos-emu: probe.uelf: stopped after 5000 instructions\n");
    Finished fine = emu({"--max-instructions=1000000", "probe.uelf", "echo", "ok"});
    EXPECT_EQ(fine.status, 0) << fine.err;
    EXPECT_EQ(fine.out, "ok\n");
}

// Each case runs 3^16 programs (or scripts) unless the budget covers the whole run; a child
// that spends the budget stops its parent too, before it prints anything. --timeout only
// keeps a failure from hanging.
TEST_F(VekosEmu, TheInstructionBudgetCoversTheWholeRun) {
    root.write_file("tree.shell", "tree.shell\ntree.shell\ntree.shell\n");
    struct Case {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"probe.uelf", "tree"}, "vekos-emu: probe.uelf: stopped after 2000000 instructions\n"},
        {{"tree.shell"}, "vekos-emu: tree.shell: stopped after 2000000 instructions\n"},
        {{"probe.uelf", "run", "probe.uelf", "spin"},
         "vekos-emu: probe.uelf: stopped after 2000000 instructions\n"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"--timeout", "20", "--max-instructions", "2000000"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Finished f = emu(args);
        EXPECT_EQ(f.status, 124) << testing::PrintToString(c.args);
        // Refusals at the nesting limit may come first; the stop is reported once, last.
        size_t at = f.err.find(c.err);
        EXPECT_TRUE(at != std::string::npos && at + std::strlen(c.err) == f.err.size())
            << testing::PrintToString(c.args) << ": expected stderr to end with " << c.err
            << "got: " << f.err;
        EXPECT_EQ(f.out, "") << testing::PrintToString(c.args);
    }
}

// The deadline wakes a sleeping program (each sleep asks for two seconds) and stops a
// computing one, a child's included.
TEST_F(VekosEmu, TimeoutStopsTheWholeRunSleepsIncluded) {
    const std::vector<std::string> cases[] = {
        {"probe.uelf", "sleep"},
        {"probe.uelf", "spin"},
        {"probe.uelf", "run", "probe.uelf", "sleep"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"--timeout", "0.3"};
        args.insert(args.end(), c.begin(), c.end());
        auto start = std::chrono::steady_clock::now();
        Finished f = emu(args);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(f.status, 124) << testing::PrintToString(c);
        EXPECT_EQ(f.err, "vekos-emu: probe.uelf: stopped after 0.3 seconds\n")
            << testing::PrintToString(c);
        EXPECT_EQ(f.out, "") << testing::PrintToString(c);
        EXPECT_LT(seconds, 1.8) << testing::PrintToString(c) << ": expected to end soon after "
                                << "the deadline, not after the two-second sleep";
    }
}

// probe.uelf stack puts 2 MiB on the stack: it faults cleanly below the default 1 MiB and
// runs with more; sizes round up to whole pages, and a fault report knows the stack's size.
TEST_F(VekosEmu, StackSetsTheStackOfEachProgram) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *err_has;
    } cases[] = {
        {{"probe.uelf", "stack"}, 139, "vekos-emu: probe.uelf: write to unmapped address 0xbf"},
        {{"--stack", "4M", "probe.uelf", "stack"}, 3, ""},
        {{"--stack=2100K", "probe.uelf", "stack"}, 3, ""},
        {{"--stack", "2097153", "probe.uelf", "stack"}, 3, ""},
        {{"--stack", "4M", "probe.uelf", "run", "probe.uelf", "stack"}, 0, ""},
        {{"--stack", "2M", "probe.uelf", "stack"}, 139, "stack pointer ran below the stack"},
    };
    for (const Case &c : cases) {
        Finished f = emu(c.args);
        EXPECT_EQ(f.status, c.status) << testing::PrintToString(c.args) << ": " << f.err;
        EXPECT_NE(f.err.find(c.err_has), std::string::npos)
            << testing::PrintToString(c.args) << ": "
            << "expected stderr to hold \"" << c.err_has << "\", got: " << f.err;
    }
}

TEST_F(VekosEmu, TraceShowsEachTrap) {
    Finished f = emu({"--trace", "probe.uelf", "echo", "hi"});
    EXPECT_EQ(f.out, "hi\n");
    EXPECT_EQ(f.err, "[trace] write(1, \"hi\", 2) = 2\n[trace] write(1, \"\\n\", 1) = 1\n"
                     "[trace] _exit(0)\n");
}

TEST_F(VekosEmu, TraceFiltersByNameTimesAndGoesToAFile) {
    Finished only = emu({"--trace=write", "probe.uelf", "echo", "hi"});
    EXPECT_EQ(only.err, "[trace] write(1, \"hi\", 2) = 2\n[trace] write(1, \"\\n\", 1) = 1\n");
    std::string file = root.host("trace.txt");
    Finished to_file = emu({"--trace-file", file, "--trace-time", "probe.uelf", "cat", "/none"});
    EXPECT_EQ(to_file.out, "cat -1\n");
    EXPECT_EQ(to_file.err, "") << "the trace goes to the file only";
    std::string trace = root.read_file("trace.txt").value_or("");
    EXPECT_TRUE(
        std::regex_search(trace, std::regex("^\\[trace\\] [0-9]+\\.[0-9]{6} open\\(\"/none\", "
                                            "O_RDONLY, 0x0\\) = -1 \\(no such file\\)\\n")))
        << "expected a timed, decoded open first, got:\n"
        << trace;
    // A path or link that would leave the root fails with that reason.
    const std::string outside = root.path() + ".outside";
    fs::create_directories(outside);
    fs::create_symlink(outside, root.host("out"));
    fs::create_symlink("../..", root.host("up"));
    struct Case {
        std::vector<std::string> args;
        const char *err;
    } reasons[] = {
        {{"cat", "out/x"}, "[trace] open(\"out/x\", O_RDONLY, 0x0) = -1 (outside the root)\n"},
        {{"cat", "up/x"}, "[trace] open(\"up/x\", O_RDONLY, 0x0) = -1 (outside the root)\n"},
        {{"run", "out/x.uelf"},
         "vekos-emu: out/x.uelf: outside the root\n[trace] run(\"out/x.uelf\") = -1\n"},
    };
    for (const Case &c : reasons) {
        std::vector<std::string> args{"--trace=open,run", "probe.uelf"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(emu(args).err, c.err) << testing::PrintToString(c.args);
    }
    fs::remove_all(outside);
    Finished bad = emu({"--trace=open,bogus", "probe.uelf"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.err.rfind("vekos-emu: --trace: 'bogus' is not the name of a trap\n", 0), 0u)
        << bad.err;
}

TEST_F(VekosEmu, FlatImagesAndOtherExtensions) {
    // mov eax, 2; mov ebx, 42; int 0x80: _exit(42) from the first byte.
    root.write_file("bin/exit42.bin", "\xb8\x02\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80"s);
    EXPECT_EQ(emu({"exit42.bin"}).status, 42);
    root.write_file("exit42.flat", "\xb8\x02\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80"s);
    EXPECT_EQ(emu({"exit42.flat"}).status, 42) << "found in the current folder first";
    root.write_file("bin/halt.bin", "\xf4"s);
    Finished halt = emu({"halt.bin"});
    EXPECT_EQ(halt.status, 139) << "hlt is privileged";
    EXPECT_EQ(halt.err, "vekos-emu: halt.bin: general protection fault at 0x00400000\n");
    fs::copy_file(PROBE_IMAGE, root.host("bin/probe.vek"));
    EXPECT_EQ(emu({"probe.vek", "exit", "5"}).status, 5);
    fs::copy_file(PROBE_IMAGE, root.host("bin/probe-image"));
    fs::create_symlink("probe-image", root.host("bin/tool.uelf"));
    Finished linked = emu({"tool.uelf", "exit", "6"});
    EXPECT_EQ(linked.status, 6) << "the name the program was run by chooses the loader, not the "
                                   "file it links to; stderr: "
                                << linked.err;
    Finished unknown = emu({"notes.txt"});
    EXPECT_EQ(unknown.status, 127);
    EXPECT_EQ(unknown.err.rfind("vekos-emu: notes.txt: ", 0), 0u) << unknown.err;
    Finished missing = emu({"missing.uelf"});
    EXPECT_EQ(missing.status, 127);
    EXPECT_EQ(missing.err, "vekos-emu: missing.uelf: no such program\n");
}

// Programs run at privilege level 3: what needs level 0 is a general protection fault; far
// transfers through a register (no such instruction) and syscall are invalid. An instruction
// after others in its block faults at its own address. None may stop or crash the host.
TEST_F(VekosEmu, PrivilegedAndNonexistentInstructionsFaultAtTheirAddress) {
    if (!vekos::unicorn::corrections_linked())
        GTEST_SKIP() << "without the corrections to Unicorn's internals these instructions run "
                        "unchecked (VEKOS_UNICORN_TWEAKS is off)";
    const std::string gp = "general protection fault at 0x", invalid = "invalid instruction at 0x";
    struct Case {
        const char *name;
        std::string code, fault;
        uint32_t at;
    } cases[] = {
        {"cli", "\xfa"s, gp, 0},
        {"hlt", "\xf4"s, gp, 0},
        {"in al, dx", "\xec"s, gp, 0},
        {"out 0x60, al after nop", "\x90\xe6\x60"s, gp, 1},
        {"rep outsb", "\xf3\x6e"s, gp, 0},
        {"mov cr0, eax", "\x0f\x22\xc0"s, gp, 0},
        {"mov dr7, edx", "\x0f\x23\xfa"s, gp, 0},
        {"lidt", "\x0f\x01\x1d\x00\x00\x40\x00"s, gp, 0},
        {"wrmsr", "\x0f\x30"s, gp, 0},
        {"sysenter after mov", "\xb8\x01\x00\x00\x00\x0f\x34"s, gp, 5},
        {"mov ds, 0x10 (level 0 data)", "\x66\xb8\x10\x00\x8e\xd8"s, gp, 4},
        {"syscall", "\x0f\x05"s, invalid, 0},
        {"ff ef", "\xff\xef"s, invalid, 0},
        {"ff d8 after nops", "\x90\x90\xff\xd8"s, invalid, 2},
        {"66 ff d8", "\x66\xff\xd8"s, invalid, 0},
    };
    for (const Case &c : cases) {
        root.write_file("bin/op.bin", c.code);
        Finished f = emu({"op.bin"});
        char expected[128];
        std::snprintf(expected, sizeof expected, "vekos-emu: op.bin: %s%08x\n", c.fault.c_str(),
                      0x400000 + c.at);
        EXPECT_EQ(f.status, 139) << c.name << ": " << f.err;
        EXPECT_EQ(f.err, expected) << c.name;
    }
    // mov ax, ds; mov es, ax; mov eax, 2; mov ebx, 7; int 0x80: the user segments reload.
    root.write_file("bin/segments.bin",
                    "\x66\x8c\xd8\x8e\xc0\xb8\x02\x00\x00\x00\xbb\x07\x00\x00\x00\xcd\x80"s);
    Finished segments = emu({"segments.bin"});
    EXPECT_EQ(segments.status, 7) << segments.err;
}

// As ctest runs a cross-built test: the program by its host path, from outside the root.
TEST_F(VekosEmu, AProgramByHostPathAndAStartingFolder) {
    fs::create_directories(root.host("work/sub"));
    const std::string fifo = root.host("pipe.uelf");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string fifo_refused = "vekos-emu: " + fifo + ": not a regular file\n";
    // As Makefiles name programs: no extension. By its host path it runs; by name, inside the
    // guest, it is no program.
    const std::string plain = root.host("test1"), text = root.host("notes");
    fs::copy_file(PROBE_IMAGE, plain);
    root.write_file("notes", "not a program\n");
    const std::string text_refused = "vekos-emu: " + text + ": not a program (expected .uelf";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *out, *err;
    } cases[] = {
        {{PROBE_IMAGE, "echo", "host"}, 0, "host\n", ""},
        {{"bin/probe.uelf", "echo", "inside"}, 0, "inside\n", ""}, // no such host file
        {{"--cwd", "/work", "probe.uelf", "pwd"}, 0, "/work\n", ""},
        {{"--cwd", "work/sub/..", PROBE_IMAGE, "pwd", "sub"}, 0, "0 /work/sub\n", ""},
        {{"--cwd", "/nowhere", "probe.uelf"}, 2, "", "vekos-emu: --cwd /nowhere: not a folder"},
        {{"nothing.txt"},
         127,
         "",
         "vekos-emu: nothing.txt: not a program (expected .uelf, "
         ".vek, .bin, .flat or .shell)\n"},
        {{fifo}, 127, "", fifo_refused.c_str()}, // opened without waiting, then refused
        {{plain, "echo", "plain"}, 0, "plain\n", ""},
        {{"test1"}, 127, "", "vekos-emu: test1: not a program (expected .uelf"},
        {{"probe.uelf", "run", "test1"}, 0, "run -1\n", "vekos-emu: test1: not a program"},
        {{text}, 127, "", text_refused.c_str()},
        {{"/bin/true"}, 127, "", "vekos-emu: /bin/true: not a 32-bit ELF file\n"},
    };
    for (const Case &c : cases) {
        Finished f = emu(c.args);
        EXPECT_EQ(f.status, c.status) << testing::PrintToString(c.args) << f.err;
        EXPECT_EQ(f.out, c.out) << testing::PrintToString(c.args);
        EXPECT_EQ(f.err.rfind(c.err, 0), 0u) << testing::PrintToString(c.args) << f.err;
    }
}

TEST_F(VekosEmu, CommandLineErrorsAndHelp) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *err_start;
    } cases[] = {
        {{}, 2, "vekos-emu: no PROGRAM given\nUsage: "},
        {{"--bogus", "probe.uelf"}, 2, "vekos-emu: unknown option '--bogus'\nUsage: "},
        {{"--max-instructions", "lots", "probe.uelf"}, 2, "vekos-emu: --max-instructions"},
        {{"--max-instructions", "-5", "probe.uelf"}, 2, "vekos-emu: --max-instructions"},
        {{"--max-instructions"}, 2, "vekos-emu: --max-instructions"},
        {{"--timeout", "soon", "probe.uelf"}, 2, "vekos-emu: --timeout"},
        {{"--timeout", "0", "probe.uelf"}, 2, "vekos-emu: --timeout"},
        {{"--timeout"}, 2, "vekos-emu: --timeout needs a number of seconds"},
        {{"--root"}, 2, "vekos-emu: option --root needs a folder"},
        {{"--gdb", "70000", "probe.uelf"}, 2, "vekos-emu: --gdb: needs a port number"},
        {{"--trace-file"}, 2, "vekos-emu: option --trace-file needs a file"},
        {{"--root", "/nonexistent-vekos-folder", "x.uelf"}, 2, "vekos-emu: --root"},
        // Paths and values on one line, escaped.
        {{"--root", "/nowhere\n\x1b[2J", "x.uelf"},
         2,
         "vekos-emu: --root /nowhere\\n\\x1b[2J: not a folder\n"},
        {{"--cwd", "/a\nb", "x.uelf"},
         2,
         "vekos-emu: --cwd /a\\nb: not a folder inside the root\n"},
        {{"--trace-file", "/nonexistent-vekos-folder/\x1b]0;t", "x.uelf"},
         2,
         "vekos-emu: --trace-file /nonexistent-vekos-folder/\\x1b]0;t: No such file or "
         "directory\n"},
        {{"--timeout", "1\n2", "x.uelf"},
         2,
         "vekos-emu: --timeout: needs a positive number of seconds, not '1\\n2'\n"},
        {{"--trace=", "x.uelf"}, 2, "vekos-emu: --trace: no names after '='"},
        {{"--trace=open,", "x.uelf"}, 2, "vekos-emu: --trace: an empty name in 'open,'\n"},
        {{"--trace", "open,write", "x.uelf"},
         2,
         "vekos-emu: 'open,write' is not a program; to trace only those traps, write "
         "--trace=open,write\n"},
        {{"--stack"}, 2, "vekos-emu: --stack needs a size\n"},
        {{"--stack", "17M", "x.uelf"},
         2,
         "vekos-emu: --stack: needs a size from 64K to 16M (bytes, or with K or M), not '17M'\n"},
        {{"--stack", "60K", "x.uelf"}, 2, "vekos-emu: --stack: needs a size from 64K to 16M"},
        // Checked as given, before it is rounded up to whole pages.
        {{"--stack", "61441", "x.uelf"},
         2,
         "vekos-emu: --stack: needs a size from 64K to 16M (bytes, or with K or M), not '61441'\n"},
        {{"--stack", "99999999999M", "x.uelf"}, 2, "vekos-emu: --stack: needs a size from"},
        {{"--stack", "1G", "x.uelf"}, 2, "vekos-emu: --stack: needs a size from"},
        {{"--stack", "-4M", "x.uelf"}, 2, "vekos-emu: --stack"},
        {{"--max-memory"}, 2, "vekos-emu: --max-memory needs a size\n"},
        {{"--max-memory", "0", "x.uelf"},
         2,
         "vekos-emu: --max-memory: needs a positive size (bytes, or with K, M or G), not '0'\n"},
        {{"--max-memory", "2T", "x.uelf"}, 2, "vekos-emu: --max-memory: needs a positive size"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{VEKOS_EMU};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Finished f = run_command(args);
        EXPECT_EQ(f.status, c.status) << testing::PrintToString(c.args);
        EXPECT_EQ(f.err.rfind(c.err_start, 0), 0u) << testing::PrintToString(c.args) << f.err;
        EXPECT_EQ(f.out, "") << testing::PrintToString(c.args);
    }
    Finished help = run_command({VEKOS_EMU, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: vekos-emu [options] PROGRAM [ARGS...]\n", 0), 0u);
    Finished version = run_command({VEKOS_EMU, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("vekos-emu ", 0), 0u);
    Finished passed = emu({"--", "probe.uelf", "echo", "-v", "--help"});
    EXPECT_EQ(passed.out, "-v\n--help\n") << "options stop at PROGRAM; -- ends them too";
}

// The last value counts; each case's first value alone would give another result.
TEST_F(VekosEmu, AnOptionGivenTwiceTakesItsLastValue) {
    fs::create_directories(root.host("work"));
    struct Case {
        std::string line;
        int status;
        const char *out, *err;
    } cases[] = {
        {"--root /nonexistent --root " + root.path() + " probe.uelf echo ok", 0, "ok\n", ""},
        {"--cwd /nowhere --cwd /work probe.uelf pwd", 0, "/work\n", ""},
        {"--trace=write --trace=_exit probe.uelf echo", 0, "", "[trace] _exit(0)\n"},
        {"--trace-file /nonexistent/t --trace-file /dev/null probe.uelf echo", 0, "", ""},
        {"--max-instructions 1000000 --max-instructions 5000 probe.uelf spin", 124, "",
         "vekos-emu: probe.uelf: stopped after 5000 instructions\n"},
        {"--timeout 20 --timeout 0.3 probe.uelf spin", 124, "",
         "vekos-emu: probe.uelf: stopped after 0.3 seconds\n"},
        {"--stack 64K --stack 4M probe.uelf stack", 3, "", ""},
    };
    for (const Case &c : cases) {
        Finished f = emu(shell_words(c.line));
        EXPECT_EQ(f.status, c.status) << c.line << ": " << f.err;
        EXPECT_EQ(f.out, c.out) << c.line;
        EXPECT_EQ(f.err, c.err) << c.line;
    }
}

// A trace goes to a regular file or a character device, opened without waiting; a trace that
// can't be written is reported once, and status 0 then becomes 125.
TEST_F(VekosEmu, TraceFileKindsAndALostTrace) {
    const std::string fifo = root.host("trace.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string full = "vekos-emu: --trace-file /dev/full: No space left on device\n";
    struct Case {
        std::string file, program;
        int status;
        std::string err;
    } cases[] = {
        {fifo, "echo", 2,
         "vekos-emu: --trace-file " + fifo + ": not a regular file or a character device\n"},
        {"/dev/null", "echo", 0, ""},
        {"/dev/full", "echo", 125, full},
        {"/dev/full", "exit 3", 3, full},
    };
    for (const Case &c : cases) {
        std::string line = "--trace-file " + c.file + " probe.uelf " + c.program;
        Finished f = emu_bounded(shell_words(line));
        EXPECT_EQ(f.status, c.status) << line << ": " << f.err;
        EXPECT_EQ(f.err, c.err) << line;
    }
}

// --timeout covers the wait for gdb, which ends at the deadline as a run does. The last --gdb
// counts: port 1 is never listened on.
TEST_F(VekosEmu, TimeoutCoversTheWaitForGdb) {
    auto start = std::chrono::steady_clock::now();
    Finished f = emu_bounded({"-g", "1", "--gdb", "0", "--timeout", "0.3", "probe.uelf"});
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(f.status, 124) << f.err;
    EXPECT_TRUE(std::regex_match(f.err, std::regex("vekos-emu: waiting for gdb on "
                                                   "127\\.0\\.0\\.1:(?!1\n)[0-9]+\n"
                                                   "vekos-emu: probe\\.uelf: stopped after "
                                                   "0\\.3 seconds\n")))
        << "expected the wait on a free port, then the stop; got:\n"
        << f.err;
    EXPECT_LT(seconds, 5.0) << "expected the wait to end at the deadline";
}

TEST(VekosEmuWithLibrary, RunStartsHelloWhichPrintsItsArguments) {
    std::string root = VEKOS_ROOT_DIR;
    if (!fs::exists(root + "/bin/run.uelf") || !fs::exists(root + "/bin/hello.uelf"))
        GTEST_SKIP() << "run.uelf and hello.uelf are not built in " << root;
    Finished f = run_command({VEKOS_EMU, "--root", root, "run.uelf", "hello.uelf", "-v", "x"});
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(f.out, "-v\nx\n");
    EXPECT_EQ(f.err, "");
}

} // namespace
