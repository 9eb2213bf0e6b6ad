// The trap table: one row per trap the library wraps, giving its number, name, handler, how to
// show and record each argument, and whether the run loop finishes it. Dispatch, --trace and
// the harness's trap log read everything they know about a trap from its row.
#pragma once

#include "kernel/trap_record.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vekos {

class Console;
class FdTable;
class GuestMemory;
class RootFs;
class RunLimits;

enum class ArgKind : uint8_t {
    Int,       // signed decimal
    Unsigned,  // unsigned decimal
    Hex,       // flags, addresses
    OpenFlags, // open's flags: O_WRONLY|O_CREAT
    Whence,    // lseek's: SEEK_SET
    Path,      // NUL-terminated string
    BufferIn,  // bytes the guest hands over; length in argument `length_arg`
    BufferOut, // bytes the kernel fills (a text without its NUL too); as many as the result says
};

struct TrapArg {
    ArgKind kind = ArgKind::Int;
    uint8_t length_arg = 0;
};

// What a handler may reach of the process that trapped.
struct TrapContext {
    GuestMemory &memory;
    FdTable &fds;
    std::string &cwd;
    RootFs &fs;
    Console &console;
    RunLimits &limits;
};

// What a trap leaves for the run loop to do once the engine has stopped.
struct PendingAction {
    enum class Kind { None, Exit, RunLine } kind = Kind::None;
    int32_t status = 0; // Exit
    std::string line;   // RunLine
    // The trap's record while the run loop acts, when traps are observed.
    std::optional<TrapRecord> record;
};

struct TrapCall {
    TrapContext &context;
    const std::array<uint32_t, 6> &args;
    PendingAction &action; // for rows with `in_run_loop` only
};

struct TrapRow {
    uint32_t number;
    const char *name;
    int32_t (*handler)(TrapCall &);
    uint8_t arity;
    TrapArg args[6];
    // The handler may leave a PendingAction: the engine stops and the run loop finishes the trap.
    bool in_run_loop = false;
};

// The row for a trap number, or nullptr (such traps return -1).
const TrapRow *find_trap(uint32_t number);
// The row for a trap name ("open"), or nullptr.
const TrapRow *find_trap(std::string_view name);

// Longest string a path argument may be; the run request's line is capped the same way.
constexpr uint32_t kMaxPath = 4096;

} // namespace vekos
