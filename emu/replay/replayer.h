// vekos-emu --replay: the recorded run again, without the host's files, console input or
// clock. Each process's traps are answered from the recording, in the recorded order across
// processes: a process whose event is not next waits for its turn. Only what the kernel must
// do for the run to go on is done again, as the trap's row says (exit, run requests, spawn,
// waitpid, mappings), and its result checked against the recording's. Console output is given again
// from the guest's own bytes, or with `check` compared with the recording's instead. A replay that
// leaves the recording (another trap than the recorded one) stops at once with ReplayDiverged.
#pragma once

#include "host/console.h"
#include "kernel/run_journal.h"
#include "replay/recording.h"
#include "replay/run_history.h"

#include <stdexcept>

namespace vekos::replay {

struct ReplayDiverged : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The recorded run was stopped here (by its limits, or from gdb): the replay ends the same way.
struct ReplayEnded {
    int status;
};

class Replayer : public RunJournal, public RunHistory {
  public:
    Replayer(Recording recording, Console &out, bool check)
        : recording_(std::move(recording)), out_(out), check_(check),
          skipped_programs_(recording_.programs.size()) {}

    Turn before_trap(TrapArgs &trap, TrapContext &context, int32_t &result) override;
    WaitFor turn(const TrapContext &context) override;
    void after_trap(const TrapArgs &trap, TrapContext &context, int32_t result) override;
    std::optional<uint64_t> time_stamp(TrapContext &context) override;
    Result<std::vector<uint8_t>> program_file(std::string_view name,
                                              const FileReader &read) override;
    bool program_on_host(const std::function<bool()> &) override {
        return recording_.header.program_on_host;
    }
    void deadlocked(int32_t, const std::string &) override {}

    uint64_t position() const override { return at_; }
    void rewind(uint64_t position) override { at_ = size_t(position); }
    uint64_t rewind_floor() const override { return floor_; }

    // The run's end: its status when the replay matched the recording to the end, else it
    // throws ReplayDiverged.
    int finish(int status);
    size_t events() const { return recording_.events.size(); }
    uint64_t output_bytes() const { return output_bytes_; }

  private:
    const Event *next() const;
    // The next event when it is this process's; none when another's comes first.
    const Event *mine(const TrapContext &context);
    [[noreturn]] void diverged(const TrapContext &context, const std::string &what) const;
    // Checks the trap against the recorded one.
    void expect(const TrapArgs &trap, const TrapContext &context, const Event &event) const;
    void give_back(const Event &event, TrapContext &context);
    void give_output(const Event &event, TrapContext &context);
    // The program file the answered event read when recorded (a spawn that then failed), no
    // one's in the replay.
    void skip_program_of(size_t event);

    Recording recording_;
    Console &out_;
    bool check_;
    size_t at_ = 0;                      // the next event
    size_t floor_ = 0;                   // see RunHistory::rewind_floor
    size_t emitted_ = 0;                 // output of events before this one was given already
    size_t next_program_ = 0;            // the next program file the kernel reads
    std::vector<bool> skipped_programs_; // see skip_program_of
    uint64_t output_bytes_ = 0;
};

} // namespace vekos::replay
