// The trap wrappers: which trap each makes, with which registers, and the calls they refuse.
#include "lib_fixture.h"

#include "kernel/trap_table.h"

#include <gtest/gtest-spi.h>

#include <set>
#include <string_view>

namespace {

using namespace library_abi;

using TrapWrappers = LibFixture;

// With O_CREAT, open hands the kernel its flags again where a mode would be.
constexpr uint32_t write_create = open_flag::write_only | open_flag::create;

struct Expected {
    const char *trap;                // its row's name
    std::vector<uint32_t> registers; // ebx, ecx, ... as far as they matter
};

// _exit and run don't come back to the caller; they have tests of their own.
bool comes_back(const vekos::TrapRow &row) {
    return row.number != VEKOS_TRAP_EXIT && row.number != VEKOS_TRAP_RUN;
}

// Every trap that comes back is scripted to answer 7, so nothing reaches the host's files.
class ScriptedTraps : public LibFixture {
  protected:
    void SetUp() override {
        LibFixture::SetUp();
        for (const vekos::TrapRow &row : vekos::trap_rows())
            if (comes_back(row))
                script_trap(row.number, [](const TrapRecord &) { return int32_t(7); });
    }

    void expect_one_trap(const std::string &what, const Expected &expected) {
        SCOPED_TRACE(what);
        ASSERT_EQ(traps().size(), 1u) << "expected exactly one trap";
        const TrapRecord &trap = traps()[0];
        const vekos::TrapRow *row = vekos::find_trap(std::string_view(expected.trap));
        ASSERT_NE(row, nullptr) << "no trap named " << expected.trap;
        EXPECT_EQ(trap.number, row->number) << "expected trap " << expected.trap;
        for (size_t i = 0; i < expected.registers.size(); i++)
            EXPECT_EQ(trap.args[i], expected.registers[i]) << "argument register " << i;
        clear_traps();
    }
};

TEST_F(ScriptedTraps, EachWrapperPutsItsArgumentsInOrder) {
    uint32_t p = str("/some/path"), q = str("data");
    struct Case {
        const char *function;
        std::vector<uint32_t> args;
        Expected expected;
        uint32_t returns = 7; // the scripted result
    } cases[] = {
        {"write", {1, q, 4}, {"write", {1, q, 4}}},
        {"read", {0, q, 4}, {"read", {0, q, 4}}},
        {"open", {p, open_flag::read_write}, {"open", {p, open_flag::read_write, 0}}},
        {"open", {p, write_create, 0644}, {"open", {p, write_create, write_create}}}, // no mode
        {"creat", {p, 0644}, {"open", {p, write_create | open_flag::truncate, 0}}},
        {"close", {9}, {"close", {9}}},
        {"getkey", {}, {"getkey", {}}},
        {"usleep", {250}, {"usleep", {250}}, 0}, // sleeps can't fail
        {"writefile", {p, q, 4}, {"writefile", {p, q, 4}}},
        {"mkdir", {p, 0755}, {"mkdir", {p}}},
        {"unlink", {p}, {"unlink", {p}}},
        {"rmdir", {p}, {"rmdir", {p}}},
        {"getcwd", {q, 64}, {"getcwd", {q, 64, 0}}},
        {"vekfs_stream_begin", {p}, {"vekfs_stream_begin", {p}}},
        {"vekfs_stream_write", {3, q, 4}, {"vekfs_stream_write", {3, q, 4}}},
        {"vekfs_stream_end", {3}, {"vekfs_stream_end", {3}}},
        {"chdir", {p}, {"chdir", {p}}},
        {"mmap",
         {0x1000000, 8192, map_flag::read_write, map_flag::private_anonymous, uint32_t(-1), 4096},
         {"mmap",
          {0x1000000, 8192, map_flag::read_write, map_flag::private_anonymous, uint32_t(-1),
           4096}}},
        {"munmap", {0x1000000, 8192}, {"munmap", {0x1000000, 8192, 0}}},
        {"lseek", {3, uint32_t(-5), 2}, {"lseek", {3, uint32_t(-5), 2}}},
        {"pipe", {q}, {"pipe", {q}}},
        {"mkfifo", {p, 0600}, {"mkfifo", {p}}},
        {"dup", {4}, {"dup", {4}}},
        {"dup2", {4, 9}, {"dup2", {4, 9, 0}}},
        {"fd_set_inherit", {5}, {"fd_set_inherit", {1}}},
        {"fd_set_inherit", {0}, {"fd_set_inherit", {0}}},
        {"fd_set_stdio", {3, 4, 5}, {"fd_set_stdio", {3, 4, 5}}},
        {"fd_set_nonblock", {3, 9}, {"fd_set_nonblock", {3, 1, 0}}},
        {"fd_set_nonblock", {3, 0}, {"fd_set_nonblock", {3, 0, 0}}},
        {"spawn", {p, q, 2}, {"spawn", {p, q, 2}}},
        {"waitpid", {12, q, kNoHang}, {"waitpid", {12, q, kNoHang}}},
        {"spawn_ex", {p, q, 0, 0, 0, 0, 0}, {"spawn_ex", {}}}, // the block: a test below
    };
    std::set<std::string_view> covered;
    for (const Case &c : cases) {
        EXPECT_EQ(call(c.function, c.args), c.returns)
            << c.function << " returns the trap's result";
        expect_one_trap(c.function, c.expected);
        covered.insert(c.expected.trap);
    }
    // The backtrace trap is the checks' run-time's (libvekos_checks.a), tested with it.
    for (const vekos::TrapRow &row : vekos::trap_rows())
        if (comes_back(row) && row.number != VEKOS_TRAP_BACKTRACE) {
            EXPECT_TRUE(covered.count(row.name)) << "no case for the trap " << row.name;
        }
}

TEST_F(ScriptedTraps, FailuresComeBackUnchangedAndErrnoIsLeftAlone) {
    uint32_t p = str("/some/path"), q = str("data");
    struct Case {
        const char *function;
        std::vector<uint32_t> args;
        uint32_t trap;
        int32_t result; // what the kernel answers, and so what the wrapper returns
    } cases[] = {
        {"write", {1, q, 4}, VEKOS_TRAP_WRITE, -5},
        {"read", {0, q, 4}, VEKOS_TRAP_READ, -11},
        {"open", {p, 0}, VEKOS_TRAP_OPEN, -2},
        {"close", {9}, VEKOS_TRAP_CLOSE, -9},
        {"writefile", {p, q, 4}, VEKOS_TRAP_WRITEFILE, -28},
        {"unlink", {p}, VEKOS_TRAP_UNLINK, -2},
        {"getcwd", {q, 64}, VEKOS_TRAP_GETCWD, -34},
        {"lseek", {3, 0, 0}, VEKOS_TRAP_LSEEK, -29},
        {"mmap",
         {0, 4096, map_flag::read_write, map_flag::private_anonymous, uint32_t(-1), 0},
         VEKOS_TRAP_MMAP,
         -12},
    };
    for (const Case &c : cases) {
        int32_t result = c.result;
        script_trap(c.trap, [result](const TrapRecord &) { return result; });
        EXPECT_EQ(as_int(call(c.function, c.args)), c.result)
            << c.function << " should return the kernel's " << c.result << " as it is";
        EXPECT_EQ(as_int(read_u32(symbol("errno"))), 0) << c.function << " must not set errno";
    }
}

TEST_F(ScriptedTraps, LengthsAboveTheSignedRangeAreClamped) {
    uint32_t p = str("f"), q = str("data");
    call("write", {1, q, 0x80000000u});
    expect_one_trap("write", {"write", {1, q, 0x7fffffff}});
    call("read", {0, q, 0xffffffffu});
    expect_one_trap("read", {"read", {0, q, 0x7fffffff}});
    call("writefile", {p, q, 0x90000000u});
    expect_one_trap("writefile", {"writefile", {p, q, 0x7fffffff}});
    call("getcwd", {q, 0xffffffffu});
    expect_one_trap("getcwd", {"getcwd", {q, 0x7fffffff, 0}});
    call("vekfs_stream_write", {3, q, 0x80000001u});
    expect_one_trap("vekfs_stream_write", {"vekfs_stream_write", {3, q, 0x7fffffff}});
    call("write", {1, q, 0x7fffffffu});
    expect_one_trap("write at the limit", {"write", {1, q, 0x7fffffff}});
}

TEST_F(ScriptedTraps, NullPointersAndBadCountsFailWithoutATrap) {
    uint32_t p = str("f"), q = str("data");
    struct Case {
        const char *function;
        std::vector<uint32_t> args;
    } cases[] = {
        {"write", {1, 0, 4}},
        {"read", {0, 0, 4}},
        {"open", {0, 0}},
        {"creat", {0, 0}},
        {"access", {0, 0}},
        {"writefile", {0, q, 4}},
        {"writefile", {p, 0, 4}},
        {"mkdir", {0, 0}},
        {"unlink", {0}},
        {"rmdir", {0}},
        {"chdir", {0}},
        {"pipe", {0}},
        {"mkfifo", {0, 0}},
        {"vekfs_stream_begin", {0}},
        {"vekfs_stream_write", {3, 0, 1}},
        {"getcwd", {0, 10}},
        {"getcwd", {q, 0}},
        {"spawn", {0, q, 1}},
        {"spawn", {p, q, uint32_t(-1)}},
        {"spawn_ex", {0, q, 1, 0, 0, 0, 0}},
        {"spawn_ex", {p, q, uint32_t(-2), 0, 0, 0, 0}},
        {"mmap", {0, 0, map_flag::read_write, map_flag::private_anonymous, 0, 0}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(as_int(call(c.function, c.args)), -1) << c.function;
        EXPECT_EQ(traps().size(), 0u) << c.function << " must not trap";
        clear_traps();
    }
}

TEST_F(ScriptedTraps, SpawnExHandsTheKernelASevenWordBlock) {
    uint32_t p = str("/bin/x.uelf"), q = str("argv");
    std::vector<uint32_t> block;
    script_trap(VEKOS_TRAP_SPAWN_EX, [&](const TrapRecord &trap) {
        for (uint32_t i = 0; i < 7; i++) block.push_back(read_u32(trap.args[0] + 4 * i));
        return int32_t(5);
    });
    EXPECT_EQ(call("spawn_ex", {p, q, 2, 10, 11, 12, 99}), 5u);
    EXPECT_EQ(block, (std::vector<uint32_t>{p, q, 2, 10, 11, 12, 1})) << "flag becomes 1";
    block.clear();
    call("spawn_ex", {p, q, 0, 0, 0, 0, 0});
    EXPECT_EQ(block, (std::vector<uint32_t>{p, q, 0, 0, 0, 0, 0}));
}

TEST_F(ScriptedTraps, SleepsAlwaysReturnZeroAndSleepMultipliesIn32Bits) {
    script_trap(VEKOS_TRAP_USLEEP, [](const TrapRecord &) { return int32_t(-1); });
    EXPECT_EQ(call("usleep", {250}), 0u);
    expect_one_trap("usleep", {"usleep", {250}});
    EXPECT_EQ(call("sleep", {5}), 0u);
    expect_one_trap("sleep(5)", {"usleep", {5000000}});
    EXPECT_EQ(call("sleep", {5000}), 0u);
    expect_one_trap("sleep(5000) wraps", {"usleep", {uint32_t(5000ull * 1000000 % (1ull << 32))}});
}

TEST_F(ScriptedTraps, AccessOpensAndClosesOrFails) {
    uint32_t p = str("/etc/x");
    EXPECT_EQ(call("access", {p, 4}), 0u);
    ASSERT_EQ(traps().size(), 2u);
    EXPECT_EQ(traps()[0].number, VEKOS_TRAP_OPEN);
    EXPECT_EQ(traps()[0].args[0], p);
    EXPECT_EQ(traps()[0].args[1], 0u) << "opened for reading, whatever the mode";
    EXPECT_EQ(traps()[1].number, VEKOS_TRAP_CLOSE);
    EXPECT_EQ(traps()[1].args[0], 7u) << "closes the descriptor it got";
    clear_traps();

    script_trap(VEKOS_TRAP_OPEN, [](const TrapRecord &) { return int32_t(0); });
    EXPECT_EQ(call("access", {p, 0}), 0u) << "descriptor 0 is a successful open";
    ASSERT_EQ(traps().size(), 2u) << describe(traps());
    EXPECT_EQ(traps()[1].number, VEKOS_TRAP_CLOSE);
    EXPECT_EQ(traps()[1].args[0], 0u);
    clear_traps();

    script_trap(VEKOS_TRAP_OPEN, [](const TrapRecord &) { return int32_t(-3); });
    EXPECT_EQ(as_int(call("access", {p, 0})), -1);
    EXPECT_EQ(traps().size(), 1u) << "nothing to close";
}

TEST_F(ScriptedTraps, MmapReportsFailureAsMinusOne) {
    script_trap(VEKOS_TRAP_MMAP, [](const TrapRecord &) { return int32_t(-1); });
    EXPECT_EQ(as_int(call("mmap", {0, 4096, map_flag::read_write, map_flag::private_anonymous,
                                   uint32_t(-1), 0})),
              -1);
    script_trap(VEKOS_TRAP_MMAP, [](const TrapRecord &) { return int32_t(0x2000000); });
    EXPECT_EQ(
        call("mmap", {0, 4096, map_flag::read_write, map_flag::private_anonymous, uint32_t(-1), 0}),
        0x2000000u);
}

TEST_F(TrapWrappers, ExitNeverReturnsEvenIfTheKernelComesBack) {
    script_trap(VEKOS_TRAP_EXIT, [](const TrapRecord &) { return int32_t(0); });
    CallOutcome outcome = call_outcome("_exit", {3}, 100000);
    EXPECT_TRUE(outcome.hit_instruction_limit) << "_exit must spin rather than return";
    ASSERT_GE(traps().size(), 1u);
    EXPECT_EQ(traps()[0].number, VEKOS_TRAP_EXIT);
    EXPECT_EQ(traps()[0].args[0], 3u);
}

// The test kit itself: a script of no results would have nothing to answer with.
TEST_F(TrapWrappers, AnEmptyScriptIsRefusedAndTheKernelServesTheTrap) {
    EXPECT_NONFATAL_FAILURE(guest().script_trap(VEKOS_TRAP_WRITE, std::vector<int32_t>{}),
                            "got no results");
    EXPECT_EQ(call("write", {1, str("ok"), 2}), 2u);
    ASSERT_EQ(traps().size(), 1u);
    EXPECT_FALSE(traps()[0].scripted) << "the kernel, not a script, answered";
    EXPECT_EQ(console(), "ok");
}

} // namespace
