// The guest-calling harness itself: results of every width, faults, limits, canaries,
// fresh guests, start-up, scripted traps and run requests from called code.
#include "guest.h"

#include "abi/trap_numbers.h"
#include "machine/unicorn/tweaks.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using vekos::FaultKind;
using vekos::Reg;
using vekos::harness::Guest;
using vekos::harness::words;

class Harness : public ::testing::Test {
  protected:
    Guest &g = Guest::fresh(PROBE_IMAGE);
};

TEST_F(Harness, ResultsOfEveryWidthAndVariadicArguments) {
    EXPECT_EQ(g.call64("twice64", vekos::harness::wide64(0x180000000ull)), 0x300000000ull);
    EXPECT_EQ(g.call_long_double("load_pi"), 3.14159265358979323851L) << "x87 st(0), 80 bits";
    EXPECT_EQ(g.call_long_double("add_one", vekos::harness::long_double_words(2.5L)), 3.5L);
    EXPECT_EQ(g.call_long_double("half", vekos::harness::double_words(5.0)), 2.5L);
    for (int i = 0; i < 10; i++) // more than the eight x87 registers: each call starts empty
        EXPECT_EQ(g.call_long_double("load_pi"), 3.14159265358979323851L) << "call " << i;
    EXPECT_EQ(g.call("sum_ints", words(4u, 1u, 2u, 3u, uint32_t(-10))), uint32_t(-4));
    EXPECT_EQ(g.call("sum_ints", {0}), 0u);
}

TEST_F(Harness, FaultsReportKindAddressAndSymbol) {
    auto outcome = g.call_outcome("probe_strlen", {16});
    ASSERT_TRUE(outcome.fault.has_value()) << "expected a fault, but it " << outcome.describe();
    EXPECT_EQ(outcome.fault->kind, FaultKind::ReadUnmapped);
    EXPECT_EQ(outcome.fault->address, 16u);
    EXPECT_NE(outcome.fault_text.find("read of unmapped address 0x00000010 at 0x"),
              std::string::npos)
        << outcome.fault_text;
    EXPECT_NE(outcome.fault_text.find("(probe_strlen"), std::string::npos) << outcome.fault_text;
    if (!vekos::unicorn::corrections_linked())
        GTEST_SKIP() << "without the corrections to Unicorn's internals a second fault in one "
                        "engine escalates (VEKOS_UNICORN_TWEAKS is off)";
    struct Case {
        const char *function;
        FaultKind kind;
        uint32_t offset; // of the faulting instruction
    } cases[] = {{"divide_by_zero", FaultKind::DivideError, 8},
                 {"invalid_instruction", FaultKind::InvalidInstruction, 0},
                 {"store_then_more", FaultKind::WriteUnmapped, 5},
                 {"load_after_push", FaultKind::ReadUnmapped, 6}};
    for (int round = 0; round < 3; round++) // each fault alone, however many came before
        for (const Case &c : cases) {
            auto o = g.call_outcome(c.function);
            ASSERT_TRUE(o.fault.has_value()) << c.function << " " << o.describe();
            EXPECT_EQ(o.fault->kind, c.kind) << c.function << ": " << o.fault_text;
            EXPECT_EQ(o.fault->eip, g.symbol(c.function) + c.offset)
                << c.function << ": expected the faulting instruction, at +" << c.offset << "; "
                << o.fault_text;
        }
    g.call_outcome("store_then_more");
    EXPECT_EQ(g.reg(Reg::Eax), 7u) << "expected eax as the failed store found it, not as the "
                                      "instructions after it left it";
    EXPECT_EQ(g.call("probe_strlen", {g.put_string("after a fault")}), 13u)
        << "the guest keeps working after a fault";
}

TEST_F(Harness, TheInstructionLimitStopsALoopingCall) {
    auto outcome = g.call_outcome("spin_forever", {}, 10000);
    EXPECT_TRUE(outcome.hit_instruction_limit) << "it " << outcome.describe();
    uint32_t counted = g.read_global_u32("data_word");
    EXPECT_GT(counted, 1000u) << "the loop ran until the limit";
    EXPECT_EQ(g.call("bump"), counted + 1) << "and the next call runs normally";
    EXPECT_EQ(g.call_outcome("bump").instructions, 0u) << "no limit, nothing counted";
    EXPECT_GT(g.call_outcome("bump", {}, 10000).instructions, 0u) << "a limit counts";
}

// Again and again: a stop meant for a call that ran out of time never reaches the next one.
TEST_F(Harness, TheTimeLimitStopsALoopingCall) {
    g.set_time_limit(std::chrono::seconds(100));
    g.call("bump"); // the watchdog runs, looking now and then at a call
    g.set_time_limit(std::chrono::milliseconds(30));
    for (int round = 0; round < 3; round++) {
        auto begin = std::chrono::steady_clock::now();
        auto outcome = g.call_outcome("spin_forever");
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
        EXPECT_LT(took.count(), 0.5) << "round " << round << ": the new limit holds at once";
        EXPECT_TRUE(outcome.hit_time_limit) << "round " << round << ": it " << outcome.describe();
        EXPECT_FALSE(outcome.hit_instruction_limit);
        EXPECT_EQ(outcome.describe(), "stopped after 0.03 seconds");
        uint32_t counted = g.read_global_u32("data_word");
        uint32_t bumped = 0;
        for (int i = 0; i < 1000; i++) bumped = g.call("bump");
        EXPECT_EQ(bumped, counted + 1000) << "round " << round << ": later calls run";
    }
    g.set_time_limit(Guest::kDefaultTimeLimit);
}

TEST_F(Harness, CanariesCatchWritesPastAnAllocation) {
    uint32_t buffer = g.alloc(8, 'x');
    g.call("fill_bytes", {buffer, 8, 'y'});
    EXPECT_TRUE(g.canaries_intact());
    EXPECT_EQ(g.read_bytes(buffer, 8), std::vector<uint8_t>(8, 'y'));
    g.call("fill_bytes", {buffer, 9, 'z'});
    auto intact = g.canaries_intact();
    EXPECT_FALSE(intact) << "one byte past the end must be noticed";
    EXPECT_NE(std::string(intact.message()).find("after allocation #0"), std::string::npos)
        << intact.message();
}

TEST_F(Harness, EachFreshGuestStartsFromTheLoadedImage) {
    uint32_t scratch = g.put_string("left over");
    g.call("bump");
    g.call("bump");
    EXPECT_EQ(g.read_global_u32("data_word"), 9u);
    g.call("raw_trap", {7, 0, 0, 0, 0, 0, 0}); // one trap for the log (7: no such trap)
    Guest &again = Guest::fresh(PROBE_IMAGE);
    EXPECT_EQ(&again, &g) << "one engine and image per test binary";
    EXPECT_EQ(g.read_global_u32("data_word"), 7u) << "data restored";
    EXPECT_EQ(g.read_bytes(scratch, 4), std::vector<uint8_t>(4, 0)) << "scratch cleared";
    EXPECT_TRUE(g.traps().empty()) << "trap log cleared";
    EXPECT_EQ(g.put_string("x"), scratch) << "allocation starts over";
}

// Fresh guests bring back only the pages written since the snapshot: every kind of write must
// be seen, round after round (the engine watches each page again after restoring it).
TEST_F(Harness, FreshGuestsUndoEveryWriteRoundAfterRound) {
    constexpr uint32_t kDeepStack = vekos::kStackTop - 0x80000; // a page no call reaches
    for (int round = 0; round < 3; round++) {
        Guest &again = Guest::fresh(PROBE_IMAGE);
        EXPECT_EQ(again.read_global_u32("data_word"), 7u) << "round " << round;
        EXPECT_EQ(again.read_bytes(kDeepStack, 8), std::vector<uint8_t>(8, 0)) << "round " << round;
        uint32_t scratch = again.alloc(8);
        EXPECT_EQ(again.read_bytes(scratch, 8), std::vector<uint8_t>(8, 0)) << "round " << round;
        again.call("bump"); // a load, then a store to the same page
        again.call("fill_bytes", {kDeepStack, 8, 'q'});
        again.call("fill_bytes", {scratch, 8, 'r'});
        uint32_t buffer = again.alloc(4);
        again.set_input("abcd");
        ASSERT_EQ(again.call("raw_trap", {VEKOS_TRAP_READ, 0, buffer, 4, 0, 0, 0}), 4u);
        ASSERT_EQ(again.read_global_u32("data_word"), 8u);
        ASSERT_EQ(again.read_bytes(kDeepStack, 1), std::vector<uint8_t>{'q'});
    }
    EXPECT_EQ(g.start({"probe.uelf", "args"}).exit_status, 0) << "a whole program, then";
    Guest::fresh(PROBE_IMAGE);
    EXPECT_EQ(g.read_global_u32("data_word"), 7u);
}

TEST_F(Harness, EachFreshGuestHasAnEmptyRootFolder) {
    uint32_t text = g.put_string("x");
    ASSERT_EQ(
        g.call("raw_trap", {VEKOS_TRAP_WRITEFILE, g.put_string("/left-over"), text, 1, 0, 0, 0}),
        1u);
    ASSERT_TRUE(std::filesystem::exists(g.root() + "/left-over"));
    Guest::fresh(PROBE_IMAGE);
    EXPECT_FALSE(std::filesystem::exists(g.root() + "/left-over"))
        << "a file written by an earlier test is still in the root";
}

TEST_F(Harness, StartRunsFromEntryWithArgvAndStopsAtASymbol) {
    auto outcome = g.start({"probe.uelf", "args", "x"});
    EXPECT_TRUE(outcome.exited) << "it " << outcome.describe();
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(g.console(), "3\n");
    for (uint32_t misalign : {0u, 4u, 8u, 12u}) {
        auto at_main = g.start({"probe.uelf"}, "main", misalign);
        ASSERT_TRUE(at_main.returned) << "should stop at main, but it " << at_main.describe();
        EXPECT_EQ(g.reg(Reg::Eip), g.symbol("main"));
        EXPECT_EQ(g.reg(Reg::Esp) % 16, 12u)
            << "_start aligns the stack whatever the entry esp (lowered by " << misalign << ")";
    }
}

TEST_F(Harness, ScriptedTrapsAnswerInsteadOfTheKernel) {
    uint32_t text = g.put_string("hello");
    g.script_trap(VEKOS_TRAP_CLOSE, {0}); // a braced list of results, even a lone 0
    EXPECT_EQ(g.call("raw_trap", {VEKOS_TRAP_CLOSE, 77, 0, 0, 0, 0, 0}), 0u)
        << "close(77) answered by the script";
    g.clear_traps();
    g.script_trap(VEKOS_TRAP_WRITE, {3, 0});
    std::vector<uint32_t> write{VEKOS_TRAP_WRITE, 1, text, 5, 0, 0, 0};
    EXPECT_EQ(g.call("raw_trap", write), 3u);
    EXPECT_EQ(g.call("raw_trap", write), 0u);
    EXPECT_EQ(g.call("raw_trap", write), 5u) << "then the kernel serves writes again";
    EXPECT_EQ(g.console(), "hello") << "scripted writes reach nothing";
    g.script_trap(VEKOS_TRAP_OPEN, [](const vekos::TrapRecord &r) -> std::optional<int32_t> {
        if (r.data[0] == "/magic") return 42;
        return std::nullopt;
    });
    EXPECT_EQ(g.call("raw_trap", {VEKOS_TRAP_OPEN, g.put_string("/magic"), 0, 0, 0, 0, 0}), 42u);
    EXPECT_EQ(int32_t(g.call("raw_trap", {VEKOS_TRAP_OPEN, g.put_string("/other"), 0, 0, 0, 0, 0})),
              -1);
    ASSERT_EQ(g.traps().size(), 5u);
    EXPECT_TRUE(g.traps()[0].scripted);
    EXPECT_FALSE(g.traps()[4].scripted);
}

TEST_F(Harness, ARunRequestFromCalledCodeRunsTheChildAndComesBack) {
    g.set_root(EMU_TEST_ROOT);
    uint32_t line = g.put_string("probe.uelf echo child");
    EXPECT_EQ(g.call("raw_trap", {VEKOS_TRAP_RUN, line, 0, 0, 0, 0, 0}), 0u);
    uint32_t faulting = g.put_string("probe.uelf read-null");
    EXPECT_EQ(g.call("raw_trap", {VEKOS_TRAP_RUN, faulting, 0, 0, 0, 0, 0}), 0u)
        << "the child faulted, but it was run";
    EXPECT_EQ(int32_t(g.call("raw_trap", {VEKOS_TRAP_RUN, g.put_string("  "), 0, 0, 0, 0, 0})), -1);
    EXPECT_EQ(
        int32_t(g.call("raw_trap", {VEKOS_TRAP_RUN, g.put_string("none.uelf"), 0, 0, 0, 0, 0})),
        -1);
    EXPECT_EQ(
        int32_t(g.call("raw_trap", {VEKOS_TRAP_RUN, g.put_string("probe.txt"), 0, 0, 0, 0, 0})),
        -1);
    EXPECT_EQ(g.console(), "child\n");
    EXPECT_EQ(g.call("probe_strlen", {line}), 21u) << "the caller's memory is its own again";
    EXPECT_EQ(g.call("bump"), 8u);
}

} // namespace
