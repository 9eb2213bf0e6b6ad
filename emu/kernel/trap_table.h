// The trap table: one row per trap the library wraps, giving its number, name, handler, the
// kind of each argument (how to show and record it, and whether the kernel follows it into
// guest memory) and its effects beyond its result. Dispatch, read-ahead, --trace, the test
// harness and the tests read everything they know about a trap from its row: adding a trap is
// its number in abi/trap_numbers.h, the library's wrapper, one row and one handler.
#pragma once

#include "common/result.h"
#include "kernel/trap_record.h"
#include "machine/engine.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
class ProcessTable;

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

// Descriptors the next spawn hands its child (fd_set_stdio, fd_set_inherit): which of this
// process's descriptors become the child's 0, 1 and 2 (-1: this process's own 0, 1 and 2), and
// whether 3 and up go too.
struct SpawnSettings {
    std::array<int32_t, 3> stdio{-1, -1, -1};
    bool inherit = false;
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
    SpawnSettings &spawn;
    ProcessTable &processes;
    const int &pid;
    // A replay: descriptors exist only in the recording, so spawns take any as valid.
    bool replaying = false;
};

// The kernel's processes as traps see them.
class ProcessTable {
  public:
    virtual ~ProcessTable() = default;
    // No other process lives that could run meanwhile: a wait may block the host.
    virtual bool alone() const = 0;
    // More than one process was started in this run: traces and reports name the process id.
    virtual bool several() const = 0;
};

// Why a process can't go on, and when it may. With `answer` the trap is done once ready and
// gives that result; without, the trap runs again then (a pipe, a child, console input).
struct WaitFor {
    std::string what;            // in words: "waits to read from descriptor 3, an empty pipe"
    std::function<bool()> ready; // it may go on now
    std::optional<int32_t> answer;
    // Time or input may end it, not only another process: never part of a deadlock.
    bool external = false;
    std::optional<std::chrono::steady_clock::time_point> until; // a sleep's end
};

// A child to start: exactly `argv` (argc words), with the parent's descriptors as `settings`
// choose.
struct SpawnRequest {
    std::string path;
    std::vector<std::string> argv;
    SpawnSettings settings;
};

// A handler's outcome: the guest's result, or the host error that made the trap fail (the
// guest sees -1, --trace the reason).
using TrapResult = Result<int32_t, HostError>;

// What a trap leaves for the run loop to do once the engine has stopped. Wait: the trap can't
// be answered now (a read of an empty pipe, a write to a full one); it is left unanswered and
// whoever runs the process decides what happens meanwhile. Spawn and WaitChild need the
// process table, which only the run loop may change; Backtrace the program's image, and a
// debugger that may stop there.
struct PendingAction {
    enum class Kind { None, Exit, RunLine, Wait, Spawn, WaitChild, Backtrace } kind = Kind::None;
    int32_t status = 0;          // Exit
    uint32_t from = 0;           // Backtrace: the return address its frames start at
    std::string line;            // RunLine
    WaitFor wait;                // Wait
    bool on_instruction = false; // Wait: eip is still on the instruction (`rdtsc`)
    SpawnRequest spawn;          // Spawn
    // WaitChild: the child (-1: any), where its status goes (0: nowhere), and no waiting.
    int32_t child = -1;
    uint32_t status_at = 0;
    bool no_hang = false;
    // The trap the run loop finishes, for the journal.
    TrapArgs trap{};
    // The trap's record while the run loop acts, when traps are observed.
    std::optional<TrapRecord> record;
};

struct TrapCall {
    TrapContext &context;
    const std::array<uint32_t, 6> &args;
    PendingAction &action; // for rows with kInRunLoop or kMayWait only
};

// What a replay does with a trap. Most are answered from the recording; those whose kernel
// state the run can't go on without (a child, a mapping, the end of a process) are done again
// by the kernel, and their result checked against the recorded one. A trap that failed when
// recorded did nothing: it is answered.
struct ReplayRule {
    enum class Kind : uint8_t {
        Undeclared,      // no row keeps it: the table is checked as it is built
        Answer,          // from the recording
        RedoAlways,      // by the kernel again
        RedoIfSucceeded, // ... when the recorded result isn't -1
        RedoIfPositive,  // ... when it is above 0 (0: nothing happened, which the recording knows)
    };
    Kind kind = Kind::Undeclared;
    // The redo's state lives beyond the process's memory and registers: going back before it
    // (gdb's reverse execution) can't undo it. _exit's isn't: nothing runs after it.
    bool beyond_rewind = true;
    // The recording notes where the trap starts, with an event of its own: the program a run
    // request runs makes events before the trap's.
    bool marks_start = false;
    // The redo's arguments from the recorded ones and the recorded result: the kernel repeats
    // what was recorded, not what the guest's state would now ask for.
    void (*adapt)(std::array<uint32_t, 6> &args, int32_t recorded) = nullptr;

    constexpr bool redo(int32_t recorded) const {
        switch (kind) {
        case Kind::RedoAlways:
            return true;
        case Kind::RedoIfSucceeded:
            return recorded != -1;
        case Kind::RedoIfPositive:
            return recorded > 0;
        default:
            return false;
        }
    }
};

struct TrapRow {
    uint32_t number;
    const char *name; // as the library's wrapper is named
    TrapResult (*handler)(TrapCall &);
    uint8_t arity;
    TrapArg args[6];
    uint8_t effects = kNoEffect; // TrapEffect bits
    ReplayRule replay;

    constexpr bool has(TrapEffect effect) const { return (effects & effect) != 0; }
    // The argument whose bytes tell what the trap moved: its buffer, else its path; -1: none.
    int data_arg() const;
};

// Every trap the library wraps, one row each.
std::span<const TrapRow> trap_rows();
// What a replay does with a trap number: a number without a row is answered (it failed).
const ReplayRule &replay_rule(uint32_t number);
// The row for a trap number, or nullptr (such traps return -1).
const TrapRow *find_trap(uint32_t number);
// The row for a trap name ("open"), or nullptr.
const TrapRow *find_trap(std::string_view name);

// What the guest sees of a failed trap.
constexpr int32_t kTrapFailed = -1;

// Longest string a path argument may be; the run request's line is capped the same way.
constexpr uint32_t kMaxPath = 4096;

} // namespace vekos
