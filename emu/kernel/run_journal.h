// Record and replay: a journal sees everything a run takes from outside, in order: each trap
// of each process, each time-stamp read, and each program file the kernel reads. A recording
// notes them; a replay gives them back in place of the host.
#pragma once

#include "common/result.h"
#include "kernel/trap_table.h"
#include "machine/engine.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

class RunJournal {
  public:
    virtual ~RunJournal() = default;

    // Serve: the kernel serves the trap (with `trap`'s arguments, which a replay may change).
    // Answered: the journal put the result in `result` and the trap's bytes into memory.
    // Wait: another process's event comes first; turn() says when this one may go on.
    enum class Turn { Serve, Answered, Wait };
    virtual Turn before_trap(TrapArgs &trap, TrapContext &context, int32_t &result) = 0;
    // What a process told to wait waits for.
    virtual WaitFor turn(const TrapContext &context) = 0;
    // A trap the kernel served is done (its result given to the guest): `trap` as served.
    virtual void after_trap(const TrapArgs &trap, TrapContext &context, int32_t result) = 0;
    // The time-stamp counter as the process reads it; none until its turn.
    virtual std::optional<uint64_t> time_stamp(TrapContext &context) = 0;

    using FileReader = std::function<Result<std::vector<uint8_t>>()>;
    // A program file (an image or a script) the kernel reads; `read` reads it from the host.
    virtual Result<std::vector<uint8_t>> program_file(std::string_view name,
                                                      const FileReader &read) = 0;
    // Whether the first program names a host file; `look` looks on the host.
    virtual bool program_on_host(const std::function<bool()> &look) = 0;
    // The run ends in a deadlock: process `pid` waits as `what` says, with nothing left that
    // could end its wait (once for each process the report names).
    virtual void deadlocked(int32_t pid, const std::string &what) = 0;
};

} // namespace vekos
