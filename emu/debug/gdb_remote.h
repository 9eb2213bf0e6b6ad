// A gdb remote stub: serves one gdb, connected over TCP on the loopback address, for one
// i386 program. The stub knows nothing of the CPU: it reads and writes the program through
// DebugTarget and is told, at each stop, why the program stopped; it answers gdb until gdb
// asks the program to go on, and says how. Breakpoints stay in the stub as a set of
// addresses (memory is never patched), for the code that runs the program to check.
//
// Watchpoints (gdb's watch, rwatch and awatch) stay in the stub too, for the code that runs
// the program to watch the memory; it reports a hit after the accessing instruction, as an
// i386 debug register does, and gdb shows the old and new values itself.
//
// Running backwards (gdb's reverse-stepi, reverse-continue and the rest, as `bs` and `bc`) is
// offered only when the code that runs the program says it can (set_reverse); it reports
// reaching the earliest point it can go back to as gdb's "replaylog:begin".
//
// Limits: one thread, all-stop, software breakpoints (no hardware ones); x87 registers are
// served when the target has them. Later connections are refused with a note.
//
// Every wait on gdb (to connect, for a packet, for room to send) ends at the deadline the code
// that runs the program gives (the run's --timeout): a gdb that sits idle ends the run there.
//
// Every buffer is bounded by kPacketSize: a packet from gdb, what gdb sends while the program
// runs (gdb itself sends only Ctrl-C then) and each reply. A garbled reply is sent again a few
// times only, and more than 65536 breakpoints or 64 watchpoints are refused. A client that sends a
// longer packet, or more while the program runs, is dropped with a note, as if it had disconnected.
#pragma once

#include "common/host_fd.h"
#include "common/result.h"
#include "debug/gdb_registers.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

struct pollfd;

namespace vekos::debug {

// Signal numbers as gdb's remote protocol numbers them.
enum class GdbSignal : uint8_t { Int = 2, Ill = 4, Trap = 5, Fpe = 8, Segv = 11, Xcpu = 24 };

class DebugTarget {
  public:
    virtual ~DebugTarget() = default;
    // Little-endian bytes, gdb_reg_size(reg) of them; false when the register is not kept.
    virtual bool read_register(int reg, std::span<uint8_t> out) = 0;
    virtual bool write_register(int reg, std::span<const uint8_t> in) = 0;
    // Through the checked guest-memory accessor; all or nothing.
    virtual bool read_memory(uint32_t addr, std::span<uint8_t> out) = 0;
    virtual bool write_memory(uint32_t addr, std::span<const uint8_t> in) = 0;
};

// What a watchpoint watches, numbered as gdb's Z packets number them.
enum class WatchKind : uint8_t { Write = 2, Read = 3, Access = 4 };

struct Watchpoint {
    WatchKind kind;
    uint32_t address;
    uint32_t length; // at least 1, and the range stays below 4 GiB
    auto operator<=>(const Watchpoint &) const = default;
    // Whether an access of `size` bytes at `address`, a store or not, sets it off.
    bool hit_by(uint32_t at, uint32_t size, bool write) const;
};

// Why the program stopped, as the stub tells gdb.
struct Stop {
    enum class Kind {
        Started,      // before the first instruction
        Breakpoint,   // at an address in breakpoints(), before running it
        Stepped,      // one instruction done
        Interrupted,  // gdb sent Ctrl-C (see interrupt_requested)
        Watched,      // after an instruction that accessed `watched` at `data_address`
        Signal,       // a fault, at the faulting instruction, or a failed check's report (a
                      // trap, after it): signal says which
        Exited,       // the program ended with `status`; the session ends
        Killed,       // the program was ended by `signal`; the session ends
        HistoryBegin, // going backwards, at the earliest point the program can go back to
    };
    Kind kind;
    int status = 0;
    GdbSignal signal = GdbSignal::Trap;
    Watchpoint watched{};
    uint32_t data_address = 0; // within the watched range
};

// What the program does next.
enum class Resume {
    Continue,        // run until a breakpoint, a fault, the end or an interrupt
    Step,            // run one instruction
    Detach,          // gdb left (detached or disconnected): run on, unwatched
    Kill,            // gdb asked to end the program
    ReverseStep,     // go back one instruction
    ReverseContinue, // go back to the last breakpoint or watchpoint hit before now
    TimedOut,        // the deadline passed while the stub waited for gdb: gdb was dropped
};

class GdbStub {
  public:
    using Note = std::function<void(std::string_view)>;

    // Listens on 127.0.0.1:port (0: a free port, see port()). Notes (one line each, no
    // newline) go to `note`; by default to stderr.
    static Result<std::unique_ptr<GdbStub>> listen(uint16_t port, Note note = {});
    ~GdbStub();
    GdbStub(const GdbStub &) = delete;
    GdbStub &operator=(const GdbStub &) = delete;

    uint16_t port() const { return port_; }
    // No wait on gdb lasts past `deadline` (none: waits may last for ever).
    void set_deadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
        deadline_ = deadline;
    }
    // Waits for gdb, at most timeout_ms (< 0: until the deadline). False on timeout or error.
    bool accept(int timeout_ms = -1);
    bool connected() const { return bool(conn_); }
    // Whether gdb is told it may run the program backwards, and `bs` and `bc` are served.
    void set_reverse(bool reverse) { reverse_ = reverse; }

    // Tells gdb why the program stopped (nothing yet for Started: gdb asks), then answers
    // it until it asks the program to go on. Exited and Killed end the session (Detach), as
    // the deadline does (TimedOut).
    Resume stopped(DebugTarget &target, const Stop &stop);

    // While the program runs: true when gdb has sent Ctrl-C. Costs one poll() system call;
    // the caller calls it every so many instructions. Drops a gdb that has gone or floods.
    bool interrupt_requested();
    const std::set<uint32_t> &breakpoints() const { return breakpoints_; }
    const std::set<Watchpoint> &watchpoints() const { return watchpoints_; }

    // Bytes of a packet's payload, in both directions; what the stub tells gdb it takes.
    static constexpr size_t kPacketSize = 0x4000;

  private:
    enum class Input { Arrived, Idle, Gone };
    enum class Packet { Ready, Gone, TooLong, TimedOut };

    GdbStub(HostFd listener, uint16_t port, Note note);
    // The next packet's payload.
    Packet read_packet(std::string &payload);
    // poll() for at most timeout_ms (< 0: no limit) and never past the deadline; 0 when
    // nothing came, and then out_of_time_ when the deadline ended the wait.
    int wait_for(pollfd *fds, size_t count, int timeout_ms);
    // Waits up to timeout_ms (< 0: until the deadline) for bytes from gdb and appends them
    // to in_.
    Input fill(int timeout_ms);
    void refuse_newcomers();
    void send_packet(std::string_view payload);
    void send_raw(std::string_view bytes);
    void close_connection();
    void drop_session(std::string_view why);
    // The reply to one request (`reply` false: none); sets resume_ when gdb asks the
    // program to go on.
    std::string answer(DebugTarget &target, std::string_view request, bool &reply);
    std::string stop_reply(const Stop &stop) const;
    std::string read_registers(DebugTarget &target);
    std::string write_registers(DebugTarget &target, std::string_view hex);
    std::string read_memory(DebugTarget &target, std::string_view args);
    std::string write_memory(DebugTarget &target, std::string_view args, bool binary);
    std::string breakpoint(std::string_view args, bool insert);
    std::string watchpoint(WatchKind kind, std::string_view args, bool insert);
    void forget_points();
    std::string features(std::string_view args) const;
    std::string query(std::string_view request);
    std::string v_packet(std::string_view request, bool &reply);

    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool out_of_time_ = false;
    HostFd listener_;
    HostFd conn_;
    uint16_t port_ = 0;
    Note note_;
    bool ack_ = true;
    bool ack_off_after_reply_ = false;
    std::string last_sent_; // for gdb's '-'
    int resends_ = 0;       // of last_sent_
    std::optional<Resume> resume_;
    std::string in_; // bytes received, not yet taken
    bool interrupt_ = false;
    bool reverse_ = false;
    Stop last_{Stop::Kind::Started};
    std::set<uint32_t> breakpoints_;
    std::set<Watchpoint> watchpoints_;
};

} // namespace vekos::debug
