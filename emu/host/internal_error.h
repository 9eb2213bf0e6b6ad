// A crash of the host code (the CPU emulator, mostly) must not pass for the guest's fault
// (kStatusFault), nor lose what the guest wrote.
#pragma once

#include "common/exit_status.h"

namespace vekos {

// From here on SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT write out the console's pending
// output, say "vekos-emu: internal error: SIGSEGV" on stderr and end vekos-emu with
// kStatusInternalError. The handler runs on a stack of its own, so a stack overflow is reported
// too.
void report_internal_errors();

} // namespace vekos
