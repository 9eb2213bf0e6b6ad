// The backtrace under a fault's one-line summary: the faulting program's frames with
// function+offset and, where the image has debug information, file:line.
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

} // namespace vekos
