// Showing traps: `write(1, "hello\n", 6) = 6`, from the table row and the bytes recorded.
#pragma once

#include "host/console.h"
#include "kernel/trap_record.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <string_view>

namespace vekos {

// Quoted with C escapes, cut after `max` bytes with "...".
std::string quote(std::string_view bytes, size_t max = 32);
std::string describe_trap(const TrapRecord &record);

struct TraceSettings {
    FILE *out = stderr;      // stderr: the program's console output is flushed first
    std::string out_name;    // how a failed write names `out` ("--trace-file t.txt")
    std::set<uint32_t> only; // trap numbers to show; empty: all
    bool timestamps = false; // seconds since the observer was made
};

// --trace: one line per trap. The first line that can't be written is reported on stderr
// ("vekos-emu: --trace-file t.txt: No space left on device") and ends the trace: one with
// lines missing would mislead.
class TraceObserver : public TrapObserver {
  public:
    explicit TraceObserver(Console &console, TraceSettings settings = {})
        : console_(console), settings_(std::move(settings)) {}
    void after(const TrapRecord &record) override;
    // Writes out what is buffered; false when some of the trace was lost (reported).
    bool finish();

  private:
    void write_failed(int error);

    Console &console_;
    TraceSettings settings_;
    bool failed_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

} // namespace vekos
