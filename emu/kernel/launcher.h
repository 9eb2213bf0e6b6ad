// Starting programs: vekos-emu's first, each command line of a run request or a script, and
// each child a process spawns. A program is found inside the root (the current folder, then
// /bin), or for the first one also as a host file; its file is read through the journal when
// there is one. A script runs line by line, each line as a run request.
#pragma once

#include "common/result.h"
#include "fs/root_fs.h"
#include "host/console.h"
#include "host/run_limits.h"
#include "kernel/block_counting.h"
#include "kernel/engine_pool.h"
#include "kernel/process.h"
#include "kernel/run_journal.h"
#include "kernel/run_reports.h"
#include "kernel/scheduler.h"
#include "kernel/task_table.h"
#include "loader/programs.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

// Run requests may nest this deep below the first program.
constexpr int kMaxNesting = 16;
// The longest script read.
constexpr size_t kMaxScript = 1 << 20;

// Runs the first program in place of Process::run, under a debugger (vekos-emu --gdb); the
// programs it starts by run requests run freely.
class Debugger {
  public:
    virtual ~Debugger() = default;
    virtual Outcome run(Process &process) = 0;
    // What becomes of a failed run-time check's report in `process`: its frames are shown
    // unless they were already (the run going over the same stretch again), and the
    // debugger may stop the program there.
    struct ReportTurn {
        bool show = true;
        bool stop = false;
    };
    virtual ReportTurn on_report(Process &process) = 0;
};

class Launcher final : public ScriptTurns {
  public:
    // `processes`: what processes run on, with the kernel's first engine.
    Launcher(RootFs &fs, Console &console, RunLimits &limits, const ProcessServices &processes,
             EnginePool &engines, TaskTable &tasks, Scheduler &scheduler, RunReports &reports)
        : fs_(fs), console_(console), limits_(limits), processes_(processes), engines_(engines),
          tasks_(tasks), scheduler_(scheduler), reports_(reports) {}

    void set_debugger(Debugger *debugger) { debugger_ = debugger; }
    Debugger *debugger() const { return debugger_; }
    void set_journal(RunJournal *journal) { journal_ = journal; }
    void set_counters(ProcessCounters *counters) { counters_ = counters; }

    // Runs the first program, and every process it starts, to their end; vekos-emu's status
    // (Kernel::run_main).
    int run_main(const std::vector<std::string> &argv, const std::string &cwd);
    // The run request: runs the command line to its end; 0 when it was run (even if it then
    // faulted: that ends only the child), -1 when it couldn't be. Once the run's limits stop
    // a program, every later one stops too.
    int32_t run_request(Process &parent, const std::string &line);
    // Starts a child at once; it runs when its turn comes.
    Result<int32_t, HostError> spawn(Process &parent, const SpawnRequest &request);
    // Loads the image at a host path onto the first engine (Kernel::load_image), or one
    // already read onto `engine`, as `kind` says, with argv laid out on its entry stack.
    Result<std::unique_ptr<Process>> load_image(const std::string &host_path, ProgramKind kind,
                                                const std::vector<std::string> &argv,
                                                const std::string &cwd, int depth);
    Result<std::unique_ptr<Process>> load_image(const std::vector<uint8_t> &file, ProgramKind kind,
                                                const std::string &name,
                                                const std::vector<std::string> &argv,
                                                const std::string &cwd, int depth, Engine &engine);

  private:
    struct Ran {
        bool started;
        int status;
    };
    // Runs one command line; 0 or -1 as the run request.
    int32_t run_line(const std::string &line, const std::string &cwd, int depth);
    // Runs the program named by words[0], found inside the root unless `host_path` says where.
    Ran run_words(const std::vector<std::string> &words, const std::string &cwd, int depth,
                  const std::string *host_path = nullptr);
    // Scripts (scripts.cpp): one the kernel runs, and a spawned one's turn.
    Ran run_script(const std::string &name, const std::vector<uint8_t> &text,
                   const std::string &cwd, int depth);
    void script_turn(Task &task) override;
    // A program file, through the journal when there is one.
    Result<std::vector<uint8_t>> program_file(std::string_view name,
                                              const RunJournal::FileReader &read);

    RootFs &fs_;
    Console &console_;
    RunLimits &limits_;
    const ProcessServices &processes_;
    EnginePool &engines_;
    TaskTable &tasks_;
    Scheduler &scheduler_;
    RunReports &reports_;
    // The process whose run request is running now: its child runs on its engine, as
    // starting an engine costs more than the parent's translations it drops.
    Process *requester_ = nullptr;
    Debugger *debugger_ = nullptr;
    RunJournal *journal_ = nullptr;
    ProcessCounters *counters_ = nullptr;
};

} // namespace vekos
