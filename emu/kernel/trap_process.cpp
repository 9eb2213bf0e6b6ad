// Process and console traps: _exit, run, usleep, getkey, and the traps this kernel refuses.
#include "host/console.h"
#include "host/run_limits.h"
#include "kernel/trap_handlers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace vekos {
namespace {

// usleep really sleeps, but no longer than this (nor past the run's deadline): a guest must
// not stall the host for hours.
constexpr uint32_t kMaxSleepMicroseconds = 2'000'000;

} // namespace

TrapResult trap_exit(TrapCall &t) {
    t.action.kind = PendingAction::Kind::Exit;
    t.action.status = i32(t.args[0]);
    return 0;
}

// The result comes from the run loop once the line has run.
TrapResult trap_run(TrapCall &t) {
    auto line = guest_string(t, 0);
    if (!line) return line.failure();
    t.action.kind = PendingAction::Kind::RunLine;
    t.action.line = std::move(*line);
    return 0;
}

TrapResult trap_usleep(TrapCall &t) {
    t.context.console.flush(); // the output so far shows while the guest sleeps
    t.context.limits.sleep(std::chrono::microseconds(std::min(t.args[0], kMaxSleepMicroseconds)));
    return 0;
}

TrapResult trap_getkey(TrapCall &t) {
    uint8_t byte;
    int32_t got = t.context.console.read(&byte, 1);
    if (got < 0) return last_host_error();
    if (got == 0) return HostError{}; // the end of input: no key will come, nothing went wrong
    return byte;
}

TrapResult trap_refused(TrapCall &) {
    return fail(ENOSYS);
}

} // namespace vekos
