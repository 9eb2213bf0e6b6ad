// vekos-emu --gdb: the first program runs under the gdb stub. It stops before its first
// instruction; gdb's breakpoints, steps and Ctrl-C are checked by an instruction watch on
// the engine, present only while gdb is connected; each of gdb's watchpoints is an access
// watch on the engine, present only while gdb has it set; a fault stops it at the faulting
// instruction with the matching signal, and its end is reported with the exit status.
// Programs it starts by run requests run freely, unwatched. A gdb that detaches or
// disconnects, or that the stub drops for flooding it, lets the program run on; gdb's kill
// ends it. gdb's writes to eflags leave the trap flag as the program has it.
#pragma once

#include "debug/gdb_remote.h"
#include "kernel/kernel.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

namespace vekos {

class GdbSession : public Debugger,
                   private debug::DebugTarget,
                   private InstructionWatch,
                   private AccessWatch {
  public:
    GdbSession(std::unique_ptr<debug::GdbStub> stub, Engine &engine)
        : stub_(std::move(stub)), engine_(engine) {}
    Outcome run(Process &process) override;

  private:
    // The engine's index of gdb's register `reg`, or -1.
    static int engine_reg(int reg);
    bool read_register(int reg, std::span<uint8_t> out) override;
    bool write_register(int reg, std::span<const uint8_t> in) override;
    bool read_memory(uint32_t addr, std::span<uint8_t> out) override;
    bool write_memory(uint32_t addr, std::span<const uint8_t> in) override;
    bool stop_before(uint32_t eip) override;
    bool stop_after(uint32_t address, uint32_t size, bool write) override;
    // Gives the engine an access watch for each of gdb's watchpoints, and no other.
    void sync_watchpoints();
    void unwatch_all();
    // Runs the program on until the next stop gdb hears of.
    debug::Stop resume(debug::Resume how);

    std::unique_ptr<debug::GdbStub> stub_;
    Engine &engine_;
    Process *process_ = nullptr;
    std::optional<Outcome> ended_; // how the program ended (a fault: gdb sees it first)
    bool stepping_ = false;
    bool resuming_ = false; // the first instruction of a resume runs, breakpoint or not
    bool interrupted_ = false;
    uint32_t until_poll_ = 0;
    std::map<debug::Watchpoint, Engine::AccessWatchId> access_watches_;
    std::optional<debug::Stop> watched_; // the first watchpoint the running instruction hit
};

} // namespace vekos
