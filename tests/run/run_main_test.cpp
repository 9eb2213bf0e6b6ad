// run's main, called inside run.uelf with argument vectors built in guest memory; the
// kernel's run request is scripted, so each test sees exactly the line that run hands over.
#include "../lib/lib_fixture.h"

namespace {

const std::string usage =
    "Usage: run <program.vek|program.bin|program.flat|program.uelf|script.shell> [args...]\n";

class RunMain : public LibFixture {
  protected:
    RunMain() : LibFixture(VEKOS_RUN_IMAGE) {}

    struct Outcome {
        int status;
        std::optional<std::string> line; // what the run request received; none: no request
    };

    // Calls main(argc, argv); entries of nullopt are null pointers in the vector.
    Outcome run_main(const std::vector<std::optional<std::string>> &args, int32_t kernel_answer = 0,
                     std::optional<uint32_t> argc = std::nullopt) {
        std::vector<uint32_t> pointers;
        for (const auto &arg : args) pointers.push_back(arg ? str(*arg) : 0);
        pointers.push_back(0);
        uint32_t argv = words(pointers);
        Outcome outcome{0, std::nullopt};
        script_trap(VEKOS_TRAP_RUN, [&](const TrapRecord &trap) {
            outcome.line = read_string(trap.args[0]);
            return kernel_answer;
        });
        outcome.status = as_int(call("main", {argc.value_or(uint32_t(args.size())), argv}));
        return outcome;
    }
};

TEST_F(RunMain, WithoutAProgramPrintsTheUsageLineAndFails) {
    struct Case {
        const char *what;
        std::vector<std::optional<std::string>> args;
    } cases[] = {
        {"no arguments", {"run"}},
        {"empty first argument, later ones ignored", {"run", "", "hello.uelf"}},
        {"null first argument", {"run", std::nullopt, "hello.uelf"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        clear_console();
        Outcome outcome = run_main(c.args);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_FALSE(outcome.line) << "no request may be made";
        EXPECT_EQ(console(), usage);
    }
    clear_console();
    EXPECT_EQ(run_main({}, 0, 0).status, 1) << "argc 0";
    EXPECT_EQ(console(), usage);
}

TEST_F(RunMain, JoinsArgumentsWithSingleSpacesWithoutQuoting) {
    struct Case {
        std::vector<std::optional<std::string>> args;
        std::string line;
    } cases[] = {
        {{"run", "prog", "a", "b"}, "prog a b"},
        {{"run", "prog", "", "x"}, "prog  x"},
        {{"run", "prog", ""}, "prog "},
        {{"run", "prog", "two words"}, "prog two words"},
        {{"run", "prog", std::nullopt, "b"}, "prog b"}, // null entries add no separator
        {{"/bin/run.uelf", "hello.uelf"}, "hello.uelf"},
    };
    for (const Case &c : cases) {
        Outcome outcome = run_main(c.args);
        ASSERT_TRUE(outcome.line);
        EXPECT_EQ(*outcome.line, c.line);
        EXPECT_EQ(outcome.status, 0);
    }
    EXPECT_EQ(console(), "") << "success prints nothing";
}

TEST_F(RunMain, CutsTheLineAt191Characters) {
    const std::string a190(190, 'a'), b191(191, 'b'), c300(300, 'c');
    struct Case {
        const char *what;
        std::vector<std::optional<std::string>> args;
        std::string line;
    } cases[] = {
        {"first argument too long", {"run", c300, "later"}, std::string(191, 'c')},
        {"first argument exactly 191", {"run", b191, "later"}, b191},
        {"190 so far: the space still fits", {"run", a190, "x", "y"}, a190 + " "},
        {"argument in progress cut",
         {"run", std::string(185, 'p'), "123456789"},
         std::string(185, 'p') + " 12345"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Outcome outcome = run_main(c.args);
        ASSERT_TRUE(outcome.line);
        EXPECT_EQ(*outcome.line, c.line);
        EXPECT_EQ(outcome.status, 0);
    }
}

TEST_F(RunMain, AnyNonZeroAnswerIsAFailure) {
    for (int32_t answer : {-1, 1, 2, int32_t(0x80000000)}) {
        clear_console();
        Outcome outcome = run_main({"run", "missing.uelf"}, answer);
        EXPECT_EQ(outcome.status, 1) << "kernel answered " << answer;
        EXPECT_EQ(console(), "run: failed\n") << "kernel answered " << answer;
    }
}

} // namespace
