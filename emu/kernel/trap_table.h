// The trap table: one row per trap, giving its number, name, handler and how to show each
// argument. Dispatch, tracing and the harness's trap log are all driven by it.
#pragma once

#include "trap_record.h"

#include <cstdint>
#include <string>

namespace vekos {

class Process;

enum class ArgKind : uint8_t {
    Int,       // signed decimal
    Unsigned,  // unsigned decimal
    Hex,       // flags, addresses
    Path,      // NUL-terminated string
    BufferIn,  // bytes the guest hands over; length in argument `length_arg`
    BufferOut, // bytes the kernel fills; as many as the result says
};

struct TrapArg {
    ArgKind kind = ArgKind::Int;
    uint8_t length_arg = 0;
};

struct TrapCall {
    Process &process;
    const std::array<uint32_t, 6> &args;
};

struct TrapRow {
    uint32_t number;
    const char *name;
    int32_t (*handler)(TrapCall &);
    uint8_t arity;
    TrapArg args[3];
};

// The row for a trap number, or nullptr (such traps return -1).
const TrapRow *find_trap(uint32_t number);

// Called from the engine's interrupt hook for `int 0x80`.
void dispatch_trap(Process &process);
// Finishes a trap whose handler asked the run loop to act first (the run request).
void complete_trap(Process &process, int32_t result);

// Longest string a path argument may be; the run request's line is capped the same way.
constexpr uint32_t kMaxPath = 4096;

} // namespace vekos
