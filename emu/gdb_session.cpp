#include "gdb_session.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

namespace vekos {
namespace {

using debug::GdbSignal;
using debug::Resume;
using debug::Stop;

// Ctrl-C from gdb is looked for every so many instructions: one poll() each time.
constexpr uint32_t kPollEvery = 1 << 16;
// Going back, the run restarts at the checkpoint before the target: one every so many
// instructions bounds what a step back runs again.
constexpr uint64_t kCheckpointEvery = 1 << 20;
// Going back further than this from a checkpoint takes a checkpoint this far before the
// target on the way, so that the steps back that follow run little again.
constexpr uint64_t kNearSpan = 1 << 12;

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
    // The run's --timeout covers every wait for gdb: a job never hangs for want of a
    // debugger, nor for one that sits idle.
    RunLimits &limits = process.limits();
    stub_->set_deadline(limits.deadline());
    const bool connected = stub_->accept();
    if (!connected && limits.deadline_passed()) return {Outcome::Kind::Limit, 0, {}};
    if (!connected) return process.run();
    engine_.set_watch(this);
    if (history_) mark();
    struct Unwatch { // also when the run ends by an exception
        GdbSession &session;
        ~Unwatch() { session.unwatch_all(); }
    } unwatch{*this};
    Stop stop{Stop::Kind::Started};
    for (;;) {
        Resume how = stub_->stopped(*this, stop);
        if (how == Resume::TimedOut) {
            unwatch_all();
            limits.deadline_passed(); // out of time from here on, whatever the watchdog saw
            return {Outcome::Kind::Limit, 0, {}};
        }
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
    if (how == Resume::ReverseStep || how == Resume::ReverseContinue) {
        call_from_.reset();
        Stop stop = how == Resume::ReverseStep ? reverse_step() : reverse_continue();
        plan_marks(); // from where the program stands now
        return stop;
    }
    if (ended_) // after a fault: the program can't go on
        return {Stop::Kind::Killed, 0,
                ended_->kind == Outcome::Kind::Limit || ended_->kind == Outcome::Kind::Waiting
                    ? GdbSignal::Xcpu
                    : signal_of(ended_->fault)};
    call_from_.reset();
    stepping_ = how == Resume::Step;
    resuming_ = true;
    watched_.reset();
    interrupted_ = false;
    until_poll_ = kPollEvery;
    Outcome outcome = run_forward();
    const bool fetched = fetched_breakpoint(outcome);
    if (outcome.kind != Outcome::Kind::Paused && !fetched) return ended_by(outcome);
    if (fetched) call_from_ = changed_at_;
    if (history_) mark(); // a checkpoint here when the last one is far behind
    if (std::exchange(reported_, false)) return {Stop::Kind::Signal, 0, GdbSignal::Trap};
    if (watched_) return *watched_;
    if (fetched) return {Stop::Kind::Breakpoint};
    return {stepping_      ? Stop::Kind::Stepped
            : interrupted_ ? Stop::Kind::Interrupted
                           : Stop::Kind::Breakpoint};
}

// gdb returns from a function it calls to a breakpoint on the stack, where no instruction
// can be fetched: reaching it is the breakpoint's hit, and gdb puts the registers back.
bool GdbSession::fetched_breakpoint(const Outcome &outcome) const {
    const Fault &fault = outcome.fault;
    return outcome.kind == Outcome::Kind::Faulted &&
           (fault.kind == FaultKind::FetchProtected || fault.kind == FaultKind::FetchUnmapped) &&
           fault.eip == fault.address && stub_->breakpoints().count(fault.eip) != 0;
}

Outcome GdbSession::run_forward() {
    struct Forward {
        bool &flag;
        explicit Forward(bool &f) : flag(f) { flag = true; }
        ~Forward() { flag = false; }
    } forward{forward_};
    for (;;) {
        Outcome outcome = process_->run();
        if (outcome.kind != Outcome::Kind::Paused || !at_mark_) return outcome;
        at_mark_ = false;
        mark();
        resuming_ = true; // its breakpoint was looked for before the mark
    }
}

// A replay that gdb takes back and forth passes the same reports again: those were shown.
Debugger::ReportTurn GdbSession::on_report(Process &process) {
    if (&process != process_) return {};
    ReportTurn turn;
    turn.stop = forward_ && !replaying_;
    turn.show = !replaying_ && (!turn.stop || !history_ || executed_ > reports_shown_);
    if (turn.show && turn.stop) reports_shown_ = executed_;
    reported_ = turn.stop;
    return turn;
}

Stop GdbSession::ended_by(const Outcome &ended) {
    Outcome outcome = ended;
    switch (outcome.kind) {
    case Outcome::Kind::Paused: // never: a run that pauses hasn't ended
        return {Stop::Kind::Interrupted};
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
        // A faulting instruction was counted but didn't run: going back starts before it.
        if (outcome.fault.eip == last_eip_ && executed_ > 0) --executed_;
        if (history_) mark();
        return {Stop::Kind::Signal, 0, signal_of(outcome.fault)};
    }
    return {Stop::Kind::Killed, 0, GdbSignal::Segv};
}

// Counts the instructions that run: stopping before one doesn't count it.
bool GdbSession::stop_before(uint32_t eip) {
    if (!engine_.attached(process_->memory())) return false; // a child: it runs freely
    if (replaying_) return replay_before(eip);
    if (resuming_) // where the program stopped: runs now, breakpoint or not
        resuming_ = false;
    else if (stepping_ || stub_->breakpoints().count(eip))
        return true;
    // A checkpoint right after what can't be undone: going back reaches every instruction
    // since, however soon the next mark would come.
    if (executed_ == next_mark_ || (history_ && history_->rewind_floor() != floor_)) {
        at_mark_ = true;
        return true;
    }
    if (--until_poll_ == 0) {
        until_poll_ = kPollEvery;
        interrupted_ = stub_->interrupt_requested();
    }
    if (interrupted_) return true;
    ++executed_;
    last_eip_ = eip;
    return false;
}

// Only the debugged program's accesses count, and only for a watchpoint gdb still has (the
// stub forgets them all when it drops gdb). The address gdb hears of lies in the range.
// Going back, hits are only noted while scanning: the first of each instruction.
bool GdbSession::stop_after(uint32_t address, uint32_t size, bool write) {
    if (!engine_.attached(process_->memory())) return false;
    if (replaying_) {
        bool noted = last_hit_ && last_hit_->at + 1 == executed_ &&
                     last_hit_->stop.kind == Stop::Kind::Watched;
        if (scanning_ && !noted)
            if (auto hit = watch_hit(address, size, write)) last_hit_ = Hit{executed_ - 1, *hit};
        return false;
    }
    if (watched_) return true; // the first watchpoint hit is the one reported
    watched_ = watch_hit(address, size, write);
    return watched_.has_value();
}

std::optional<Stop> GdbSession::watch_hit(uint32_t address, uint32_t size, bool write) const {
    for (const debug::Watchpoint &point : stub_->watchpoints()) {
        if (!point.hit_by(address, size, write)) continue;
        Stop stop{Stop::Kind::Watched};
        stop.watched = point;
        stop.data_address = std::max(address, point.address);
        return stop;
    }
    return std::nullopt;
}

// A scan back over a long history heeds Ctrl-C.
bool GdbSession::replay_before(uint32_t eip) {
    if (executed_ == seek_to_) return true;
    if (scanning_ && stub_->breakpoints().count(eip))
        last_hit_ = Hit{executed_, Stop{Stop::Kind::Breakpoint}};
    if (scanning_ && --until_poll_ == 0) {
        until_poll_ = kPollEvery;
        if ((interrupted_ = stub_->interrupt_requested())) return true;
    }
    ++executed_;
    last_eip_ = eip;
    return false;
}

void GdbSession::take_checkpoint() {
    checkpoints_.take(engine_, process_->memory(),
                      {executed_, history_->position(), process_->budget().used});
}

void GdbSession::mark() {
    floor_ = history_->rewind_floor();
    checkpoints_.drop_before_position(floor_);
    const Checkpoints::Taken *last = checkpoints_.at_or_before(executed_);
    if (!last || executed_ - last->executed >= kCheckpointEvery) take_checkpoint();
    plan_marks();
}

// Checkpoints taken before the program went back, ahead of it now, count as taken again.
void GdbSession::plan_marks() {
    const Checkpoints::Taken *last = checkpoints_.at_or_before(executed_);
    uint64_t due = last ? last->executed + kCheckpointEvery : executed_;
    for (const Checkpoints::Taken *next = checkpoints_.after(executed_);
         next && next->executed <= due; next = checkpoints_.after(next->executed))
        due = next->executed + kCheckpointEvery;
    if (due <= executed_) due = executed_ + kCheckpointEvery; // the budget had no room here
    next_mark_ = due;
}

// Back before gdb changed the program, it runs as recorded again: the checkpoints of the
// changed run are of no use.
bool GdbSession::restore(Checkpoints::Taken at) {
    if (!checkpoints_.restore(at.executed, engine_, process_->memory())) return false;
    if (at.executed < changed_from_) {
        checkpoints_.drop_from(changed_from_);
        changed_from_ = UINT64_MAX;
    }
    history_->rewind(at.position);
    executed_ = at.executed;
    process_->budget().used = at.budget_used;
    ended_.reset(); // a fault ahead is undone
    return true;
}

std::optional<Stop> GdbSession::seek(uint64_t target, bool scan) {
    if (executed_ == target) return std::nullopt;
    replaying_ = true;
    scanning_ = scan;
    seek_to_ = target;
    Outcome outcome = process_->run();
    replaying_ = scanning_ = false;
    if (outcome.kind != Outcome::Kind::Paused) return ended_by(outcome);
    if (executed_ != target) return Stop{Stop::Kind::Interrupted}; // Ctrl-C while scanning
    return std::nullopt;
}

std::optional<Stop> GdbSession::go_to(uint64_t target) {
    const Checkpoints::Taken *from = checkpoints_.at_or_before(target);
    if (!from || !restore(*from)) return Stop{Stop::Kind::HistoryBegin};
    if (target - executed_ > kNearSpan) {
        if (auto stop = seek(target - kNearSpan, false)) return stop;
        take_checkpoint();
    }
    return seek(target, false);
}

Stop GdbSession::reverse_step() {
    checkpoints_.drop_before_position(history_->rewind_floor());
    const Checkpoints::Taken *oldest = checkpoints_.oldest();
    if (!oldest || executed_ <= oldest->executed) return {Stop::Kind::HistoryBegin};
    return go_to(executed_ - 1).value_or(Stop{Stop::Kind::Stepped});
}

Stop GdbSession::reverse_continue() {
    checkpoints_.drop_before_position(history_->rewind_floor());
    interrupted_ = false;
    until_poll_ = kPollEvery;
    for (uint64_t end = executed_; end > 0;) {
        const Checkpoints::Taken *found = checkpoints_.at_or_before(end - 1);
        if (!found) break;
        Checkpoints::Taken from = *found;
        if (!restore(from)) break;
        last_hit_.reset();
        if (auto stop = seek(end, true)) return *stop;
        if (last_hit_) {
            Hit hit = *last_hit_;
            return go_to(hit.at).value_or(hit.stop);
        }
        end = from.executed;
    }
    const Checkpoints::Taken *oldest = checkpoints_.oldest();
    if (oldest && executed_ != oldest->executed)
        if (auto stop = go_to(oldest->executed)) return *stop;
    return {Stop::Kind::HistoryBegin};
}

// gdb puts the registers back after a call of its own: the call's instructions are no part
// of the program's run, which goes on from where the call began.
void GdbSession::changed_by_gdb() {
    if (!history_ || process_ == nullptr) return;
    if (call_from_) executed_ = *std::exchange(call_from_, std::nullopt);
    changed_at_ = executed_;
    changed_from_ = std::min(changed_from_, executed_);
    checkpoints_.drop_from(executed_);
    take_checkpoint();
    plan_marks();
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
    if (reg != debug::kEflags || in.size() != 4) {
        bool written = engine_.write_debug_reg(engine_reg(reg), in);
        if (written) changed_by_gdb();
        return written;
    }
    constexpr uint32_t kTrapFlag = 1u << 8;
    uint32_t written, now;
    std::array<uint8_t, 4> bytes;
    if (!engine_.read_debug_reg(engine_reg(reg), bytes)) return false;
    std::memcpy(&now, bytes.data(), 4);
    std::memcpy(&written, in.data(), 4);
    uint32_t value = (written & ~kTrapFlag) | (now & kTrapFlag);
    std::memcpy(bytes.data(), &value, 4);
    if (!engine_.write_debug_reg(engine_reg(reg), bytes)) return false;
    changed_by_gdb();
    return true;
}

bool GdbSession::read_memory(uint32_t addr, std::span<uint8_t> out) {
    return process_->memory().read(addr, out.data(), uint32_t(out.size()));
}

// gdb may write code too (its breakpoints don't: they stay in the stub).
bool GdbSession::write_memory(uint32_t addr, std::span<const uint8_t> in) {
    if (!process_->memory().poke(addr, in.data(), uint32_t(in.size()))) return false;
    engine_.forget_code(addr, uint64_t(addr) + in.size());
    changed_by_gdb();
    return true;
}

} // namespace vekos
