// The trap table: one row per trap the library wraps, giving its number, name, handler, the
// kind of each argument (how to show and record it, and whether the kernel follows it into
// guest memory) and its effects beyond its result. Dispatch, read-ahead, --trace, the test
// harness and the tests read everything they know about a trap from its row: adding a trap is
// its number in abi/trap_numbers.h, the library's wrapper, one row and one handler.
#pragma once

#include "common/result.h"
#include "kernel/trap_record.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vekos {

class Console;
class FdTable;
class FileChanges;
class FifoPipes;
class GuestMemory;
class Mappings;
class RootFs;
class StreamFiles;
class RunLimits;

enum class ArgKind : uint8_t {
    Int,       // signed decimal
    Unsigned,  // unsigned decimal
    Hex,       // flags, addresses the kernel doesn't follow
    OpenFlags, // open's flags: O_WRONLY|O_CREAT
    Whence,    // lseek's: SEEK_SET
    MapProt,   // mmap's: PROT_READ|PROT_WRITE
    MapFlags,  // mmap's: MAP_PRIVATE|MAP_ANONYMOUS
    Path,      // NUL-terminated string the kernel reads
    BufferIn,  // bytes the guest hands over; length in argument `length_arg`
    BufferOut, // bytes the kernel fills (a text without its NUL too); room in argument
               // `length_arg`, as many filled as the result says
    Pointer,   // words the kernel reads or fills (spawn's argv, waitpid's status)
    FdPair,    // two descriptors the kernel fills (pipe's read and write ends)
};

struct TrapArg {
    ArgKind kind = ArgKind::Int;
    uint8_t length_arg = 0;
    // The kernel follows it into guest memory.
    constexpr bool is_pointer() const {
        return kind == ArgKind::Path || kind == ArgKind::BufferIn || kind == ArgKind::BufferOut ||
               kind == ArgKind::Pointer || kind == ArgKind::FdPair;
    }
    constexpr bool is_buffer() const {
        return kind == ArgKind::BufferIn || kind == ArgKind::BufferOut;
    }
};

// What a trap may do besides giving a result, as far as others must know.
enum TrapEffect : uint8_t {
    kNoEffect = 0,
    // May change the content of any file: read-ahead taken before it is dropped.
    kChangesFiles = 1 << 0,
    // May create entries in the root folder.
    kCreatesEntries = 1 << 1,
    // Leaves a PendingAction: the engine stops and the run loop finishes the trap (exit, run).
    kInRunLoop = 1 << 2,
    // The result is an address (mmap's): shown in hex.
    kGivesAddress = 1 << 3,
    // May leave the process waiting (on a pipe): then it too leaves a PendingAction.
    kMayWait = 1 << 4,
};

// What a handler may reach of the process that trapped.
struct TrapContext {
    GuestMemory &memory;
    FdTable &fds;
    std::string &cwd;
    RootFs &fs;
    FileChanges &changes;
    Console &console;
    RunLimits &limits;
    Mappings &mappings;
    StreamFiles &streams;
    FifoPipes &fifos;
};

// A handler's outcome: the guest's result, or the host error that made the trap fail (the
// guest sees -1, --trace the reason).
using TrapResult = Result<int32_t, HostError>;

// What a trap leaves for the run loop to do once the engine has stopped. Wait: the trap can't
// be answered now (a read of an empty pipe, a write to a full one); it is left unanswered and
// whoever runs the process decides what happens meanwhile.
struct PendingAction {
    enum class Kind { None, Exit, RunLine, Wait } kind = Kind::None;
    int32_t status = 0; // Exit
    std::string line;   // RunLine; Wait: what the process waits on, in words
    // The trap's record while the run loop acts, when traps are observed.
    std::optional<TrapRecord> record;
};

struct TrapCall {
    TrapContext &context;
    const std::array<uint32_t, 6> &args;
    PendingAction &action; // for rows with kInRunLoop or kMayWait only
};

struct TrapRow {
    uint32_t number;
    const char *name; // as the library's wrapper is named
    TrapResult (*handler)(TrapCall &);
    uint8_t arity;
    TrapArg args[6];
    uint8_t effects = kNoEffect; // TrapEffect bits

    bool has(TrapEffect effect) const { return (effects & effect) != 0; }
    // The argument whose bytes tell what the trap moved: its buffer, else its path; -1: none.
    int data_arg() const;
};

// Every trap the library wraps, one row each.
std::span<const TrapRow> trap_rows();
// The row for a trap number, or nullptr (such traps return -1).
const TrapRow *find_trap(uint32_t number);
// The row for a trap name ("open"), or nullptr.
const TrapRow *find_trap(std::string_view name);

// What the guest sees of a failed trap.
constexpr int32_t kTrapFailed = -1;

// Longest string a path argument may be; the run request's line is capped the same way.
constexpr uint32_t kMaxPath = 4096;

} // namespace vekos
