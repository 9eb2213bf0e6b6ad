// A run replayed from a recording: everything from outside (trap results, the bytes traps
// put into memory, the time-stamp counter) comes from the recording, so running the debugged
// process again from an earlier point gives exactly the same run. The debugger's reverse
// execution keeps a position with each checkpoint and goes back to it.
#pragma once

#include <cstdint>

namespace vekos {

class RunHistory {
  public:
    virtual ~RunHistory() = default;
    // Where the run stands in its recording: events consumed so far.
    virtual uint64_t position() const = 0;
    // Goes back to a position taken earlier: the same inputs come again, and console output
    // already given is not given again.
    virtual void rewind(uint64_t position) = 0;
    // The earliest position the debugged process may be taken back to: events that can't be
    // undone by restoring its memory and registers (a process started, memory mapped or
    // unmapped, a run request) move it forward. Checkpoints taken before it are useless.
    virtual uint64_t rewind_floor() const = 0;
};

} // namespace vekos
