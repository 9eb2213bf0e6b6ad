// A GoogleTest fixture for calling library functions inside a vekos image: a fresh guest
// per test, guest strings and buffers with canaries, a log of every trap, scripted traps,
// the console's output and a file-system root of the test's own.
//
//     TEST_F(LibFixture, Example) {
//         EXPECT_EQ(call("strlen", {str("abc")}), 3u);
//         script_results(1, {-1});                  // the next write trap fails
//         EXPECT_EQ(as_int(call("puts", {str("x")})), -1);
//     }
#pragma once

#include "kernel/trap_record.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One trap the guest made: its number, the six argument registers (ebx, ecx, edx, esi,
// edi, ebp) in `args`, the result it got, and in `bytes` the data it carried: the buffer of
// a read, write or writefile, otherwise the path or string of its first argument.
struct TrapRecord : vekos::TrapRecord {
    std::string bytes;
};

// Everything a call can end with.
struct CallOutcome {
    uint32_t eax = 0;
    uint32_t edx = 0;
    std::array<uint8_t, 10> st0{}; // x87 st(0), for long double results
    bool returned = false;
    bool faulted = false;
    bool hit_instruction_limit = false;
    bool exited = false; // the guest made the exit trap
    int exit_status = 0;
    uint32_t fault_address = 0; // the address accessed, for memory faults
    std::string fault;          // one line describing the fault
    uint64_t instructions = 0;  // executed, when counting is on (see count_instructions)
};

// One argument word of a variadic call: a number, or a string that the fixture places in
// guest memory and passes by address.
struct GuestArg {
    GuestArg(uint32_t value) : word(value) {}
    GuestArg(int value) : word(uint32_t(value)) {}
    GuestArg(const char *string) : text(string) {}
    uint32_t word = 0;
    const char *text = nullptr;
};

class LibFixture : public testing::Test {
  public:
    explicit LibFixture(std::string image = VEKOS_TEST_IMAGE);
    ~LibFixture() override;

  protected:
    void SetUp() override;
    void TearDown() override;

    // Calls a guest function by symbol with 32-bit argument words (variadic ones too; a
    // 64-bit argument is two words, low first). A fault, exit or runaway fails the test.
    uint32_t call(const std::string &function, const std::vector<uint32_t> &args);
    uint64_t call64(const std::string &function, const std::vector<uint32_t> &args);
    long double call_long_double(const std::string &function, const std::vector<uint32_t> &args);
    // The same, reporting instead of failing.
    CallOutcome call_outcome(const std::string &function, const std::vector<uint32_t> &args,
                             uint64_t max_instructions = 50'000'000);
    static int32_t as_int(uint32_t word) { return static_cast<int32_t>(word); }
    // Counts guest instructions per call from now on (slower; for benchmarks).
    void count_instructions(bool on);

    // Guest memory. str: a NUL-terminated copy; buffer: exactly these bytes; alloc: n
    // bytes of fill. Each lies between canary bytes that canaries_intact() checks.
    uint32_t str(std::string_view text);
    uint32_t buffer(std::string_view bytes);
    uint32_t alloc(size_t n, uint8_t fill = 0);
    uint32_t words(const std::vector<uint32_t> &values);
    // The argument words of `args`, after `head`, with each string placed in guest memory.
    std::vector<uint32_t> argument_words(const std::vector<GuestArg> &args,
                                         std::vector<uint32_t> head = {});
    bool canaries_intact();
    std::string read_bytes(uint32_t address, size_t n);
    std::string read_string(uint32_t address, size_t max = 1 << 20);
    uint32_t read_u32(uint32_t address);
    void write_u32(uint32_t address, uint32_t value);
    void write_bytes(uint32_t address, std::string_view bytes);
    uint32_t symbol(const std::string &name); // fails the test when missing

    // Traps, oldest first, since the test began or clear_traps().
    const std::vector<TrapRecord> &traps();
    void clear_traps();
    // "write(1, "hi", 2) = 2; write(1, "\n", 1) = 1": traps in order, data shown quoted.
    static std::string describe(const std::vector<TrapRecord> &traps);
    // Answers every later trap of this number with the handler's result instead of the kernel.
    void script_trap(uint32_t number, std::function<int32_t(const TrapRecord &)> handler);
    // Answers the next traps of this number with these results, then the kernel again.
    void script_results(uint32_t number, std::vector<int32_t> results);
    void clear_scripts();

    // The console: what descriptors 1 and 2 received, and what descriptor 0 will read.
    std::string console();
    void clear_console();
    void set_stdin(std::string_view bytes);

    // The folder that is / for this test's guest: empty, removed after the test.
    std::filesystem::path root();

    static std::string escaped(std::string_view bytes);

  private:
    struct State;
    std::string image_;
    std::unique_ptr<State> state_;
};
