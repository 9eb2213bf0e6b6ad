#include "abi/trap_numbers.h"
#include "fs/read_ahead.h"
#include "kernel/trap_dispatcher.h"
#include "kernel/trap_handlers.h"
#include "machine/engine.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>
#include <utility>

namespace vekos {
namespace {

using K = ArgKind;
using R = ReplayRule::Kind;
constexpr TrapArg I{K::Int}, U{K::Unsigned}, H{K::Hex}, P{K::Path}, W{K::Pointer};
constexpr uint8_t kNone = kNoEffect, kFiles = kChangesFiles, kCreates = kCreatesEntries,
                  kRunLoop = kInRunLoop, kWaits = kMayWait;
// What a replay does: answers the trap, or has the kernel do it again.
constexpr ReplayRule kAnswer{R::Answer};
constexpr ReplayRule kRedo{R::RedoAlways};

constexpr TrapRow kTraps[] = {
    {VEKOS_TRAP_WRITE, "write", trap_write, 3, {I, {K::BufferIn, 2}, U}, kWaits, kAnswer},
    // A process ends: nothing of it to go back to.
    {VEKOS_TRAP_EXIT, "_exit", trap_exit, 1, {I}, kRunLoop, {R::RedoAlways, false}},
    {VEKOS_TRAP_READ, "read", trap_read, 3, {I, {K::BufferOut, 2}, U}, kWaits, kAnswer},
    {VEKOS_TRAP_OPEN, "open", trap_open, 3, {P, {K::OpenFlags}, H}, kFiles | kCreates, kAnswer},
    {VEKOS_TRAP_CLOSE, "close", trap_close, 1, {I}, kNone, kAnswer},
    {VEKOS_TRAP_GETKEY, "getkey", trap_getkey, 0, {}, kWaits, kAnswer},
    {VEKOS_TRAP_WRITEFILE,
     "writefile",
     trap_writefile,
     3,
     {P, {K::BufferIn, 2}, U},
     kFiles | kCreates,
     kAnswer},
    {VEKOS_TRAP_USLEEP, "usleep", trap_usleep, 1, {U}, kWaits, kAnswer},
    {VEKOS_TRAP_MKDIR, "mkdir", trap_mkdir, 1, {P}, kCreates, kAnswer},
    {VEKOS_TRAP_UNLINK, "unlink", trap_unlink, 1, {P}, kNone, kAnswer},
    {VEKOS_TRAP_RMDIR, "rmdir", trap_rmdir, 1, {P}, kNone, kAnswer},
    {VEKOS_TRAP_GETCWD, "getcwd", trap_getcwd, 2, {{K::BufferOut, 1}, U}, kNone, kAnswer},
    {VEKOS_TRAP_CHDIR, "chdir", trap_chdir, 1, {P}, kNone, kAnswer},
    // The program run may change any file; it makes events before the trap's own.
    {VEKOS_TRAP_RUN, "run", trap_run, 1, {P}, kFiles | kRunLoop, {R::RedoAlways, true, true}},
    {VEKOS_TRAP_LSEEK, "lseek", trap_lseek, 3, {I, I, {K::Whence}}, kNone, kAnswer},
    {VEKOS_TRAP_DUP, "dup", trap_dup, 1, {I}, kNone, kAnswer},
    {VEKOS_TRAP_DUP2, "dup2", trap_dup2, 2, {I, I}, kNone, kAnswer},
    // A stream touches the file only at its end.
    {VEKOS_TRAP_VEKFS_STREAM_BEGIN,
     "vekfs_stream_begin",
     trap_stream_begin,
     1,
     {P},
     kNone,
     kAnswer},
    {VEKOS_TRAP_VEKFS_STREAM_WRITE,
     "vekfs_stream_write",
     trap_stream_write,
     3,
     {I, {K::BufferIn, 2}, U},
     kNone,
     kAnswer},
    {VEKOS_TRAP_VEKFS_STREAM_END,
     "vekfs_stream_end",
     trap_stream_end,
     1,
     {I},
     kFiles | kCreates,
     kAnswer},
    {VEKOS_TRAP_MMAP,
     "mmap",
     trap_mmap,
     6,
     {H, U, {K::MapProt}, {K::MapFlags}, I, U},
     kGivesAddress,
     {R::RedoIfSucceeded, true, false, replay_mmap}},
    {VEKOS_TRAP_MUNMAP, "munmap", trap_munmap, 2, {H, U}, kNone, kRedo},
    {VEKOS_TRAP_PIPE, "pipe", trap_pipe, 1, {{K::FdPair}}, kNone, kAnswer},
    {VEKOS_TRAP_MKFIFO, "mkfifo", trap_mkfifo, 1, {P}, kCreates, kAnswer},
    {VEKOS_TRAP_FD_SET_NONBLOCK,
     "fd_set_nonblock",
     trap_fd_set_nonblock,
     2,
     {I, I},
     kNone,
     kAnswer},
    {VEKOS_TRAP_FD_SET_INHERIT, "fd_set_inherit", trap_fd_set_inherit, 1, {I}, kNone, kAnswer},
    {VEKOS_TRAP_FD_SET_STDIO, "fd_set_stdio", trap_fd_set_stdio, 3, {I, I, I}, kNone, kAnswer},
    // The child may change any file.
    {VEKOS_TRAP_SPAWN, "spawn", trap_spawn, 3, {P, W, I}, kFiles | kRunLoop, {R::RedoIfPositive}},
    {VEKOS_TRAP_WAITPID,
     "waitpid",
     trap_waitpid,
     3,
     {I, W, H},
     kRunLoop,
     {R::RedoIfPositive, true, false, replay_waitpid}},
    {VEKOS_TRAP_SPAWN_EX,
     "spawn_ex",
     trap_spawn_ex,
     1,
     {W},
     kFiles | kRunLoop,
     {R::RedoIfPositive}},
    // vekos-emu's own: the frames of a failed run-time check (libvekos_checks.a). A replay
    // shows them too; they change nothing gdb must go back over.
    {VEKOS_TRAP_BACKTRACE,
     "backtrace",
     trap_backtrace,
     1,
     {H},
     kRunLoop,
     {R::RedoIfSucceeded, false}},
};

// A row without a replay rule would be answered from a recording whatever state it makes.
static_assert(std::ranges::none_of(kTraps,
                                   [](const TrapRow &row) {
                                       return row.replay.kind == R::Undeclared;
                                   }),
              "every trap row says what a replay does with it");

constexpr uint32_t kMaxRecorded = 1 << 20;

// What the arguments carried: paths and buffers handed over before the trap, buffers filled
// after it.
void record_data(const GuestMemory &memory, const TrapRow *row, TrapRecord &rec, bool done) {
    if (row == nullptr) return;
    for (int i = 0; i < row->arity; i++) {
        const TrapArg &arg = row->args[i];
        std::optional<std::string> data;
        if (arg.kind == K::Path && !done) {
            data = memory.read_string(rec.args[i], kMaxPath);
        } else if (arg.kind == K::FdPair && done && rec.result >= 0) {
            if (auto bytes = memory.read_bytes(rec.args[i], 8))
                data = std::string(bytes->begin(), bytes->end());
        } else if ((arg.kind == K::BufferIn && !done) ||
                   (arg.kind == K::BufferOut && done && rec.result >= 0)) {
            uint32_t n = arg.kind == K::BufferIn ? rec.args[arg.length_arg] : uint32_t(rec.result);
            if (auto bytes = memory.read_bytes(rec.args[i], std::min(n, kMaxRecorded)))
                data = std::string(bytes->begin(), bytes->end());
        } else {
            continue;
        }
        rec.data[i] = std::move(data);
    }
}

} // namespace

int TrapRow::data_arg() const {
    for (int i = 0; i < arity; i++)
        if (args[i].is_buffer()) return i;
    for (int i = 0; i < arity; i++)
        if (args[i].kind == ArgKind::Path) return i;
    return -1;
}

std::span<const TrapRow> trap_rows() {
    return kTraps;
}

const ReplayRule &replay_rule(uint32_t number) {
    const TrapRow *row = find_trap(number);
    return row != nullptr ? row->replay : kAnswer;
}

// Every trap goes through here, recorded ones twice: an index, not a search.
const TrapRow *find_trap(uint32_t number) {
    static const auto kIndex = [] {
        std::array<const TrapRow *, 256> index{};
        for (const TrapRow &row : kTraps)
            if (row.number < index.size()) index[row.number] = &row;
        return index;
    }();
    if (number < kIndex.size()) return kIndex[number];
    for (const TrapRow &row : kTraps)
        if (row.number == number) return &row;
    return nullptr;
}

const TrapRow *find_trap(std::string_view name) {
    for (const TrapRow &row : kTraps)
        if (row.name == name) return &row;
    return nullptr;
}

void TrapDispatcher::remove_observer(TrapObserver *observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void TrapDispatcher::notify_after(const TrapRecord &record) {
    for (TrapObserver *o : observers_) o->after(record);
}

// The journal's turn comes first: a replay answers most traps itself, and a process whose
// event is not next waits for it. Nothing is recorded for observers unless someone observes:
// the unobserved path allocates nothing.
void TrapDispatcher::dispatch(Engine &engine, TrapContext &context) {
    TrapArgs trap = engine.trap_arguments();
    const TrapRow *row = find_trap(trap.number);
    std::optional<int32_t> answer;
    if (journal_ != nullptr) {
        int32_t given = 0;
        switch (journal_->before_trap(trap, context, given)) {
        case RunJournal::Turn::Wait:
            action_.kind = PendingAction::Kind::Wait;
            action_.wait = journal_->turn(context);
            engine.stop();
            return;
        case RunJournal::Turn::Answered:
            answer = given;
            break;
        case RunJournal::Turn::Serve:
            break;
        }
    }
    std::optional<TrapRecord> rec;
    if (!observers_.empty()) {
        rec.emplace();
        rec->number = trap.number;
        rec->args = trap.args;
        rec->pid = context.processes.several() ? context.pid : 0;
        record_data(context.memory, row, *rec, false);
        for (TrapObserver *o : observers_) {
            if (answer) break;
            if ((answer = o->before(*rec))) rec->scripted = true;
        }
    }
    if (answer) {
        engine.set_trap_result(*answer);
        if (!rec) return;
        rec->result = *answer;
        record_data(context.memory, row, *rec, true);
        notify_after(*rec);
        return;
    }
    if (row != nullptr && row->has(kChangesFiles)) context.changes.note_all_changed();
    TrapCall call{context, trap.args, action_};
    TrapResult result = HostError{ENOSYS};
    try {
        if (row != nullptr) result = row->handler(call);
    } catch (const std::bad_alloc &) {
        // A request too big for the host fails like any other the kernel can't serve.
        result = HostError{ENOMEM};
    }
    if (row != nullptr && (row->has(kInRunLoop) || row->has(kMayWait)) && acting()) {
        engine.stop();
        action_.trap = trap;
        // Done as far as the journal knows: _exit, and a wait whose answer is known (a sleep
        // among other processes) that nothing but time ends.
        if (journal_ != nullptr && action_.kind == PendingAction::Kind::Exit)
            journal_->after_trap(trap, context, 0);
        else if (journal_ != nullptr && action_.kind == PendingAction::Kind::Wait &&
                 action_.wait.answer)
            journal_->after_trap(trap, context, *action_.wait.answer);
        if (rec && (action_.kind == PendingAction::Kind::Exit ||
                    action_.kind == PendingAction::Kind::Wait)) {
            rec->returned = false; // _exit does not come back, a wait not now: shown now
            rec->waits = action_.kind == PendingAction::Kind::Wait;
            notify_after(*rec);
        } else {
            action_.record = std::move(rec);
        }
        return;
    }
    const int32_t guest_result = result ? *result : kTrapFailed;
    engine.set_trap_result(guest_result);
    if (journal_ != nullptr) journal_->after_trap(trap, context, guest_result);
    if (!rec) return;
    rec->result = guest_result;
    if (!result) rec->error = result.failure().code;
    record_data(context.memory, row, *rec, true);
    notify_after(*rec);
}

std::optional<uint64_t> TrapDispatcher::time_stamp(Engine &engine, TrapContext &context) {
    if (journal_ == nullptr) return host_time_stamp();
    if (auto value = journal_->time_stamp(context)) return value;
    action_.kind = PendingAction::Kind::Wait;
    action_.wait = journal_->turn(context);
    action_.on_instruction = true;
    engine.stop();
    return std::nullopt;
}

PendingAction TrapDispatcher::take_action() {
    return std::exchange(action_, PendingAction{});
}

void TrapDispatcher::complete(Engine &engine, TrapContext &context, PendingAction &action,
                              int32_t result) {
    engine.set_trap_result(result);
    if (journal_ != nullptr) journal_->after_trap(action.trap, context, result);
    if (!action.record) return;
    TrapRecord &rec = *action.record;
    rec.result = result;
    rec.pid = context.processes.several() ? context.pid : 0; // a spawn makes them several
    record_data(context.memory, find_trap(rec.number), rec, true);
    notify_after(rec);
    action.record.reset();
}

} // namespace vekos
