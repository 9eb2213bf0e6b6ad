// The backtrace under a fault's one-line summary, or under the line a failed run-time check
// printed: the program's frames with function+offset and, where the image has debug
// information, file:line.
#pragma once

#include "kernel/process.h"
#include "machine/engine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vekos {

// The frames of `process`, stopped by `fault` on `engine`, as indented lines, with symbols and
// debug information from the program's file `image`. Empty when the image has neither.
std::string fault_backtrace(Process &process, const Engine &engine, const Fault &fault,
                            const std::vector<uint8_t> &image);

// The frames of `process`, stopped on `engine` in the trap a failed check's report makes, from
// the one that returns to `from` (the checked code) outwards.
std::string report_backtrace(Process &process, const Engine &engine, uint32_t from,
                             const std::vector<uint8_t> &image);

} // namespace vekos
