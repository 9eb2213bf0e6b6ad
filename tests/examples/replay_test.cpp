// Record and replay: a run of several processes that reads files, a script, console input
// and the time-stamp counter is replayed exactly with every input gone or changed; damaged
// and hostile recordings are refused; a replay that leaves its recording stops and says where.
#include "emu_program_test.h"
#include "replay/recording.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using namespace vekos::replay;

constexpr int kUsage = 2, kDiverged = 125;

class Replay : public EmuProgramTest {
  protected:
    Replay()
        : EmuProgramTest({built_program("vsh.uelf"), built_program("cat.uelf"),
                          built_program("sum.uelf"), rand_draws()}) {}
    static std::string rand_draws() {
        return std::string(EXAMPLES_TEST_ROOT) + "/bin/rand_draws.uelf";
    }
    std::string file(const char *name) const { return root.host(name); }
    // The run every test records: vsh reads its lines from the console; a program that isn't
    // there fails to start, a pipeline reads a file, a spawned script runs two programs,
    // rand_draws seeds from the time-stamp counter.
    Finished record(const std::string &to) {
        root.write_file("nums.txt", "1 2 3\n4 5\n");
        root.write_file("bin/steps.shell", "cat.uelf nums.txt\nrand_draws.uelf\n");
        return emu_words({"--record", to, "vsh.uelf"},
                         "nope.uelf\ncat.uelf nums.txt | sum.uelf\nsteps.shell\nrand_draws.uelf\n");
    }
    static std::string slurp(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static void spill(const std::string &path, const std::string &bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    // A well-formed recording of `recording`, made by hand.
    static void rewrite(const Recording &recording, const std::string &path) {
        auto writer = RecordingWriter::create(path);
        ASSERT_TRUE(writer) << writer.error();
        (*writer)->add_header(recording.header);
        for (const ProgramFile &program : recording.programs)
            (*writer)->add_program(std::vector<uint8_t>(*program.content));
        for (const Event &event : recording.events) (*writer)->add(event);
        ASSERT_TRUE((*writer)->finish(recording.status));
    }
};

TEST_F(Replay, GivesTheSameOutputAndStatusWithEveryInputChanged) {
    const std::string recording = file("run.rec");
    Finished recorded = record(recording);
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    ASSERT_NE(recorded.out.find("5 numbers, total 15\n"), std::string::npos) << recorded.out;
    // Another run draws other numbers: the counter differs.
    Finished again = record(file("again.rec"));
    ASSERT_NE(again.out, recorded.out) << "expected other random numbers in a second run";

    fs::remove_all(root.host("bin"));
    root.write_file("nums.txt", "9 9 9\n");
    Finished replayed = emu_words({"--replay", recording}, "cat.uelf nums.txt\n");
    EXPECT_EQ(replayed.status, recorded.status) << replayed.err;
    EXPECT_EQ(replayed.out, recorded.out);
    EXPECT_EQ(replayed.err, recorded.err);

    Finished checked = emu_words({"--replay", recording, "--replay-check"});
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_EQ(checked.out, "") << "expected the output compared, not shown";
    EXPECT_NE(checked.err.find("the replay matches the recording"), std::string::npos)
        << checked.err;
}

TEST_F(Replay, RefusesDamagedAndHostileRecordings) {
    const std::string good = file("run.rec");
    ASSERT_EQ(record(good).status, 0);
    const std::string bytes = slurp(good);
    std::string flipped = bytes;
    flipped[bytes.size() / 2] = char(flipped[bytes.size() / 2] ^ 0x04);
    std::string version = bytes;
    version[8] = 9;
    struct Case {
        const char *name;
        std::string content, reason;
    } cases[] = {
        {"cut short", bytes.substr(0, bytes.size() * 2 / 3), "recording cut short"},
        {"cut in its header", bytes.substr(0, 12), "recording cut short"},
        {"a flipped bit", flipped, "damaged recording"},
        {"other bytes", "hello\n", "not a vekos-emu recording"},
        {"empty", "", "not a vekos-emu recording"},
        {"a later version", version, "format version 9"},
        {"bytes after its end", bytes + "x", "damaged recording"},
    };
    for (const Case &c : cases) {
        spill(file("bad.rec"), c.content);
        Finished f = emu_words({"--replay", file("bad.rec")});
        EXPECT_EQ(f.status, kUsage) << c.name << ": " << f.err;
        EXPECT_NE(f.err.find(c.reason), std::string::npos)
            << c.name << ": expected \"" << c.reason << "\" in: " << f.err;
    }
}

// A header holds only what the command line would take: its limits are checked as the options'.
TEST_F(Replay, RefusesHeadersTheCommandLineWouldRefuse) {
    const std::string good = file("run.rec");
    ASSERT_EQ(emu_words({"--record", good, "rand_draws.uelf"}).status, 0);
    auto recording = read_recording(good);
    ASSERT_TRUE(recording) << recording.error();
    struct Case {
        void (*change)(RunHeader &);
        std::string reason;
    } cases[] = {
        {[](RunHeader &h) { h.timeout_ms = 10'000'000'000'000'000; }, "a timeout of 1"},
        {[](RunHeader &h) { h.timeout_ms = uint64_t(1) << 63; }, "a timeout of 9"},
        {[](RunHeader &h) { h.max_instructions = UINT64_MAX; }, "a limit of 18446744073709551615"},
        {[](RunHeader &h) { h.stack_size = 4096; }, "a stack of 4096 bytes"},
        {[](RunHeader &h) { h.stack_size = (1 << 20) + 1; }, "a stack of 1048577"},
        {[](RunHeader &h) { h.max_memory = 100; }, "a memory limit of 100 bytes"},
        {[](RunHeader &h) { h.cwd = "bin/../.."; }, "its folder"},
    };
    for (const Case &c : cases) {
        Recording changed = *recording;
        c.change(changed.header);
        rewrite(changed, file("changed.rec"));
        Finished f = emu_words({"--replay", file("changed.rec")});
        EXPECT_EQ(f.status, kUsage) << c.reason << ": " << f.err;
        EXPECT_NE(f.err.find("damaged recording (" + c.reason), std::string::npos)
            << "expected \"" << c.reason << "\" in: " << f.err;
    }
    // The largest values the options take are taken.
    Recording largest = *recording;
    largest.header.timeout_ms = 366ull * 86400 * 1000;
    largest.header.max_instructions = 9'999'999'999'999'999'999ull;
    largest.header.stack_size = 16 << 20;
    largest.header.max_memory = 9'999'999'999ull << 30;
    rewrite(largest, file("changed.rec"));
    Finished f = emu_words({"--replay", file("changed.rec")});
    EXPECT_EQ(f.status, 0) << f.err;
}

// Hand-made recordings: a well-formed file whose events the program doesn't follow.
TEST_F(Replay, StopsWhereTheReplayLeavesItsRecording) {
    const std::string good = file("run.rec");
    ASSERT_EQ(emu_words({"--record", good, "rand_draws.uelf"}).status, 0);
    auto recording = read_recording(good);
    ASSERT_TRUE(recording) << recording.error();
    struct Case {
        const char *name;
        void (*change)(Recording &);
        std::string reason;
    } cases[] = {
        {"another trap", [](Recording &r) { r.events.back().number = 4; },
         "where the recording has"},
        {"fewer events", [](Recording &r) { r.events.pop_back(); },
         "past the end of the recording"},
        {"another status", [](Recording &r) { r.status = 3; }, "where the recording has 3"},
        {"another counter", [](Recording &r) { r.events.front().kind = Event::Kind::Trap; },
         "reads the time-stamp counter where the recording has"},
    };
    for (const Case &c : cases) {
        Recording changed = *recording;
        c.change(changed);
        rewrite(changed, file("changed.rec"));
        Finished f = emu_words({"--replay", file("changed.rec")});
        EXPECT_EQ(f.status, kDiverged) << c.name << ": " << f.err;
        EXPECT_EQ(f.err.rfind("vekos-emu: the replay left the recording: ", 0), 0u)
            << c.name << ": " << f.err;
        EXPECT_NE(f.err.find(c.reason), std::string::npos)
            << c.name << ": expected \"" << c.reason << "\" in: " << f.err;
    }
}

} // namespace
