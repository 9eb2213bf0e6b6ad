#include "gdb_session.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>

namespace vekos {
namespace {

using debug::GdbSignal;
using debug::Resume;
using debug::Stop;

// Ctrl-C from gdb is looked for every so many instructions: one poll() each time.
constexpr uint32_t kPollEvery = 1 << 16;

GdbSignal signal_of(const Fault &fault) {
    switch (fault.kind) {
    case FaultKind::InvalidInstruction:
        return GdbSignal::Ill;
    case FaultKind::DivideError:
        return GdbSignal::Fpe;
    case FaultKind::Exception:
        return fault.vector == 1 || fault.vector == 3 ? GdbSignal::Trap
               : fault.vector == 16                   ? GdbSignal::Fpe
                                                      : GdbSignal::Segv;
    default:
        return GdbSignal::Segv;
    }
}

} // namespace

Outcome GdbSession::run(Process &process) {
    process_ = &process;
    std::fprintf(stderr, "vekos-emu: waiting for gdb on 127.0.0.1:%u\n", unsigned(stub_->port()));
    // The run's --timeout covers the wait: a job never hangs for want of a debugger. One
    // poll() waits at most INT_MAX ms; a deadline further off takes more.
    RunLimits &limits = process.limits();
    int wait_ms;
    bool connected;
    do connected = stub_->accept(wait_ms = limits.poll_timeout_ms());
    while (!connected && wait_ms == INT_MAX && !limits.deadline_passed());
    if (!connected && limits.deadline_passed()) return {Outcome::Kind::Limit, 0, {}};
    if (!connected) return process.run();
    engine_.set_watch(this);
    struct Unwatch { // also when the run ends by an exception
        GdbSession &session;
        ~Unwatch() { session.unwatch_all(); }
    } unwatch{*this};
    Stop stop{Stop::Kind::Started};
    for (;;) {
        Resume how = stub_->stopped(*this, stop);
        if (how == Resume::Kill || how == Resume::Detach) {
            unwatch_all();
            if (ended_) return *ended_;
            return how == Resume::Kill ? Outcome{Outcome::Kind::Killed} : process.run();
        }
        sync_watchpoints();
        stop = resume(how);
    }
}

void GdbSession::sync_watchpoints() {
    const std::set<debug::Watchpoint> &wanted = stub_->watchpoints();
    for (auto it = access_watches_.begin(); it != access_watches_.end();) {
        if (wanted.count(it->first)) {
            ++it;
            continue;
        }
        engine_.unwatch_accesses(it->second);
        it = access_watches_.erase(it);
    }
    for (const debug::Watchpoint &point : wanted) {
        if (access_watches_.count(point)) continue;
        Access kinds = point.kind == debug::WatchKind::Write  ? Access::Write
                       : point.kind == debug::WatchKind::Read ? Access::Read
                                                              : Access::Any;
        access_watches_[point] = engine_.watch_accesses(point.address, point.length, kinds, *this);
    }
}

void GdbSession::unwatch_all() {
    engine_.set_watch(nullptr);
    for (const auto &[point, id] : access_watches_) engine_.unwatch_accesses(id);
    access_watches_.clear();
}

Stop GdbSession::resume(Resume how) {
    if (ended_) // after a fault: the program can't go on
        return {Stop::Kind::Killed, 0,
                ended_->kind == Outcome::Kind::Limit || ended_->kind == Outcome::Kind::Waiting
                    ? GdbSignal::Xcpu
                    : signal_of(ended_->fault)};
    stepping_ = how == Resume::Step;
    resuming_ = true;
    watched_.reset();
    interrupted_ = false;
    until_poll_ = kPollEvery;
    Outcome outcome = process_->run();
    switch (outcome.kind) {
    case Outcome::Kind::Paused:
        if (watched_) return *watched_;
        return {stepping_      ? Stop::Kind::Stepped
                : interrupted_ ? Stop::Kind::Interrupted
                               : Stop::Kind::Breakpoint};
    case Outcome::Kind::Exited:
        ended_ = outcome;
        return {Stop::Kind::Exited, outcome.status & 0xff};
    case Outcome::Kind::Limit:
    case Outcome::Kind::Killed:
    case Outcome::Kind::Waiting: // a deadlock: nothing can end the wait
    case Outcome::Kind::Sliced:  // never: the kernel doesn't schedule the debugged program
        ended_ = outcome;
        return {Stop::Kind::Killed, 0, GdbSignal::Xcpu};
    case Outcome::Kind::Returned: // a jump to the address kept for `until`
        outcome = {Outcome::Kind::Faulted, 0, {FaultKind::FetchUnmapped, kNoUntil, kNoUntil, 0}};
        [[fallthrough]];
    case Outcome::Kind::Faulted:
        ended_ = outcome;
        return {Stop::Kind::Signal, 0, signal_of(outcome.fault)};
    }
    return {Stop::Kind::Killed, 0, GdbSignal::Segv};
}

bool GdbSession::stop_before(uint32_t eip) {
    if (!engine_.attached(process_->memory())) return false; // a child: it runs freely
    if (resuming_) { // where the program stopped: runs now, breakpoint or not
        resuming_ = false;
        return false;
    }
    if (stepping_ || stub_->breakpoints().count(eip)) return true;
    if (--until_poll_ == 0) {
        until_poll_ = kPollEvery;
        interrupted_ = stub_->interrupt_requested();
    }
    return interrupted_;
}

// Only the debugged program's accesses count, and only for a watchpoint gdb still has (the
// stub forgets them all when it drops gdb). The address gdb hears of lies in the range.
bool GdbSession::stop_after(uint32_t address, uint32_t size, bool write) {
    if (!engine_.attached(process_->memory())) return false;
    if (watched_) return true; // the first watchpoint hit is the one reported
    for (const debug::Watchpoint &point : stub_->watchpoints()) {
        if (!point.hit_by(address, size, write)) continue;
        watched_ = Stop{Stop::Kind::Watched};
        watched_->watched = point;
        watched_->data_address = std::max(address, point.address);
        return true;
    }
    return false;
}

// gdb's numbers name the engine's registers by their names.
int GdbSession::engine_reg(int reg) {
    static const auto kIndex = [] {
        std::array<int, debug::kGdbRegCount> index{};
        for (int i = 0; i < debug::kGdbRegCount; i++)
            index[size_t(i)] = Engine::debug_reg_index(debug::kGdbRegisters[i].name);
        return index;
    }();
    return reg >= 0 && reg < debug::kGdbRegCount ? kIndex[size_t(reg)] : -1;
}

bool GdbSession::read_register(int reg, std::span<uint8_t> out) {
    return engine_.read_debug_reg(engine_reg(reg), out);
}

// gdb steps with the stub's step request, never by the trap flag: a trap flag it writes
// would raise a debug exception the program has no handler for. The flag stays the program's.
bool GdbSession::write_register(int reg, std::span<const uint8_t> in) {
    if (reg != debug::kEflags || in.size() != 4)
        return engine_.write_debug_reg(engine_reg(reg), in);
    constexpr uint32_t kTrapFlag = 1u << 8;
    uint32_t written, now;
    std::array<uint8_t, 4> bytes;
    if (!engine_.read_debug_reg(engine_reg(reg), bytes)) return false;
    std::memcpy(&now, bytes.data(), 4);
    std::memcpy(&written, in.data(), 4);
    uint32_t value = (written & ~kTrapFlag) | (now & kTrapFlag);
    std::memcpy(bytes.data(), &value, 4);
    return engine_.write_debug_reg(engine_reg(reg), bytes);
}

bool GdbSession::read_memory(uint32_t addr, std::span<uint8_t> out) {
    return process_->memory().read(addr, out.data(), uint32_t(out.size()));
}

// gdb may write code too (its breakpoints don't: they stay in the stub).
bool GdbSession::write_memory(uint32_t addr, std::span<const uint8_t> in) {
    if (!process_->memory().poke(addr, in.data(), uint32_t(in.size()))) return false;
    engine_.forget_code(addr, uint64_t(addr) + in.size());
    return true;
}

} // namespace vekos
