// A process: CPU state, memory and mappings, descriptors, streamed files, current folder and
// symbols, and the run loop that drives the shared engine, finishes the traps that need it (exit,
// run request) and turns faults into outcomes.
#pragma once

#include "common/result.h"
#include "fs/fd_table.h"
#include "fs/stream_files.h"
#include "host/run_limits.h"
#include "kernel/block_counting.h"
#include "kernel/mappings.h"
#include "kernel/trap_dispatcher.h"
#include "loader/elf_image.h"
#include "machine/engine.h"
#include "machine/guest_memory.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vekos {

class Console;
class FifoPipes;
class FileChanges;
class Process;
class RootFs;

constexpr uint32_t kStackTop = 0xC0000000;
constexpr uint32_t kStackSize = 1 << 20; // unless vekos-emu --stack says otherwise
// The stack grows down from kStackTop at most to where mappings end (kMappingLimit).
constexpr uint32_t kMinStackSize = 64 << 10;
constexpr uint32_t kMaxStackSize = 16 << 20;
static_assert(kStackTop - kMaxStackSize >= kMappingLimit, "the largest stack meets the mappings");
constexpr uint32_t kMaxArgBytes = 64 * 1024; // argv strings and pointers together
// An address the guest never reaches: uc_emu_start needs an `until`.
constexpr uint32_t kNoUntil = 0xFFFFFFFF;

// The argument strings and their pointers fit on the entry stack.
bool arguments_fit(const std::vector<std::string> &argv, uint32_t misalign = 0);

struct Outcome {
    // Paused: an instruction or access watch stopped the run (a debugger's). Killed: a
    // debugger ended it. Waiting: a trap left it waiting (on a pipe, a child, the program its
    // run request runs); whoever runs it decides what happens meanwhile. Sliced: its slice of
    // time is spent and another process may run.
    enum class Kind { Exited, Faulted, Limit, Returned, Paused, Killed, Waiting, Sliced };
    Outcome(Kind k = Kind::Exited, int32_t exit_status = 0, Fault what = {}, WaitFor on = {})
        : kind(k), status(exit_status), fault(what), wait(std::move(on)) {}
    Kind kind;
    int32_t status; // Exited
    Fault fault;    // Faulted
    WaitFor wait;   // Waiting
};

// What a process's run loop asks of the kernel: run requests, children, and waits.
class RunRequests {
  public:
    virtual ~RunRequests() = default;
    // Runs the command line of a run request to its end: 0 when it was run, -1 when it
    // couldn't be.
    virtual int32_t run_request(Process &parent, const std::string &line) = 0;
    // A program run waits for what can't come: the parent of the request waits forever too.
    virtual bool deadlocked() const = 0;
    // Starts a child; its process id, or a host error when it can't start.
    virtual Result<int32_t, HostError> spawn(Process &parent, const SpawnRequest &request) = 0;
    // waitpid: the child's id with its status, 0 when `no_hang` and it still runs, a host
    // error when it is no child to wait for; nullopt, with `wait` filled, when it must wait.
    virtual std::optional<Result<int32_t, HostError>>
    reap(Process &parent, int32_t child, bool no_hang, int32_t &status, WaitFor &wait) = 0;
    // A process that no scheduler runs (the first program under a debugger, a test's) waits:
    // the others run until it may go on. False when nothing can end the wait.
    virtual bool wait_here(Process &process, const WaitFor &wait) = 0;
    // A failed run-time check in `process` asks for its frames from the return address
    // `from`; true when a debugger stops the process there.
    virtual bool show_backtrace(Process &process, uint32_t from) = 0;
};

// What processes run on; the kernel owns all of it.
struct ProcessServices {
    Engine *engine; // each process may run on an engine of its own
    TrapDispatcher &traps;
    RootFs &fs;
    FileChanges &changes;
    Console &console;
    RunRequests &runner;
    RunLimits &limits;
    FifoPipes &fifos;
    ProcessTable &table;
    uint32_t stack_size = kStackSize; // a multiple of the page size
    bool replaying = false;           // a replay answers the traps from its recording
};

class Process : private TrapHandler {
  public:
    // Maps the image and a stack.
    static Result<std::unique_ptr<Process>> create(const ProcessServices &services,
                                                   std::string name, const Image &image,
                                                   std::string cwd, int depth);
    ~Process() override;

    // Lays out the entry stack: esp -> argc, argv[0..argc-1], 0, then the strings.
    bool set_arguments(const std::vector<std::string> &argv) { return lay_out(argv, 0); }
    // Attaches to the engine and loads the entry registers: eip = entry, esp as laid out,
    // everything else zero.
    void start();
    // Runs from the current eip until exit, fault, the run's limits or `until`.
    Outcome run(uint32_t until = kNoUntil);

    // Writable memory and CPU state, to hand out fresh copies of a process cheaply.
    struct Snapshot {
        GuestMemory::Snapshot memory;
        std::unique_ptr<Engine::Context> cpu;
    };
    std::shared_ptr<Snapshot> snapshot();
    void restore(const Snapshot &snapshot);

    // Takes the process off its engine, CPU state included, while the child of its run
    // request runs there, and puts it back when it goes.
    class Suspension {
      public:
        explicit Suspension(Process &process);
        ~Suspension();
        Suspension(const Suspension &) = delete;
        Suspension &operator=(const Suspension &) = delete;

      private:
        Process &process_;
        std::unique_ptr<Engine::Context> cpu_;
    };

    GuestMemory &memory() { return memory_; }
    Mappings &mappings() { return mappings_; }
    FdTable &fds() { return fds_; }
    Engine &engine() { return engine_; }
    // Its id in the run (1 for the first program), set when the kernel starts it.
    int pid() const { return pid_; }
    void set_pid(int pid) { pid_ = pid; }
    // A scheduler runs it: a wait or a spent slice hands it back (else waits go to the
    // kernel's wait_here).
    void set_scheduled(bool scheduled) { scheduled_ = scheduled; }
    std::string &cwd() { return cwd_; }
    const std::string &name() const { return name_; }
    int depth() const { return depth_; }
    const SymbolTable &symbols() const { return symbols_; }
    // The lowest address of the stack (its top is kStackTop).
    uint32_t stack_bottom() const { return kStackTop - stack_size_; }
    // The whole run's limits and budget, shared with every other program.
    RunLimits &limits() { return limits_; }
    InstructionBudget &budget() { return limits_.instructions(); }
    // Coverage and profiles: the counter that hears of every block this process runs (and
    // of the host time of its traps) whenever it is on the engine.
    void set_block_counter(std::shared_ptr<ProcessCounter> counter);

    // "read of unmapped address 0x00000000 at 0x00400123 (strlen+0x13)"
    std::string describe(const Fault &fault) const;

  private:
    friend class TestHooks; // lowers the layout, for start-up alignment tests
    Process(const ProcessServices &services, std::string name, std::string cwd, int depth);
    // The entry stack, lowered as a whole by `misalign` bytes.
    bool lay_out(const std::vector<std::string> &argv, uint32_t misalign);
    void on_trap() override;
    std::optional<uint64_t> on_time_stamp() override;
    // A trap left waiting (process.cpp says how): false when it can't run again.
    bool leave_trap(const PendingAction &action);
    void take_up_trap();
    // Puts eip back on the `int 0x80` just served, so that the trap runs again.
    bool rewind_trap();
    // The run loop's part of spawn and waitpid.
    int32_t spawn_child(PendingAction &action);
    std::optional<int32_t> wait_for_child(PendingAction &action, WaitFor &wait);
    // This process is the one the engine runs now: its memory, its block counter.
    void attach();
    void count_stop(const Engine::RunResult &result);

    Engine &engine_;
    TrapDispatcher &traps_;
    RunRequests &runner_;
    RunLimits &limits_;
    std::string name_;
    std::string cwd_;
    const std::string initial_cwd_;
    int depth_;
    GuestMemory memory_;
    FdTable fds_;
    // Go with the process: its mappings and streams not ended are released first thing.
    Mappings mappings_;
    StreamFiles streams_;
    SpawnSettings spawn_settings_;
    int pid_ = 0;
    bool scheduled_ = false;
    // What the trap it waits on gives when it runs again, when the wait has an answer.
    std::optional<int32_t> answer_;
    TrapContext context_;
    SymbolTable symbols_;
    uint32_t entry_ = 0;
    uint32_t initial_esp_ = kStackTop;
    uint32_t stack_size_ = kStackSize;
    std::shared_ptr<ProcessCounter> counter_;
};

} // namespace vekos
