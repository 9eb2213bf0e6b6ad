// The CPU: one Unicorn engine with the few hooks vekos needs (trap, memory fault, invalid
// instruction), onto which a process's memory is attached while it runs. Processes share the
// engine: a parent is detached while its child runs, which is far cheaper than a new engine.
// Only this engine names Unicorn's registers; everyone else uses Reg and the trap accessors.
#pragma once

#include "machine/fault.h"
#include "machine/guest_memory.h"
#include "machine/guest_window.h"
#include "machine/store_watch.h"

#include <unicorn/unicorn.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace vekos {

// The registers the kernel and the test harness read and set.
enum class Reg : uint8_t { Eax, Ebx, Ecx, Edx, Esi, Edi, Ebp, Esp, Eip, Eflags };

// A trap as `int 0x80` leaves it: the number in eax, the arguments in ebx, ecx, edx, esi, edi
// and ebp.
struct TrapArgs {
    uint32_t number;
    std::array<uint32_t, 6> args;
};

// Receives `int 0x80` from the engine, inside the hook.
class TrapHandler {
  public:
    virtual ~TrapHandler() = default;
    virtual void on_trap() = 0;
    // `rdtsc`: the counter's value, by default the host's. None: the handler has left the
    // instruction for later (a replay's process waiting for its turn); eip stays on it.
    virtual std::optional<uint64_t> on_time_stamp();
};

// The host's time-stamp counter.
uint64_t host_time_stamp();

// Looks at each instruction before it runs, while set (a debugger's breakpoints and steps).
class InstructionWatch {
  public:
    virtual ~InstructionWatch() = default;
    // True stops the run before the instruction at `eip`.
    virtual bool stop_before(uint32_t eip) = 0;
};

// Data accesses a debugger watches (its watchpoints): reads, writes or both.
enum class Access : uint8_t { Read = 1, Write = 2, Any = 3 };

// Told of each guest access to a watched range, inside the hook, before the access is done.
class AccessWatch {
  public:
    virtual ~AccessWatch() = default;
    // An access of `size` bytes at `address`, a store or not, that reaches into a watched
    // range. True stops the run after the accessing instruction.
    virtual bool stop_after(uint32_t address, uint32_t size, bool write) = 0;
};

// Told of each translated block as it starts to run (coverage and profiles), inside the
// hook. `size` is the block's bytes; a block cut short by a fault or the instruction budget
// is reported whole all the same.
class BlockSink {
  public:
    virtual ~BlockSink() = default;
    virtual void on_block(uint32_t address, uint32_t size) = 0;
};

// A limit on instructions; counting needs a per-instruction hook, so it only costs when set.
struct InstructionBudget {
    uint64_t limit = 0; // 0: none
    uint64_t used = 0;
};

class Engine : private CodeWriteObserver, private RegionObserver, private StoreWatch {
  public:
    // Translations the engine keeps before it flushes them, between processes.
    static constexpr size_t kDefaultTranslationLimit = 16 << 20;

    // Guests run at privilege level 3 with flat 4 GiB segments, as user programs do:
    // privileged instructions raise general protection faults.
    // A translation buffer of `translation_buffer` bytes (0: Unicorn's as the corrections set
    // it), dropped whole when more than `translation_limit` bytes are in use as another
    // process's memory is attached.
    explicit Engine(size_t translation_buffer = 0,
                    size_t translation_limit = kDefaultTranslationLimit);
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;
    ~Engine() override;

    // Maps the memory's regions (host buffers, no copy) and drops stale translations. A region
    // at the place and of the size of one still mapped from an earlier process takes over that
    // mapping: its pages move under the mapped host range, a system call where unmapping and
    // mapping again would make Unicorn rebuild its memory map twice.
    void attach(GuestMemory &memory);
    // Moves the memory's pages off the mapped host ranges, which stay mapped (empty) for the
    // next process to attach.
    void detach(GuestMemory &memory);
    bool attached(const GuestMemory &memory) const { return attached_ == &memory; }
    // Bytes of host code translated and not yet flushed; past the limit, attaching another
    // process's memory flushes them (0 where the Unicorn release doesn't tell).
    size_t translated_bytes() const;
    // Shows the guest's stores to the attached memory, so that it notes the pages written
    // since its snapshot (GuestMemory::snapshot): from now on, everywhere or again within
    // `span`. A memory with a snapshot is watched from its attach on.
    void watch_stores();
    void watch_stores(GuestMemory::HostSpan span);

    uint32_t reg(Reg reg) const;
    void set_reg(Reg reg, uint32_t value);
    TrapArgs trap_arguments() const;
    void set_trap_result(int32_t result) { set_reg(Reg::Eax, uint32_t(result)); }
    // x87: st(0) as its 10 bytes (64-bit mantissa, then sign and exponent); emptying the
    // register stack as a caller does after taking a floating-point result; the whole unit as
    // after FNINIT.
    std::array<uint8_t, 10> st0() const;
    void empty_fpu_stack();
    void reset_fpu();

    // Preempted: preempt() ended the run between two instructions; it may go on from eip.
    enum class Stop { Stopped, Until, Fault, Limit, Watch, Preempted };
    struct RunResult {
        Stop stop;
        Fault fault;
    };
    // Runs from `begin` until `until` is reached, a hook stops it, a fault or the budget. An
    // exception from the trap handler stops the run and is thrown from here.
    RunResult run(TrapHandler &handler, uint32_t begin, uint32_t until, InstructionBudget *budget);
    // May come from another thread (a watchdog's).
    void stop() {
        stopped_ = true;
        uc_emu_stop(uc_);
    }
    // Ends the run to let another process have the CPU (from another thread too). A call
    // made before the run starts is lost: the caller repeats it.
    void preempt() {
        preempted_ = true;
        uc_emu_stop(uc_);
    }

    // Coverage and profiles (engine_blocks.cpp): the sink that hears of every block of the
    // process now attached, or nullptr. The block hook exists only from the first sink on: a
    // run that never sets one runs as fast as before.
    void set_block_sink(BlockSink *sink);

    // Debugging (engine_debug.cpp). A watch costs a call per instruction while set.
    void set_watch(InstructionWatch *watch);
    // Watches `kinds` of access to [begin, begin + length) (engine_watch.cpp): a memory hook
    // that exists only until unwatch_accesses(id). While any is set, every guest access
    // takes Unicorn's slow path and each instruction is looked at, so that a stop lands right
    // after the accessing instruction (for a string instruction, after the repetition that
    // made the access, at the instruction). Accesses by traps, made by the host, go unseen.
    using AccessWatchId = uc_hook;
    AccessWatchId watch_accesses(uint32_t begin, uint32_t length, Access kinds, AccessWatch &watch);
    void unwatch_accesses(AccessWatchId id);
    size_t access_watch_count() const { return access_hooks_.size(); }
    // Every register a debugger may see, by its i386 name: eax .. edi, eip, eflags, cs .. gs,
    // st0 .. st7 (10 bytes each), and the x87 control words and pointers fctrl, fstat, ftag,
    // fiseg, fioff, foseg, fooff, fop (4 bytes each). The index for a name, or -1.
    static int debug_reg_index(std::string_view name);
    static size_t debug_reg_size(int index);
    bool read_debug_reg(int index, std::span<uint8_t> out) const;
    bool write_debug_reg(int index, std::span<const uint8_t> in);
    // Drops translated code of [begin, end) after its bytes were changed behind the CPU.
    void forget_code(uint32_t begin, uint64_t end);

    // Whole CPU state, for resuming a parent and for fresh test guests.
    class Context {
      public:
        explicit Context(uc_engine *uc);
        ~Context();
        uc_context *get() { return ctx_; }

      private:
        uc_context *ctx_ = nullptr;
    };
    std::unique_ptr<Context> save();
    void restore(Context &context);
    // Bytes one saved context holds.
    size_t context_bytes() const { return uc_context_size(uc_); }

  private:
    friend class TestHooks;
    static void on_interrupt(uc_engine *uc, uint32_t intno, void *self);
    // An `rdtsc` at eip, answered by the handler; false when eip holds something else.
    bool time_stamp_read();
    static bool on_memory_fault(uc_engine *uc, uc_mem_type type, uint64_t addr, int size,
                                int64_t value, void *self);
    static bool on_invalid_instruction(uc_engine *uc, void *self);
    static void on_instruction(uc_engine *uc, uint64_t addr, uint32_t size, void *self);
    static void on_watched(uc_engine *uc, uint64_t addr, uint32_t size, void *self);
    static void on_block(uc_engine *uc, uint64_t addr, uint32_t size, void *self);
    static void on_access(uc_engine *uc, uc_mem_type type, uint64_t addr, int size, int64_t value,
                          void *hook);
    // The per-instruction hook is there while an instruction or an access is watched.
    void hook_instructions();
    void forget_attached_code();
    void record_fault(FaultKind kind, uint32_t address, uint32_t vector = 0);
    void enter_user_mode();
    void code_written(uint32_t address, uint32_t size) override;
    void regions_changed(uint32_t begin, uint64_t end) override;
    bool unseen(const uint8_t *host) override;
    std::optional<uint32_t> seen(const uint8_t *host) override;
    void use_budget(InstructionBudget *budget);
    uint64_t *find_eip();

    // A range mapped in Unicorn. Its host pages belong to the attached memory's region at
    // `base`, or, while nothing is attached, to the engine (empty).
    struct Slot {
        uint32_t base;
        uint32_t size;
        uint32_t prot;
        uint8_t *host;
    };
    bool reuse(Slot &slot, GuestMemory &memory, const Region &region);
    void map(const Region &region);
    void unmap(size_t slot, bool release_host);
    // Direct guest addressing (engine_memory.cpp): on while the window mirrors the attached
    // memory and nothing must see the guest's accesses (watchpoints, a snapshot's store
    // watch); switching it off drops the code translated with it.
    bool mirrored() const;
    void update_direct();

    uc_engine *uc_ = nullptr;
    GuestWindow window_;         // the guest's address space, where the host allows one
    bool window_broken_ = false; // a range in it was lost to the host: never direct again
    bool direct_ = false;
    uint8_t *system_page_ = nullptr; // descriptor table, outside every user address
    size_t translation_limit_ = kDefaultTranslationLimit;
    GuestMemory *attached_ = nullptr;
    bool watching_ = false;         // stores can be watched
    uint64_t *registers_ = nullptr; // machine/unicorn/registers.h, for the trap path
    uint64_t *eip_ = nullptr;       // eip's slot (zero-extended, as uc_reg_write leaves it)
    std::vector<Slot> slots_;
    TrapHandler *handler_ = nullptr;
    // Thrown by the trap handler inside Unicorn's C code, which no exception may cross.
    std::exception_ptr handler_exception_;
    InstructionBudget *budget_ = nullptr;
    uc_hook count_hook_ = 0;
    bool counting_ = false;
    bool limit_hit_ = false;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> preempted_{false};
    InstructionWatch *watch_ = nullptr;
    BlockSink *block_sink_ = nullptr;
    uc_hook block_hook_ = 0;
    // One watched range; the hook's user data (its address stays put).
    struct AccessHook {
        Engine *engine;
        AccessWatch *watch;
        uint32_t begin;
        uint64_t end;
        uc_hook id = 0;
    };
    std::vector<std::unique_ptr<AccessHook>> access_hooks_;
    uc_hook watch_hook_ = 0;
    bool watch_hit_ = false;
    bool access_stop_ = false; // a watched access asked to stop before the next instruction
    uint32_t compiled_until_ = 0;
    std::optional<Fault> fault_;
};

} // namespace vekos
