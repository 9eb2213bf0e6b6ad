// The kernel: the file system root, the console, the shared engine and the trap dispatcher;
// it starts programs for vekos-emu and for the run request.
#pragma once

#include "common/exit_status.h"
#include "common/result.h"
#include "fs/pipe.h"
#include "fs/read_ahead.h"
#include "fs/root_fs.h"
#include "host/console.h"
#include "host/run_limits.h"
#include "kernel/process.h"
#include "kernel/slice_timer.h"
#include "kernel/trap_dispatcher.h"
#include "loader/programs.h"
#include "machine/engine.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

// Limits of the whole run: every program it starts, run requests and script lines count.
struct KernelOptions {
    uint64_t max_instructions = 0;    // 0: no limit
    double timeout_seconds = 0;       // wall clock, sleeps included; 0: no limit
    uint32_t stack_size = kStackSize; // of each program: kMinStackSize to kMaxStackSize, paged
    uint64_t max_memory = 0;          // mapped and streamed bytes held at once; 0: no limit
};

// Run requests may nest this deep below the first program.
constexpr int kMaxNesting = 16;
// Processes the table holds at once, running, waiting or ended and not yet waited for.
constexpr size_t kMaxProcesses = 64;

// The next command line of a script from `at` on, trimmed; none for a blank or comment line.
std::optional<std::string> next_script_line(std::string_view text, size_t &at);

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

class Kernel : private RunRequests, private ProcessTable {
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
    void set_debugger(Debugger *debugger) { debugger_ = debugger; }
    // Record or replay: the journal sees every trap, time-stamp read and program file first.
    // Set before the first program runs.
    void set_journal(RunJournal *journal, bool replaying);
    // Coverage and profiles: every process loaded from now on counts its blocks into them.
    void set_counters(ProcessCounters *counters) { counters_ = counters; }

    // Runs argv[0] with its arguments from the guest folder `cwd`; returns vekos-emu's
    // status (kStatusLimit when the run's limits stopped it anywhere). argv[0] may also name
    // a host file by a path with a slash.
    int run_main(const std::vector<std::string> &argv, const std::string &cwd = "/");
    // The run request: runs the command line to its end; 0 when it was run (even if it then
    // faulted: that ends only the child), -1 when it couldn't be. Once the run's limits stop
    // a program, every later one stops too.
    int32_t run_request(Process &parent, const std::string &line) override;
    // A program waited with nothing left that could end its wait; nothing runs after that.
    bool deadlocked() const override { return deadlocked_; }
    // Runs one command line (also each line of a script); 0 or -1 as the run request.
    int32_t run_line(const std::string &line, const std::string &cwd, int depth);

    // Loads the image at a host path as `kind` says, with argv laid out on its entry stack.
    // vekos-emu takes the kind from the name the program was run by, the test harness from
    // the image's file name.
    Result<std::unique_ptr<Process>> load_image(const std::string &host_path, ProgramKind kind,
                                                const std::vector<std::string> &argv,
                                                const std::string &cwd, int depth);
    // The same for an image already read. Such processes run on the kernel's first engine.
    Result<std::unique_ptr<Process>> load_image(const std::vector<uint8_t> &file, ProgramKind kind,
                                                const std::vector<std::string> &argv,
                                                const std::string &cwd, int depth) {
        return load_image(file, kind, argv.empty() ? std::string() : argv[0], argv, cwd, depth,
                          *engine_);
    }

    // "vekos-emu: NAME: MESSAGE" on stderr, after the console's pending output; control bytes
    // in either are escaped (\n, \x1b).
    void report(std::string_view name, std::string_view message);

  private:
    friend class TestHooks; // puts in another root
    struct Ran {
        bool started;
        int status;
    };
    // A process of the run, or a script run as one: running, waiting, or ended and not yet
    // waited for.
    struct Task {
        enum class State { Ready, Waiting, Held, Ended };
        int pid = 0;
        int parent = 0;              // 0: the kernel waits for it, or its parent has ended
        bool kernel_waits = false;   // run by the kernel (the first program, run requests)
        bool borrows_engine = false; // runs on its run request's parent's engine
        std::string name;
        std::unique_ptr<Process> process;                // none for a script, nor once ended
        std::shared_ptr<const std::vector<uint8_t>> elf; // the image, for a fault's backtrace
        State state = State::Ready;
        WaitFor wait; // Waiting; Held: what it waits for, for a deadlock's report
        int status = 0;
        struct Script {
            std::string text;
            size_t at = 0;
            std::string cwd;
            int depth = 0;
        };
        std::optional<Script> script;
    };

    Result<std::unique_ptr<Process>> load_image(const std::vector<uint8_t> &file, ProgramKind kind,
                                                const std::string &name,
                                                const std::vector<std::string> &argv,
                                                const std::string &cwd, int depth, Engine &engine);
    // A program file, through the journal when there is one.
    Result<std::vector<uint8_t>> program_file(std::string_view name,
                                              const RunJournal::FileReader &read);
    // Runs the program named by words[0], found inside the root unless `host_path` says where.
    Ran run_words(const std::vector<std::string> &words, const std::string &cwd, int depth,
                  const std::string *host_path = nullptr);
    Ran run_script(const std::string &name, const std::vector<uint8_t> &text,
                   const std::string &cwd, int depth);
    // Reports the first stop by the run's limits; later ones are its consequence.
    void stopped(std::string_view name);
    // "hello.uelf", or "hello.uelf (pid 3)" once several processes were started.
    std::string shown_name(const Task &task) const;
    // vekos-emu's status for how a process ended, reported as it must be.
    int ended_status(Task &task, Outcome &outcome);

    // The process table and its scheduler (processes.cpp).
    // Starts the process; parent 0: the kernel waits for it.
    Task &add_task(std::unique_ptr<Process> process, std::string name, int parent);
    void run_script_turn(Task &task);
    Task *find_task(int pid);
    void remove_task(int pid);
    // Runs the table's processes in turn until `done` or a deadlock; false on a deadlock.
    bool run_until(const std::function<bool()> &done, const WaitFor *here = nullptr);
    // Runs until the process ended and takes it from the table; its status.
    int run_to_end(int pid);
    Task *next_ready();
    bool may_go_on(const Task &task) const;
    void run_turn(Task &task);
    void end_task(Task &task, Outcome outcome);
    // Ends every process that hasn't ended, as killed from the debugger.
    void kill_all();
    // Nothing can run: waits for time or input when a waiter may get them; false when none can.
    bool idle(const WaitFor *here);
    void report_deadlock(const WaitFor *here);
    Engine &take_engine();
    void release(std::unique_ptr<Process> process, bool borrowed);
    // Time slices are needed once a spawned process lives: run requests only nest.
    void update_slices();
    size_t live_tasks() const;
    // RunRequests and ProcessTable, for the run loop and the traps.
    Result<int32_t, HostError> spawn(Process &parent, const SpawnRequest &request) override;
    std::optional<Result<int32_t, HostError>> reap(Process &parent, int32_t child, bool no_hang,
                                                   int32_t &status, WaitFor &wait) override;
    bool wait_here(Process &process, const WaitFor &wait) override;
    bool show_backtrace(Process &process, uint32_t from) override;
    bool alone() const override { return live_tasks() <= 1; }
    bool several() const override { return next_pid_ > 2; }

    RootFs fs_;
    Console &console_;
    KernelOptions options_;
    std::unique_ptr<Engine> engine_;
    // Engines of processes after the first: one each while they live, then kept for the next.
    std::vector<std::unique_ptr<Engine>> engines_;
    std::vector<Engine *> idle_engines_;
    RunLimits limits_;
    SliceTimer slices_;
    bool stopped_ = false;
    bool deadlocked_ = false;
    int next_pid_ = 1;                         // each program started takes the next
    std::vector<std::unique_ptr<Task>> tasks_; // in start order
    size_t turn_ = 0;                          // where the search for the next to run starts
    TrapDispatcher traps_;
    FileChanges changes_;
    FifoPipes fifos_;
    ProcessServices services_;
    std::unique_ptr<Process> first_program_;
    // The process whose run request is running now: its child runs on its engine, as
    // starting an engine costs more than the parent's translations it drops.
    Process *requester_ = nullptr;
    Debugger *debugger_ = nullptr;
    RunJournal *journal_ = nullptr;
    ProcessCounters *counters_ = nullptr;
};

} // namespace vekos
