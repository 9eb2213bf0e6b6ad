// The values a run's limits may take, whether vekos-emu's options or a recording's header give
// them: one check for both, so that a replay runs under no limit the command line would refuse.
#pragma once

#include <cstdint>

namespace vekos {

// --max-instructions: a positive count of at most 19 digits.
bool valid_instruction_limit(uint64_t count);
// --timeout: positive, up to a year, so that the deadline stays far from overflowing the clock.
bool valid_timeout(double seconds);
// --stack: whole pages from kMinStackSize to kMaxStackSize.
bool valid_stack_size(uint64_t bytes);
// --max-memory: positive whole pages, at most ten digits of GiB.
bool valid_memory_limit(uint64_t bytes);

} // namespace vekos
