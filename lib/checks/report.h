// The run-time of the checks vekos-cc builds into programs on request (-fsanitize=undefined,
// -fstack-protector, -ftrapv): what the compiler's data says about a failed check, and the
// report of it. Private to libvekos_checks.a, which only such programs link.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vekos::checks {

// A program that a failed check ends exits with this status, as abort ends it.
constexpr int kCheckFailedStatus = 1;

// Where the compiler placed a check. kReported in the column marks a place reported already.
struct SourceLocation {
    const char *file;
    uint32_t line;
    uint32_t column;
};
constexpr uint32_t kReported = 0x80000000u;

// A type as the compiler describes it: integers give log2 of their width and signedness,
// floating types their width in bits; the name is quoted ('int').
struct TypeDescriptor {
    uint16_t kind;
    uint16_t info;
    char name[1]; // NUL-terminated, as long as it is
};
enum : uint16_t { kIntegerType = 0, kFloatType = 1 };

// A value of a TypeDescriptor's type: the value itself when it fits in a word, else its
// address.
using ValueHandle = uintptr_t;

bool is_signed(const TypeDescriptor &type);
// An integer of the type, widened to 64 bits (0 for wider types, which i386 has none of).
uint64_t unsigned_value(const TypeDescriptor &type, ValueHandle value);
int64_t signed_value(const TypeDescriptor &type, ValueHandle value);

// True the first time the place is reported, which marks it: a recoverable check reports
// each place once.
bool first_report(SourceLocation &where);

// One report line, built in place and written with one write:
// "FILE:LINE:COL: runtime error: MESSAGE", or, where the compiler gave no place, the option
// that built the check in ("-ftrapv: runtime error: ...").
class Report {
  public:
    explicit Report(const SourceLocation &where);
    explicit Report(const char *option);

    Report &text(const char *text);
    Report &number(int64_t value);
    Report &unsigned_number(uint64_t value);
    Report &address(uintptr_t value); // 0x0040a000
    Report &value(const TypeDescriptor &type, ValueHandle value);
    Report &type(const TypeDescriptor &type) { return text(type.name); }

    // Writes the line (on descriptor 2, or 1 when 2 is closed) and asks vekos-emu for the
    // backtrace from `from`, a return address into the checked code; the vekos kernel has
    // no such trap and refuses it, so the same image runs there.
    void show(const void *from);
    // The same, then the program ends with kCheckFailedStatus.
    [[noreturn]] void end(const void *from);

  private:
    Report &floating(long double value);

    char line_[512];
    size_t length_ = 0;
};

} // namespace vekos::checks
