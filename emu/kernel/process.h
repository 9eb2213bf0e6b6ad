// A process: its memory, descriptors, current folder and symbols, and the run loop that
// drives the shared engine, acts on traps that need the loop (exit, run request) and turns
// faults into outcomes.
#pragma once

#include "elf_image.h"
#include "engine.h"
#include "fd_table.h"
#include "guest_memory.h"
#include "trap_record.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vekos {

class Kernel;

constexpr uint32_t kStackTop = 0xC0000000;
constexpr uint32_t kStackSize = 1 << 20;
constexpr uint32_t kMaxArgBytes = 64 * 1024; // argv strings and pointers together
// An address the guest never reaches: uc_emu_start needs an `until`.
constexpr uint32_t kNoUntil = 0xFFFFFFFF;

struct Outcome {
    enum class Kind { Exited, Faulted, Limit, Returned } kind;
    int32_t status = 0; // Exited
    Fault fault{};      // Faulted
};

class Process : public TrapHandler {
  public:
    // Maps the image and a stack; nullptr and a reason when that is impossible.
    static std::unique_ptr<Process> create(Kernel &kernel, std::string name, const Image &image,
                                           std::string cwd, int depth, std::string *error);
    ~Process() override;

    // Lays out the entry stack: esp -> argc, argv[0..argc-1], 0, then the strings. `misalign`
    // lowers the whole layout by that many bytes (for start-up alignment tests).
    bool set_arguments(const std::vector<std::string> &argv, uint32_t misalign = 0);
    // Attaches to the engine and loads the entry registers: eip = entry, esp as laid out,
    // everything else zero.
    void start();
    // Runs from the current eip until exit, fault, instruction limit or `until`.
    Outcome run(uint32_t until = kNoUntil);

    // Writable memory and CPU state, to hand out fresh copies of a process cheaply.
    struct Snapshot;
    std::shared_ptr<Snapshot> snapshot();
    void restore(const Snapshot &snapshot);

    // While a child runs on the shared engine.
    void suspend();
    void resume();

    Kernel &kernel() { return kernel_; }
    Engine &engine();
    GuestMemory &memory() { return memory_; }
    FdTable &fds() { return fds_; }
    std::string &cwd() { return cwd_; }
    const std::string &name() const { return name_; }
    int depth() const { return depth_; }
    const SymbolTable &symbols() const { return symbols_; }
    InstructionBudget &budget() { return budget_; }
    // "read of unmapped address 0x00000000 at 0x00400123 (strlen+0x13)"
    std::string describe(const Fault &fault) const;

    // For trap handlers: stop the engine and let the run loop act.
    void request_exit(int32_t status);
    void request_run(std::string line);
    bool acting() const { return exit_requested_ || run_line_.has_value(); }
    // The trap being handled, recorded only when someone observes traps.
    std::optional<TrapRecord> &trap_record() { return trap_record_; }

    void on_trap() override;

  private:
    Process(Kernel &kernel, std::string name, std::string cwd, int depth);

    Kernel &kernel_;
    std::string name_;
    std::string cwd_;
    const std::string initial_cwd_;
    int depth_;
    GuestMemory memory_;
    FdTable fds_;
    SymbolTable symbols_;
    uint32_t entry_ = 0;
    uint32_t initial_esp_ = kStackTop;
    InstructionBudget budget_;
    std::unique_ptr<Engine::Context> suspended_;
    bool exit_requested_ = false;
    int32_t exit_status_ = 0;
    std::optional<std::string> run_line_;
    std::optional<TrapRecord> trap_record_;
    std::exception_ptr pending_exception_;
};

} // namespace vekos
