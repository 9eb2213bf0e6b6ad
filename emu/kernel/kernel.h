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
#include "kernel/trap_dispatcher.h"
#include "loader/programs.h"
#include "machine/engine.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vekos::profile {
class Collector;
}

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

// Runs the first program in place of Process::run, under a debugger (vekos-emu --gdb); the
// programs it starts by run requests run freely.
class Debugger {
  public:
    virtual ~Debugger() = default;
    virtual Outcome run(Process &process) = 0;
};

class Kernel : private RunRequests {
  public:
    Kernel(RootFs fs, Console &console, KernelOptions options = {});
    ~Kernel() override;

    Engine &engine() { return *engine_; }
    RootFs &fs() { return fs_; }
    void set_fs(RootFs fs) { fs_ = std::move(fs); }
    Console &console() { return console_; }
    RunLimits &limits() { return limits_; }
    const KernelOptions &options() const { return options_; }

    void add_observer(TrapObserver *observer) { traps_.add_observer(observer); }
    void remove_observer(TrapObserver *observer) { traps_.remove_observer(observer); }
    void set_debugger(Debugger *debugger) { debugger_ = debugger; }
    // Coverage and profiles: every process loaded from now on counts its blocks into it.
    void set_collector(profile::Collector *collector) { collector_ = collector; }

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
    // The same for an image already read.
    Result<std::unique_ptr<Process>> load_image(const std::vector<uint8_t> &file, ProgramKind kind,
                                                const std::vector<std::string> &argv,
                                                const std::string &cwd, int depth);

    // "vekos-emu: NAME: MESSAGE" on stderr, after the console's pending output; control bytes
    // in either are escaped (\n, \x1b).
    void report(std::string_view name, std::string_view message);

  private:
    struct Ran {
        bool started;
        int status;
    };
    // Runs the program named by words[0], found inside the root unless `host_path` says where.
    Ran run_words(const std::vector<std::string> &words, const std::string &cwd, int depth,
                  const std::string *host_path = nullptr);
    Ran run_script(const std::string &name, const std::vector<uint8_t> &text,
                   const std::string &cwd, int depth);
    // Reports the first stop by the run's limits; later ones are its consequence.
    void stopped(std::string_view name);

    RootFs fs_;
    Console &console_;
    KernelOptions options_;
    std::unique_ptr<Engine> engine_;
    RunLimits limits_;
    bool stopped_ = false;
    bool deadlocked_ = false;
    int next_pid_ = 1; // each program started takes the next, for messages
    TrapDispatcher traps_;
    FileChanges changes_;
    FifoPipes fifos_;
    ProcessServices services_;
    std::unique_ptr<Process> first_program_;
    Debugger *debugger_ = nullptr;
    profile::Collector *collector_ = nullptr;
};

} // namespace vekos
