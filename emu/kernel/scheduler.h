// The scheduler. One host thread runs every process in turn: a process runs until it waits,
// ends or has run for a slice of time, then the next one that may go on has its turn. When
// none may, it waits for time or input if a waiter may get them, and otherwise reports the
// deadlock. A run request's parent stays on the C++ stack below its child's loop (the child
// borrows its engine); the others still run.
#pragma once

#include "host/console.h"
#include "host/run_limits.h"
#include "kernel/engine_pool.h"
#include "kernel/process.h"
#include "kernel/run_journal.h"
#include "kernel/run_reports.h"
#include "kernel/slice_timer.h"
#include "kernel/task_table.h"

#include <functional>
#include <memory>
#include <string>

namespace vekos {

// A script's turn: it runs its next line (kernel/launcher.h).
class ScriptTurns {
  public:
    virtual ~ScriptTurns() = default;
    virtual void script_turn(Task &task) = 0;
};

class Scheduler {
  public:
    Scheduler(TaskTable &tasks, EnginePool &engines, RunLimits &limits, Console &console,
              RunReports &reports, ScriptTurns &scripts);

    // Puts the process (none for a script) in the table and starts it; parent 0: the kernel
    // waits for it.
    Task &start(std::unique_ptr<Process> process, std::string name, int parent);
    // Runs the table's processes in turn until `done` or a deadlock; false on a deadlock.
    // `here`: what a process no scheduler runs waits for meanwhile.
    bool run_until(const std::function<bool()> &done, const WaitFor *here = nullptr);
    // Runs until the process ended and takes it from the table; its status.
    int run_to_end(int pid);
    // The task's process ended as `outcome` says (a script's once its lines are done).
    void end(Task &task, Outcome outcome);
    // Ends every process that hasn't ended, as killed from the debugger.
    void kill_all();
    // RunRequests::wait_here: the others run until the wait may end.
    bool wait_here(Process &process, const WaitFor &wait);
    // A program waited with nothing left that could end its wait; nothing runs after that.
    bool deadlocked() const { return deadlocked_; }
    // Record or replay: the journal hears of a deadlock.
    void set_journal(RunJournal *journal) { journal_ = journal; }

  private:
    bool may_go_on(const Task &task) const;
    void run_turn(Task &task);
    // Nothing can run: waits for time or input when a waiter may get them; false when none can.
    bool idle(const WaitFor *here);
    // Every process that hasn't ended waits: one line each.
    void report_deadlock(const WaitFor *here);
    // Time slices are needed once a spawned process lives: run requests only nest.
    void update_slices();

    TaskTable &tasks_;
    EnginePool &engines_;
    RunLimits &limits_;
    Console &console_;
    RunReports &reports_;
    ScriptTurns &scripts_;
    SliceTimer slices_;
    RunJournal *journal_ = nullptr;
    bool deadlocked_ = false;
};

} // namespace vekos
