// The kernel: the file-system root, the console, the run's limits and the trap dispatcher, and
// the pieces that run programs, each in its own file: the process table (task_table.h), the
// scheduler (scheduler.h), the engines processes run on (engine_pool.h), starting programs
// for vekos-emu, run requests, scripts and spawns (launcher.h), and what the run reports
// (run_reports.h). The kernel owns them and joins them together.
#pragma once

#include "common/exit_status.h"
#include "common/result.h"
#include "fs/pipe.h"
#include "fs/read_ahead.h"
#include "fs/root_fs.h"
#include "host/console.h"
#include "host/run_limits.h"
#include "kernel/block_counting.h"
#include "kernel/engine_pool.h"
#include "kernel/launcher.h"
#include "kernel/process.h"
#include "kernel/run_reports.h"
#include "kernel/scheduler.h"
#include "kernel/task_table.h"
#include "kernel/trap_dispatcher.h"
#include "loader/programs.h"
#include "machine/engine.h"

#include <memory>
#include <string>
#include <vector>

namespace vekos {

// Limits of the whole run: every program it starts, run requests and script lines count.
struct KernelOptions {
    uint64_t max_instructions = 0;    // 0: no limit
    double timeout_seconds = 0;       // wall clock, sleeps included; 0: no limit
    uint32_t stack_size = kStackSize; // of each program: kMinStackSize to kMaxStackSize, paged
    uint64_t max_memory = 0;          // mapped and streamed bytes held at once; 0: no limit
};

class Kernel : private RunRequests {
  public:
    Kernel(RootFs fs, Console &console, KernelOptions options = {});
    ~Kernel() override;

    Engine &engine() { return *engine_; }
    RootFs &fs() { return fs_; }
    Console &console() { return console_; }
    RunLimits &limits() { return limits_; }
    const KernelOptions &options() const { return options_; }

    void add_observer(TrapObserver *observer) { traps_.add_observer(observer); }
    void remove_observer(TrapObserver *observer) { traps_.remove_observer(observer); }
    void set_debugger(Debugger *debugger) { launcher_.set_debugger(debugger); }
    // Record or replay: the journal sees every trap, time-stamp read and program file first.
    // Set before the first program runs.
    void set_journal(RunJournal *journal, bool replaying);
    // Coverage and profiles: every process loaded from now on counts its blocks into them.
    void set_counters(ProcessCounters *counters) { launcher_.set_counters(counters); }

    // Runs argv[0] with its arguments from the guest folder `cwd`; returns vekos-emu's
    // status (kStatusLimit when the run's limits stopped it anywhere). argv[0] may also name
    // a host file by a path with a slash.
    int run_main(const std::vector<std::string> &argv, const std::string &cwd = "/") {
        return launcher_.run_main(argv, cwd);
    }

    // Loads the image at a host path as `kind` says, with argv laid out on its entry stack.
    // vekos-emu takes the kind from the name the program was run by, the test harness from
    // the image's file name. Such processes run on the kernel's first engine.
    Result<std::unique_ptr<Process>> load_image(const std::string &host_path, ProgramKind kind,
                                                const std::vector<std::string> &argv,
                                                const std::string &cwd, int depth) {
        return launcher_.load_image(host_path, kind, argv, cwd, depth);
    }

  private:
    friend class TestHooks; // puts in another root

    // RunRequests, for the processes' run loops.
    int32_t run_request(Process &parent, const std::string &line) override {
        return launcher_.run_request(parent, line);
    }
    bool deadlocked() const override { return scheduler_.deadlocked(); }
    Result<int32_t, HostError> spawn(Process &parent, const SpawnRequest &request) override {
        return launcher_.spawn(parent, request);
    }
    std::optional<Result<int32_t, HostError>> reap(Process &parent, int32_t child, bool no_hang,
                                                   int32_t &status, WaitFor &wait) override {
        return tasks_.reap(parent.pid(), child, no_hang, status, wait);
    }
    bool wait_here(Process &process, const WaitFor &wait) override {
        return scheduler_.wait_here(process, wait);
    }
    bool show_backtrace(Process &process, uint32_t from) override;

    // In this order, so that processes go before the engines they ran on and before what
    // they hold (pipes, memory counted against the limits), and the time slices stop first.
    RootFs fs_;
    Console &console_;
    KernelOptions options_;
    std::unique_ptr<Engine> engine_; // the first program's
    RunLimits limits_;
    TrapDispatcher traps_;
    FileChanges changes_;
    FifoPipes fifos_;
    ProcessServices services_;
    RunReports reports_;
    EnginePool engines_;
    TaskTable tasks_;
    Scheduler scheduler_;
    Launcher launcher_;
};

} // namespace vekos
