// Calls guest code from GoogleTest tests, on the same kernel code that vekos-emu runs.
//
//   Guest &g = Guest::fresh(VEKOS_TEST_IMAGE); // image loaded once per binary, fresh state
//   uint32_t s = g.put_string("abc");           // scratch memory, canaries around it
//   EXPECT_EQ(g.call("strlen", {s}), 3u);       // cdecl call by symbol, returns eax
//   EXPECT_TRUE(g.canaries_intact());
//
// Calls: call() returns eax, call64() edx:eax, call_long_double() x87 st(0). Arguments are
// 32-bit words pushed right to left; wide64(), double_words() and long_double_words() give
// the words of wider values (low word first), joined with words(...). A call that doesn't
// come back (fault, _exit, a limit) fails the test with what happened and gives
// 0xDEADBEEF; call_outcome() examines such calls instead. Every call runs under a time limit
// (set_time_limit, default 10 seconds of wall-clock time), enforced by a watchdog thread, so
// a looping function can't hang a test. An instruction limit (call_outcome's `limit`, or
// set_instruction_limit for every call) counts instructions, which makes calls about half
// as fast: CallOutcome::instructions tells how many ran under one.
// start() runs the image from _start with an argv, to its exit or to a symbol (for example
// "main", to look at esp there).
//
// Memory: put_string / put_bytes / alloc place data in a 1 MiB scratch area with 16 canary
// bytes on each side; read_* reach any readable guest address through the kernel's checked
// accessor, write_* any mapped one (read-only data too, not code already run); symbol() gives
// a global's address.
//
// Traps: every trap is logged (traps(): number, six argument registers, result and the bytes
// it carried) and served by the kernel's real trap table, with files under root() (a temporary
// folder, emptied for each fresh guest, unless set_root() chose another; TempRoot makes one).
// console() holds everything written to descriptors 1 and 2; set_input() feeds descriptor 0 and
// getkey. script_trap() answers chosen traps instead of the kernel, without touching any file.
// carried_bytes() gives the data a logged trap moved (the buffer written or read, else the path).
#pragma once

#include "kernel/kernel.h"
#include "kernel/trap_record.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos::harness {

using vekos::Fault;
using vekos::FaultKind;
using vekos::Reg;
using vekos::TrapRecord;

// Words of wider arguments, low word first, and their concatenation.
std::vector<uint32_t> wide64(uint64_t value);
std::vector<uint32_t> double_words(double value);
std::vector<uint32_t> long_double_words(long double value); // 12 bytes on the i386 stack
template <typename... Parts> std::vector<uint32_t> words(const Parts &...parts);

// One argument word of a variadic call: a number, or a string that put_arguments() places in
// scratch memory and passes by address.
struct GuestArg {
    GuestArg(uint32_t value) : word(value) {}
    GuestArg(int value) : word(uint32_t(value)) {}
    GuestArg(const char *string) : text(string) {}
    uint32_t word = 0;
    const char *text = nullptr;
};

struct CallOutcome {
    bool returned = false; // came back to the return address
    bool exited = false;   // _exit was called
    int32_t exit_status = 0;
    bool hit_instruction_limit = false;
    bool hit_time_limit = false;
    double time_limit = 0;      // seconds, when hit_time_limit
    std::optional<Fault> fault; // kind, access address, eip
    std::string fault_text;     // "read of unmapped address 0x00000010 at ... (strlen+0x3)"
    uint32_t eax = 0, edx = 0;
    long double st0 = 0;
    uint64_t instructions = 0; // executed, counted only under an instruction limit
    uint64_t result64() const { return uint64_t(edx) << 32 | eax; }
    // "returned 3", "exited with 1", "stopped by the instruction limit", "stopped after 10
    // seconds" or the fault.
    std::string describe() const;
};

// Answers a trap instead of the kernel (a value) or lets the kernel serve it (nullopt).
using TrapScript = std::function<std::optional<int32_t>(const TrapRecord &)>;

class Guest : private vekos::TrapObserver {
  public:
    explicit Guest(const std::string &image_path);
    ~Guest() override;
    Guest(const Guest &) = delete;
    Guest &operator=(const Guest &) = delete;

    // The guest for this image, loaded on first use and reset: each test gets a fresh one.
    static Guest &fresh(const std::string &image_path);
    // Back to the state just after loading: memory, registers, descriptors, current folder,
    // root, scratch area, trap log, scripts, console and input.
    void reset();

    uint32_t call(std::string_view function, const std::vector<uint32_t> &args = {});
    uint64_t call64(std::string_view function, const std::vector<uint32_t> &args = {});
    long double call_long_double(std::string_view function, const std::vector<uint32_t> &args = {});
    // Never fails the test; `limit` 0 uses the guest's instruction limit, if any.
    CallOutcome call_outcome(std::string_view function, const std::vector<uint32_t> &args = {},
                             uint64_t limit = 0);
    CallOutcome call_address(uint32_t address, const std::vector<uint32_t> &args,
                             uint64_t limit = 0);
    // Runs from _start with argv laid out as the loader does (lowered by `misalign` bytes),
    // until the program exits or, when `stop_at` names a symbol, until it gets there.
    CallOutcome start(const std::vector<std::string> &argv, std::string_view stop_at = {},
                      uint32_t misalign = 0, uint64_t limit = 0);
    uint32_t reg(Reg reg) const; // e.g. Reg::Esp after start()
    // For every call from now on; 0: none (the default).
    void set_instruction_limit(uint64_t limit) { limit_ = limit; }
    // Wall-clock time each call may take; 0 seconds: no limit.
    static constexpr std::chrono::seconds kDefaultTimeLimit{10};
    void set_time_limit(std::chrono::duration<double> limit);

    // Scratch memory, each allocation with kCanaryBytes canaries on both sides.
    static constexpr uint32_t kCanaryBytes = 16;
    static constexpr uint8_t kCanary = 0xCB;
    uint32_t put_string(std::string_view text);
    uint32_t put_bytes(const void *data, size_t n);
    uint32_t put_bytes(const std::vector<uint8_t> &bytes);
    uint32_t alloc(uint32_t n, uint8_t fill = 0);
    // `head`, then the words of `args`, each string placed in scratch memory.
    std::vector<uint32_t> put_arguments(std::vector<uint32_t> head,
                                        const std::vector<GuestArg> &args);
    ::testing::AssertionResult canaries_intact() const;

    std::vector<uint8_t> read_bytes(uint32_t address, uint32_t n) const;
    std::string read_string(uint32_t address, uint32_t max = 1 << 16) const;
    uint32_t read_u32(uint32_t address) const;
    void write_u32(uint32_t address, uint32_t value);
    void write_bytes(uint32_t address, const std::vector<uint8_t> &bytes);
    uint32_t symbol(std::string_view name) const; // fails the test when missing
    std::optional<uint32_t> find_symbol(std::string_view name) const;
    uint32_t read_global_u32(std::string_view name) const { return read_u32(symbol(name)); }

    const std::vector<TrapRecord> &traps() const { return traps_; }
    void clear_traps() { traps_.clear(); }
    const std::string &console() const { return console_.output; }
    void clear_console() { console_.output.clear(); }
    void set_input(std::string input) { console_.input = std::move(input); }
    // The next ones, in order, then the kernel again; an empty list is refused.
    void script_trap(uint32_t number, std::vector<int32_t> results);
    void script_trap(uint32_t number, std::initializer_list<int32_t> results) {
        script_trap(number, std::vector<int32_t>(results));
    }
    void script_trap(uint32_t number, TrapScript script); // every one
    void clear_scripts() { scripts_.clear(); }
    // `options` choose how the root resolves paths (both ways are tested).
    void set_root(const std::string &host_folder, vekos::RootFsOptions options = {});
    const std::string &root();

    vekos::Process &process() { return *process_; }
    vekos::Kernel &kernel() { return *kernel_; }

  private:
    struct CaptureConsole : vekos::Console {
        std::string output, input;
        size_t input_at = 0;
        void write(const uint8_t *data, size_t n) override;
        int32_t read(uint8_t *out, size_t n) override;
        void flush() override {}
    };
    struct Script {
        std::deque<int32_t> results;
        TrapScript function;
    };
    struct Allocation {
        uint32_t address, size;
    };

    std::optional<int32_t> before(const TrapRecord &record) override;
    void after(const TrapRecord &record) override;
    // Runs the process under the time limit, to `until`, and describes how it ended.
    CallOutcome run(uint32_t until, uint64_t limit);
    uint32_t checked_call(std::string_view function, const std::vector<uint32_t> &args,
                          CallOutcome *out);

    std::string image_path_;
    std::string default_root_;
    std::string root_;
    CaptureConsole console_;
    std::unique_ptr<vekos::Kernel> kernel_;
    std::unique_ptr<vekos::Process> process_;
    std::shared_ptr<vekos::Process::Snapshot> snapshot_;
    uint32_t call_stack_top_ = 0;
    uint32_t scratch_next_ = 0;
    std::vector<Allocation> allocations_;
    std::vector<TrapRecord> traps_;
    std::map<uint32_t, Script> scripts_;
    uint64_t limit_ = 0;
    bool root_touched_ = false;
    mutable std::map<std::string, uint32_t, std::less<>> found_symbols_;
};

// `write(1, "hi", 2) = 2`, as --trace shows it; a list is joined with "; ".
std::string describe(const TrapRecord &record);
std::string describe(const std::vector<TrapRecord> &records);
// The data a trap carried: the buffer it moved, else the path it named (its row's data_arg);
// empty when there was none.
std::string carried_bytes(const TrapRecord &record);

namespace detail {
inline void append_words(std::vector<uint32_t> &out, uint32_t w) {
    out.push_back(w);
}
inline void append_words(std::vector<uint32_t> &out, const std::vector<uint32_t> &w) {
    out.insert(out.end(), w.begin(), w.end());
}
} // namespace detail

template <typename... Parts> std::vector<uint32_t> words(const Parts &...parts) {
    std::vector<uint32_t> out;
    (detail::append_words(out, parts), ...);
    return out;
}

} // namespace vekos::harness
