// Coverage and profiles as the kernel sees them (emu/profile implements them): a process loaded
// while they are on has a counter of its own, which hears of every block the process runs (as
// the engine's block sink), of each run that stopped inside a block, and of its traps' host time.
#pragma once

#include "machine/engine.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vekos {

class GuestMemory;

class ProcessCounter : public BlockSink {
  public:
    // The last block stopped at `eip`: the instruction there did not run, or, after a fault,
    // only it ran (`faulted`); the rest of the block did not.
    virtual void cut_short(uint32_t eip, bool faulted) = 0;
    // A trap served at the end of the last block, in `nanoseconds` of host time.
    virtual void on_trap(uint32_t number, uint64_t nanoseconds) = 0;
};

class ProcessCounters {
  public:
    virtual ~ProcessCounters() = default;
    // A counter for a process running the image `file` (named `name`) in `memory`.
    virtual std::shared_ptr<ProcessCounter> counter(const std::vector<uint8_t> &file,
                                                    const std::string &name,
                                                    const GuestMemory &memory) = 0;
};

} // namespace vekos
