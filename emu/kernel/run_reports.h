// What vekos-emu says about a run on stderr, after the console's pending output: programs
// that could not run, the first stop by the run's limits, and how each process ended, with
// the status that gives.
#pragma once

#include "host/console.h"
#include "host/run_limits.h"
#include "kernel/process.h"
#include "kernel/task_table.h"

#include <string_view>

namespace vekos {

class RunReports {
  public:
    // `timeout_seconds`: the run's, 0 for none.
    RunReports(Console &console, RunLimits &limits, double timeout_seconds)
        : console_(console), limits_(limits), timeout_seconds_(timeout_seconds) {}

    // "vekos-emu: NAME: MESSAGE"; control bytes in either are escaped (\n, \x1b).
    void report(std::string_view name, std::string_view message);
    // The run's limits stopped `name`: reported the first time only, as later stops are its
    // consequence.
    void stopped(std::string_view name);
    bool stopped() const { return stopped_; }
    // vekos-emu's status for how the task's process ended, reported as it must be. A debugged
    // program that waits with nothing left to run (kStatusDeadlock) is the caller's to report.
    int ended(const Task &task, Outcome &outcome, const TaskTable &tasks);

  private:
    Console &console_;
    RunLimits &limits_;
    const double timeout_seconds_;
    bool stopped_ = false;
};

} // namespace vekos
