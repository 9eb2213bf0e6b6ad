// Showing traps: `write(1, "hello\n", 6) = 6`, from the table row and the bytes recorded.
#pragma once

#include "kernel/console.h"
#include "kernel/trap_record.h"

#include <string>
#include <string_view>

namespace vekos {

// Quoted with C escapes, cut after `max` bytes with "...".
std::string quote(std::string_view bytes, size_t max = 32);
std::string describe_trap(const TrapRecord &record);

// --trace: one line per trap on stderr.
class TraceObserver : public TrapObserver {
  public:
    explicit TraceObserver(Console &console) : console_(console) {}
    void after(const TrapRecord &record) override;

  private:
    Console &console_;
};

} // namespace vekos
