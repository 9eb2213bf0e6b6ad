// Debian's gdb in batch mode against `vekos-emu --gdb 0`, for the tests that compare with it.
#pragma once

#include <string>
#include <vector>

struct Debugged {
    std::string gdb;     // what gdb printed
    int emu_status = -1; // vekos-emu's exit status
    std::string emu_out; // its stdout
    std::string emu_err; // and its stderr
};

// What vekos-emu runs: options before the program (`--root DIR`), and the program's arguments.
struct EmuRun {
    std::vector<std::string> options, args;
};

// Runs `vekos-emu OPTIONS --gdb 0 PROGRAM ARGS...` and gdb in batch mode with `commands`
// against it; both are bounded in time.
Debugged debug_with_gdb(const std::string &program, const std::vector<std::string> &commands,
                        const EmuRun &run = {});

// The same for a replay: records a run of PROGRAM (with `run`'s options and arguments), then
// debugs `vekos-emu --replay FILE --gdb 0`, where gdb may run the program backwards.
Debugged debug_replay_with_gdb(const std::string &program, const std::vector<std::string> &commands,
                               const EmuRun &run = {});

bool gdb_installed();
