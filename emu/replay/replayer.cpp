#include "replay/replayer.h"

#include "common/escape.h"
#include "common/exit_status.h"
#include "kernel/trap_table.h"
#include "machine/guest_memory.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace vekos::replay {
namespace {

std::string trap_name(uint32_t number) {
    const TrapRow *row = find_trap(number);
    return row != nullptr ? row->name : "trap " + std::to_string(number);
}

std::string describe(uint32_t number, const std::array<uint32_t, 6> &args, int count) {
    std::string text = trap_name(number) + "(";
    for (int i = 0; i < count; i++) {
        char word[16];
        std::snprintf(word, sizeof word, "%s0x%x", i ? ", " : "", args[size_t(i)]);
        text += word;
    }
    return text + ")";
}

std::string describe(const Event &event) {
    switch (event.kind) {
    case Event::Kind::RunStart:
        return "pid " + std::to_string(event.pid) + "'s run request";
    case Event::Kind::TimeStamp:
        return "pid " + std::to_string(event.pid) + "'s rdtsc";
    case Event::Kind::Trap:
        break;
    }
    return "pid " + std::to_string(event.pid) + "'s " +
           describe(event.number, event.args, event.arg_count);
}

// Changes that can't be undone by putting the debugged process's memory and registers back.
bool beyond_rewind(const Event &event) {
    if (event.pid != 1 || event.kind == Event::Kind::RunStart) return true;
    const ReplayRule &rule = replay_rule(event.number);
    return event.kind == Event::Kind::Trap && rule.redo(event.result) && rule.beyond_rewind;
}

} // namespace

const Event *Replayer::next() const {
    return at_ < recording_.events.size() ? &recording_.events[at_] : nullptr;
}

void Replayer::diverged(const TrapContext &context, const std::string &what) const {
    throw ReplayDiverged("pid " + std::to_string(context.pid) + " " + what + " at event " +
                         std::to_string(at_ + 1) + " of " +
                         std::to_string(recording_.events.size()));
}

const Event *Replayer::mine(const TrapContext &context) {
    const Event *event = next();
    if (event == nullptr) {
        // The recorded run deadlocked: the process waits as it did (see turn()).
        if (!recording_.deadlock.empty()) return nullptr;
        // The recorded run was stopped here, by its limits or from gdb: so is the replay.
        if (recording_.status == kStatusLimit || recording_.status == kStatusKilled)
            throw ReplayEnded{recording_.status};
        diverged(context, "goes on past the end of the recording");
    }
    return event->pid == context.pid ? event : nullptr;
}

WaitFor Replayer::turn(const TrapContext &context) {
    WaitFor wait;
    if (next() == nullptr && !recording_.deadlock.empty()) { // for good, as recorded
        wait.what = "waits";
        for (const Deadlocked &process : recording_.deadlock)
            if (process.pid == context.pid) wait.what = process.what;
        wait.ready = [] { return false; };
        return wait;
    }
    wait.what = "waits for its turn in the recording";
    wait.ready = [this, pid = context.pid] {
        const Event *event = next();
        return event == nullptr || event->pid == pid;
    };
    return wait;
}

void Replayer::expect(const TrapArgs &trap, const TrapContext &context, const Event &event) const {
    const TrapRow *row = find_trap(trap.number);
    const int count = row != nullptr ? row->arity : int(trap.args.size());
    bool same =
        event.kind == Event::Kind::Trap && event.number == trap.number && event.arg_count == count;
    for (int i = 0; same && i < count; i++) same = event.args[size_t(i)] == trap.args[size_t(i)];
    if (!same)
        diverged(context, "makes " + describe(trap.number, trap.args, count) +
                              " where the recording has " + describe(event));
}

RunJournal::Turn Replayer::before_trap(TrapArgs &trap, TrapContext &context, int32_t &result) {
    const Event *event = mine(context);
    if (event == nullptr) return Turn::Wait;
    const ReplayRule &rule = replay_rule(trap.number);
    if (rule.marks_start) {
        if (event->kind != Event::Kind::RunStart)
            diverged(context, "makes a run request where the recording has " + describe(*event));
        at_++;
        if (rule.beyond_rewind) floor_ = at_;
        return Turn::Serve;
    }
    expect(trap, context, *event);
    if (rule.redo(event->result)) {
        if (rule.adapt != nullptr) rule.adapt(trap.args, event->result);
        return Turn::Serve;
    }
    give_back(*event, context);
    give_output(*event, context);
    skip_program_of(at_);
    result = event->result;
    if (beyond_rewind(*event)) floor_ = at_ + 1;
    at_++;
    return Turn::Answered;
}

void Replayer::after_trap(const TrapArgs &trap, TrapContext &context, int32_t result) {
    const Event *event = next();
    if (event == nullptr || event->pid != context.pid || event->kind != Event::Kind::Trap ||
        event->number != trap.number)
        diverged(context, "ends " + trap_name(trap.number) + " where the recording has " +
                              (event ? describe(*event) : "nothing more"));
    if (event->result != result)
        diverged(context, "gets " + std::to_string(result) + " from " + trap_name(trap.number) +
                              " where the recording has " + std::to_string(event->result));
    give_back(*event, context);
    if (beyond_rewind(*event)) floor_ = at_ + 1;
    at_++;
}

void Replayer::give_back(const Event &event, TrapContext &context) {
    for (const Patch &patch : event.patches) {
        if (context.memory.poke(patch.addr, patch.bytes.data(), uint32_t(patch.bytes.size())))
            continue;
        char where[16];
        std::snprintf(where, sizeof where, "0x%x", patch.addr);
        diverged(context,
                 std::string("has no memory at ") + where + " for the bytes of " + describe(event));
    }
}

// The output comes from the guest's buffer, as it did: the replayed program prints it.
void Replayer::give_output(const Event &event, TrapContext &context) {
    if (event.console_bytes == 0) return;
    const uint32_t n = event.console_bytes;
    std::optional<std::vector<uint8_t>> copy; // only when the bytes straddle regions
    const uint8_t *bytes = context.memory.view(event.args[1], n, kProtRead);
    if (bytes == nullptr && (copy = context.memory.read_bytes(event.args[1], n)))
        bytes = copy->data();
    if (bytes == nullptr || output_hash(bytes, n) != event.console_hash)
        diverged(context, "writes other output than the recording's with " + describe(event));
    if (at_ < emitted_) return; // run again after going back: shown already
    emitted_ = at_ + 1;
    output_bytes_ += n;
    if (!check_) out_.write(bytes, n);
}

std::optional<uint64_t> Replayer::time_stamp(TrapContext &context) {
    const Event *event = mine(context);
    if (event == nullptr) return std::nullopt;
    if (event->kind != Event::Kind::TimeStamp)
        diverged(context,
                 "reads the time-stamp counter where the recording has " + describe(*event));
    at_++;
    return event->value;
}

// A trap's own program file comes right before its event (the kernel reads it, then the trap
// ends). One still unread when the trap is answered is its own: whatever else read it first
// in the recording (the start of the process that traps, a run request) has read it by then.
void Replayer::skip_program_of(size_t event) {
    const std::vector<ProgramFile> &programs = recording_.programs;
    if (next_program_ == programs.size() || programs[next_program_].event > event) return;
    auto after =
        std::upper_bound(programs.begin() + ptrdiff_t(next_program_), programs.end(), event,
                         [](size_t e, const ProgramFile &p) { return e < p.event; });
    if (after == programs.begin() + ptrdiff_t(next_program_) || after[-1].event != event) return;
    skipped_programs_[size_t(after - programs.begin()) - 1] = true;
}

Result<std::vector<uint8_t>> Replayer::program_file(std::string_view name, const FileReader &) {
    while (next_program_ < recording_.programs.size() && skipped_programs_[next_program_])
        next_program_++;
    if (next_program_ >= recording_.programs.size())
        throw ReplayDiverged("the kernel reads program " + escape_bytes(name, Escapes::C) +
                             " where the recording has no more program files");
    const ProgramFile &file = recording_.programs[next_program_++];
    if (!file.found) return Failure{file.failure};
    return *file.content;
}

int Replayer::finish(int status) {
    if (at_ != recording_.events.size())
        throw ReplayDiverged("the run ends after event " + std::to_string(at_) + " of " +
                             std::to_string(recording_.events.size()));
    if (status != recording_.status)
        throw ReplayDiverged("the run ends with status " + std::to_string(status) +
                             " where the recording has " + std::to_string(recording_.status));
    return status;
}

} // namespace vekos::replay
