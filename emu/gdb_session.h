// vekos-emu --gdb: the first program runs under the gdb stub. It stops before its first
// instruction; gdb's breakpoints, steps and Ctrl-C are checked by an instruction watch on
// the engine, present only while gdb is connected; each of gdb's watchpoints is an access
// watch on the engine, present only while gdb has it set; a fault stops it at the faulting
// instruction with the matching signal, and its end is reported with the exit status.
// A failed run-time check stops it after the trap that reports it, with SIGTRAP. A
// breakpoint where no code can run (where a function gdb calls returns to, on the stack) is
// hit when the program gets there. Programs it starts by run requests run freely, unwatched.
// A gdb that detaches or disconnects, or that the stub drops for flooding it, lets the
// program run on; gdb's kill ends it, and the run's deadline ends every wait for gdb. gdb's
// writes to eflags leave the trap flag as the program has it.
//
// Given the history of a replayed run, gdb may also run the program backwards. The session
// counts the instructions the program runs and keeps checkpoints (replay/checkpoints.h)
// every so many of them, and one right after each event that can't be undone (the history's
// floor moving); going back to an instruction is restoring the nearest checkpoint
// before it and running forward to it again, which the history makes exact. Going back to
// the last breakpoint or watchpoint hit runs each interval between checkpoints again, newest
// first, noting the hits, and stops at the last one: at a watched store, before it runs.
#pragma once

#include "debug/gdb_remote.h"
#include "kernel/kernel.h"
#include "replay/checkpoints.h"
#include "replay/run_history.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

namespace vekos {

// Checkpoint memory unless vekos-emu --checkpoint-memory says otherwise.
constexpr uint64_t kDefaultCheckpointMemory = uint64_t(256) << 20;

class GdbSession : public Debugger,
                   private debug::DebugTarget,
                   private InstructionWatch,
                   private AccessWatch {
  public:
    GdbSession(std::unique_ptr<debug::GdbStub> stub, Engine &engine)
        : stub_(std::move(stub)), engine_(engine) {}
    Outcome run(Process &process) override;
    ReportTurn on_report(Process &process) override;
    // The replayed run's history: with it gdb may run the program backwards; without, gdb is
    // told it can't. Checkpoints hold at most `bytes` of memory.
    void set_history(RunHistory *history) {
        history_ = history;
        stub_->set_reverse(history != nullptr);
    }
    void set_checkpoint_memory(uint64_t bytes) { checkpoints_.set_budget(bytes); }

  private:
    // The engine's index of gdb's register `reg`, or -1.
    static int engine_reg(int reg);
    bool read_register(int reg, std::span<uint8_t> out) override;
    bool write_register(int reg, std::span<const uint8_t> in) override;
    bool read_memory(uint32_t addr, std::span<uint8_t> out) override;
    bool write_memory(uint32_t addr, std::span<const uint8_t> in) override;
    bool stop_before(uint32_t eip) override;
    bool stop_after(uint32_t address, uint32_t size, bool write) override;
    // The stop for the first of gdb's watchpoints an access sets off.
    std::optional<debug::Stop> watch_hit(uint32_t address, uint32_t size, bool write) const;
    // Gives the engine an access watch for each of gdb's watchpoints, and no other.
    void sync_watchpoints();
    void unwatch_all();
    // Runs the program on until the next stop gdb hears of.
    debug::Stop resume(debug::Resume how);
    // A fetch fault at one of gdb's breakpoints.
    bool fetched_breakpoint(const Outcome &outcome) const;
    // Runs forwards, stopping at the marks for checkpoints on the way.
    Outcome run_forward();
    // The stop gdb hears of for an end of the run, which it notes in ended_.
    debug::Stop ended_by(const Outcome &outcome);

    // Running backwards.
    struct Hit {
        uint64_t at; // instructions run before the one that hit
        debug::Stop stop;
    };
    bool replay_before(uint32_t eip);
    void take_checkpoint();
    // Drops the checkpoints before the history's floor, takes one when one is due (or none is
    // left), and sets the next mark.
    void mark();
    void plan_marks();
    bool restore(Checkpoints::Taken at);
    // Runs forward from a restored checkpoint to `target` instructions, noting hits when
    // `scan`; a stop when the run ends first (never in an exact replay).
    std::optional<debug::Stop> seek(uint64_t target, bool scan);
    // Restores the checkpoint nearest before `target` and runs to it.
    std::optional<debug::Stop> go_to(uint64_t target);
    debug::Stop reverse_step();
    debug::Stop reverse_continue();
    // gdb changed the program: checkpoints of the run as it went are of no use from here on.
    // Its first change after one of its calls returned ends the call.
    void changed_by_gdb();

    std::unique_ptr<debug::GdbStub> stub_;
    Engine &engine_;
    Process *process_ = nullptr;
    std::optional<Outcome> ended_; // how the program ended (a fault: gdb sees it first)
    bool stepping_ = false;
    bool resuming_ = false; // the first instruction of a resume runs, breakpoint or not
    bool interrupted_ = false;
    bool forward_ = false;       // gdb runs the program forwards: a report stops it
    bool reported_ = false;      // ... and one did
    uint64_t reports_shown_ = 0; // the run showed the reports up to this many instructions
    uint32_t until_poll_ = 0;
    std::map<debug::Watchpoint, Engine::AccessWatchId> access_watches_;
    std::optional<debug::Stop> watched_; // the first watchpoint the running instruction hit

    RunHistory *history_ = nullptr;
    Checkpoints checkpoints_{kDefaultCheckpointMemory};
    uint64_t executed_ = 0;           // instructions the program has run
    uint32_t last_eip_ = 0;           // of the last one counted
    uint64_t next_mark_ = UINT64_MAX; // the count where the run stops for mark()
    uint64_t floor_ = 0;              // the history's rewind floor when mark() last looked
    bool at_mark_ = false;
    bool replaying_ = false; // re-running to seek_to_, for going back
    bool scanning_ = false;  // ... and noting hits in last_hit_
    uint64_t seek_to_ = 0;
    std::optional<Hit> last_hit_;
    uint64_t changed_at_ = 0;            // where gdb last changed the program
    uint64_t changed_from_ = UINT64_MAX; // the earliest change the checkpoints hold
    std::optional<uint64_t> call_from_;  // gdb's call has just returned: where it began
};

} // namespace vekos
