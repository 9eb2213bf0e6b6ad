// The vekos console: what descriptors 0, 1 and 2 reach. vekos-emu uses the host's standard
// input and output; the test harness captures output and scripts input instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vekos {

class Console {
  public:
    virtual ~Console() = default;
    virtual void write(const uint8_t *data, size_t n) = 0;
    // Up to n bytes of input; 0 at end of input, -1 on error.
    virtual int32_t read(uint8_t *out, size_t n) = 0;
    // Hands everything written so far to the host; called before the guest waits.
    virtual void flush() = 0;
    // A read would not wait now (there is input, or its end).
    virtual bool input_ready() { return true; }
    // Waits until input_ready() or `milliseconds` have passed (-1: no limit).
    virtual void wait_for_input(int milliseconds) { (void)milliseconds; }
};

// Host standard output. On a terminal every write goes straight through. Otherwise writes
// are gathered (guests write a byte per trap) and handed over when 64 KiB are pending,
// before standard input is read from the host or the guest waits, before any message on
// stderr, and at the
// latest kMaxHoldMilliseconds after the first pending byte, by a timer signal, even while
// the guest computes without trapping.
//
// SIGINT, SIGTERM and SIGHUP write out what is pending, say on stderr why the run stopped
// and end vekos-emu with status_after_signal(signal); the same signal a second time, while
// that is under way, ends it at once.
//
// Standard input is taken from the host a chunk at a time, as much as a read(2) gives.
class HostConsole : public Console {
  public:
    static constexpr int kMaxHoldMilliseconds = 100;

    // One per process: it owns the timer and the stop signals.
    HostConsole();
    ~HostConsole() override;
    HostConsole(const HostConsole &) = delete;
    HostConsole &operator=(const HostConsole &) = delete;

    void write(const uint8_t *data, size_t n) override;
    int32_t read(uint8_t *out, size_t n) override;
    void flush() override;
    bool input_ready() override;
    void wait_for_input(int milliseconds) override;

  private:
    static constexpr size_t kInputChunk = 4096;
    uint8_t input_[kInputChunk];
    size_t input_at_ = 0, input_end_ = 0; // input taken from the host, not yet read
};

// Writes out what HostConsole still holds; safe in a signal handler. Nothing happens while
// the console itself is changing its buffer (a crash there leaves it in no known state).
void write_pending_console_output();
// Writes `text` to the host's stderr with plain write(2) calls; safe in a signal handler.
void write_stderr(const char *text);

} // namespace vekos
