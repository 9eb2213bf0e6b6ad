// vekos-emu --record: the run goes on as usual while everything it takes from outside is
// written down: each trap's result and the bytes it put into memory, the console output it
// gave (as a length and a hash), each time-stamp read, each program file, in the order the
// processes met them.
#pragma once

#include "host/console.h"
#include "kernel/run_journal.h"
#include "replay/recording.h"

#include <memory>

namespace vekos::replay {

// The console the recorded run writes to: the host's, with each trap's output counted and
// hashed on the way.
class TappedConsole : public Console {
  public:
    explicit TappedConsole(Console &host) : host_(host) {}
    void write(const uint8_t *data, size_t n) override;
    int32_t read(uint8_t *out, size_t n) override { return host_.read(out, n); }
    void flush() override { host_.flush(); }
    bool input_ready() override { return host_.input_ready(); }
    void wait_for_input(int milliseconds) override { host_.wait_for_input(milliseconds); }
    // What was written since the last take.
    void take(uint32_t &bytes, uint32_t &hash) {
        bytes = bytes_;
        hash = hash_;
        forget();
    }
    void forget() { bytes_ = hash_ = 0; }

  private:
    Console &host_;
    uint32_t bytes_ = 0, hash_ = 0;
};

class Recorder : public RunJournal {
  public:
    Recorder(std::unique_ptr<RecordingWriter> writer, RunHeader header, Console &host)
        : writer_(std::move(writer)), header_(std::move(header)), console_(host) {}
    Console &console() { return console_; }

    Turn before_trap(TrapArgs &trap, TrapContext &context, int32_t &result) override;
    WaitFor turn(const TrapContext &) override { return {}; } // a recorded run never waits here
    void after_trap(const TrapArgs &trap, TrapContext &context, int32_t result) override;
    std::optional<uint64_t> time_stamp(TrapContext &context) override;
    Result<std::vector<uint8_t>> program_file(std::string_view name,
                                              const FileReader &read) override;
    bool program_on_host(const std::function<bool()> &look) override;
    void deadlocked(int32_t pid, const std::string &what) override {
        writer_->add_deadlocked({pid, what});
    }

    // Ends the recording with the run's status; the reason when it could not be written.
    Result<bool> finish(int status);

  private:
    void write_header();

    std::unique_ptr<RecordingWriter> writer_;
    RunHeader header_;
    bool header_written_ = false;
    std::vector<uint32_t> sizes_; // of the trap's patches, kept for the next trap
    TappedConsole console_;
};

} // namespace vekos::replay
