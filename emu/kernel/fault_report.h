// The backtrace under a fault's one-line summary: the faulting program's frames with
// function+offset and, where the image has debug information, file:line.
#pragma once

#include "kernel/process.h"
#include "machine/engine.h"

#include <string>

namespace vekos {

// The frames of `process`, stopped by `fault` on `engine`, as indented lines; reads the image
// at `image_path` again for its symbols and debug information. Empty when it can't be read.
std::string fault_backtrace(Process &process, const Engine &engine, const Fault &fault,
                            const std::string &image_path);

} // namespace vekos
