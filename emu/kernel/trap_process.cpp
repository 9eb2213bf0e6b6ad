// Process and console traps: _exit, run, spawn, waitpid and the descriptors children get,
// usleep and getkey.
#include "abi/trap_flags.h"
#include "fs/fd_table.h"
#include "host/console.h"
#include "host/run_limits.h"
#include "kernel/process.h"
#include "kernel/trap_handlers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace vekos {
namespace {

// usleep really sleeps, but no longer than this (nor past the run's deadline): a guest must
// not stall the host for hours.
constexpr uint32_t kMaxSleepMicroseconds = 2'000'000;

bool valid_stdio(const TrapContext &context, int32_t fd) {
    return fd == -1 || context.replaying || context.fds.get(fd) != nullptr;
}

// argc words of argv, each a string; the whole must fit a child's entry stack.
TrapResult start_child(TrapCall &t, uint32_t path_at, uint32_t argv_at, int32_t argc,
                       const SpawnSettings &settings) {
    auto path = t.context.memory.read_string(path_at, kMaxPath);
    if (!path) return bad_address();
    if (argc < 0) return fail(EINVAL);
    if (uint64_t(argc) * 4 > kMaxArgBytes) return fail(E2BIG);
    std::vector<std::string> argv;
    for (int32_t i = 0; i < argc; i++) {
        uint32_t at = 0;
        if (!t.context.memory.read(argv_at + 4 * uint32_t(i), &at, 4)) return bad_address();
        auto word = t.context.memory.read_string(at, kMaxArgBytes);
        if (!word) return bad_address();
        argv.push_back(std::move(*word));
        if (!arguments_fit(argv)) return fail(E2BIG);
    }
    for (int32_t fd : settings.stdio)
        if (!valid_stdio(t.context, fd)) return fail(EBADF);
    t.action.kind = PendingAction::Kind::Spawn;
    t.action.spawn = {std::move(*path), std::move(argv), settings};
    return 0;
}

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

// A failed run-time check's frames: the run loop shows them, with the program's image.
TrapResult trap_backtrace(TrapCall &t) {
    t.action.kind = PendingAction::Kind::Backtrace;
    t.action.from = t.args[0];
    return 0;
}

// Alone, the process sleeps on the host; else the others run meanwhile.
TrapResult trap_usleep(TrapCall &t) {
    t.context.console.flush(); // the output so far shows while the guest sleeps
    const std::chrono::microseconds span(std::min(t.args[0], kMaxSleepMicroseconds));
    if (t.context.processes.alone()) {
        t.context.limits.sleep(span);
        return 0;
    }
    const auto until = std::chrono::steady_clock::now() + span;
    t.action.kind = PendingAction::Kind::Wait;
    t.action.wait = {"sleeps", [until] { return std::chrono::steady_clock::now() >= until; }, 0,
                     true, until};
    return 0;
}

bool console_waits(TrapCall &t) {
    Console &console = t.context.console;
    if (t.context.processes.alone() || console.input_ready()) return false;
    t.action.kind = PendingAction::Kind::Wait;
    t.action.wait = {"waits for console input", [&console] { return console.input_ready(); },
                     std::nullopt, true, std::nullopt};
    return true;
}

// The settings apply to this spawn only; fd_set_inherit's stays.
TrapResult trap_spawn(TrapCall &t) {
    const SpawnSettings settings = t.context.spawn;
    t.context.spawn.stdio = {-1, -1, -1};
    return start_child(t, t.args[0], t.args[1], i32(t.args[2]), settings);
}

// Seven words: path, argv, argc, the child's 0, 1 and 2, and whether 3 and up go too.
TrapResult trap_spawn_ex(TrapCall &t) {
    uint32_t block[7];
    if (!t.context.memory.read(t.args[0], block, sizeof block)) return bad_address();
    SpawnSettings settings{{i32(block[3]), i32(block[4]), i32(block[5])}, block[6] != 0};
    return start_child(t, block[0], block[1], i32(block[2]), settings);
}

// A status pointer of 0 asks for no status.
TrapResult trap_waitpid(TrapCall &t) {
    if (t.args[1] != 0 && !t.context.memory.accessible(t.args[1], 4, kProtWrite))
        return bad_address();
    if ((t.args[2] & ~VEKOS_WNOHANG) != 0) return fail(EINVAL);
    t.action.kind = PendingAction::Kind::WaitChild;
    t.action.child = i32(t.args[0]);
    t.action.status_at = t.args[1];
    t.action.no_hang = (t.args[2] & VEKOS_WNOHANG) != 0;
    return 0;
}

void replay_waitpid(std::array<uint32_t, 6> &args, int32_t recorded) {
    args[0] = uint32_t(recorded);
    args[2] &= ~uint32_t(VEKOS_WNOHANG);
}

TrapResult trap_fd_set_stdio(TrapCall &t) {
    const std::array<int32_t, 3> stdio{i32(t.args[0]), i32(t.args[1]), i32(t.args[2])};
    for (int32_t fd : stdio)
        if (!valid_stdio(t.context, fd)) return fail(EBADF);
    t.context.spawn.stdio = stdio;
    return 0;
}

TrapResult trap_fd_set_inherit(TrapCall &t) {
    t.context.spawn.inherit = t.args[0] != 0;
    return 0;
}

TrapResult trap_getkey(TrapCall &t) {
    if (console_waits(t)) return 0;
    uint8_t byte;
    int32_t got = t.context.console.read(&byte, 1);
    if (got < 0) return last_host_error();
    if (got == 0) return HostError{}; // the end of input: no key will come, nothing went wrong
    return byte;
}

} // namespace vekos
