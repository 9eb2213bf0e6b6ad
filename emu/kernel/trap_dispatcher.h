// Trap dispatch: reads a trap off the engine, lets the observers see it (and perhaps answer
// it), runs its row's handler and puts the result back. A trap that needs the run loop (exit,
// the run request) is left as a PendingAction and finished by complete().
#pragma once

#include "kernel/run_journal.h"
#include "kernel/trap_record.h"
#include "kernel/trap_table.h"

#include <vector>

namespace vekos {

class Engine;

class TrapDispatcher {
  public:
    void add_observer(TrapObserver *observer) { observers_.push_back(observer); }
    void remove_observer(TrapObserver *observer);
    // Record or replay: the journal sees every trap first.
    void set_journal(RunJournal *journal) { journal_ = journal; }

    // Serves the trap the engine stands at, from its interrupt hook.
    void dispatch(Engine &engine, TrapContext &context);
    bool acting() const { return action_.kind != PendingAction::Kind::None; }
    // What the last trap left for the run loop, once.
    PendingAction take_action();
    // Finishes the trap behind `action` with the run loop's result.
    void complete(Engine &engine, TrapContext &context, PendingAction &action, int32_t result);
    // `rdtsc`: the counter's value, or none when the process must wait for its turn (then a
    // Wait is left as for a trap).
    std::optional<uint64_t> time_stamp(Engine &engine, TrapContext &context);

  private:
    void notify_after(const TrapRecord &record);

    std::vector<TrapObserver *> observers_;
    RunJournal *journal_ = nullptr;
    PendingAction action_;
};

} // namespace vekos
