// vekos-emu's exit statuses besides the program's own (its low 8 bits). They follow the
// shell's and timeout(1)'s conventions; the --help text is built from them.
#pragma once

namespace vekos {

constexpr int kStatusUsage = 2;   // a bad command line, --root, --cwd, --trace-file or --gdb
constexpr int kStatusLimit = 124; // --max-instructions or --timeout stopped the run
// Every process waits and none can run: the run would end only by --timeout, as with
// timeout(1) around it, so it ends the same way at once.
constexpr int kStatusDeadlock = kStatusLimit;
constexpr int kStatusInternalError = 125; // the host failed (host/internal_error.h)
constexpr int kStatusNotRun = 127;        // the program couldn't be loaded
constexpr int kStatusKilled = 137;        // ended from the debugger
constexpr int kStatusFault = 139;         // the program faulted

// After a stop signal (SIGINT, SIGTERM, SIGHUP): 128 + its number.
constexpr int status_after_signal(int signal) {
    return 128 + signal;
}

} // namespace vekos
