// vekos-emu's command line: options, then PROGRAM and its arguments, passed on untouched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vekos {

struct EmuOptions {
    std::string root = ".";             // host folder that the guest sees as "/"
    std::string cwd = "/";              // the guest's starting folder
    bool trace = false;                 // every trap on stderr
    uint64_t max_instructions = 0;      // for the whole run; 0: no limit
    double timeout_seconds = 0;         // wall clock for the whole run; 0: no limit
    std::optional<uint32_t> stack_size; // bytes, whole pages; unset: the kernel's default
    uint64_t max_memory = 0;            // mapped and streamed bytes of the run; 0: no limit
    std::vector<std::string> argv;      // PROGRAM and its arguments

    // Debugging: --trace's filter, file and times; --gdb's port (0: any free one).
    std::vector<std::string> trace_only;
    std::string trace_file;
    bool trace_time = false;
    std::optional<uint16_t> gdb_port;
    uint64_t checkpoint_mib = 256; // for running a replayed program backwards under gdb

    // Coverage and profiles: the lcov tracefile (or folder), the callgrind file, the summary.
    std::string coverage_file;
    std::string profile_file;
    bool profile_summary = false;

    // Record and replay: the recording written, or the one run again (then argv is empty).
    std::string record_file;
    std::string replay_file;
    bool replay_check = false;
};

// The options, or the status to end with at once: 0 after --help or --version, kStatusUsage
// after a usage error (already reported on stderr with the synopsis).
struct ParsedOptions {
    EmuOptions options;
    std::optional<int> exit_status;
};
ParsedOptions parse_options(int argc, char **argv);

} // namespace vekos
