// Reports of failed checks: the line, the backtrace vekos-emu shows for it, and the end.
#include "checks/report.h"

#include <unistd.h>

#include "abi/trap_numbers.h"
#include "internal/trap.h"

namespace vekos::checks {

bool first_report(SourceLocation &where) {
    if (where.column & kReported) return false;
    where.column |= kReported;
    return true;
}

Report::Report(const SourceLocation &where) {
    text(where.file != nullptr ? where.file : "<unknown>");
    text(":").unsigned_number(where.line);
    const uint32_t column = where.column & ~kReported;
    if (column != 0) text(":").unsigned_number(column);
    text(": runtime error: ");
}

Report::Report(const char *option) {
    text(option).text(": runtime error: ");
}

// A line too long for the buffer is cut; the newline always fits.
Report &Report::text(const char *text) {
    while (*text != '\0' && length_ + 1 < sizeof line_) line_[length_++] = *text++;
    return *this;
}

Report &Report::unsigned_number(uint64_t value) {
    char digits[21];
    size_t at = sizeof digits;
    digits[--at] = '\0';
    do digits[--at] = char('0' + value % 10);
    while ((value /= 10) != 0);
    return text(digits + at);
}

Report &Report::number(int64_t value) {
    if (value >= 0) return unsigned_number(uint64_t(value));
    return text("-").unsigned_number(0 - uint64_t(value));
}

Report &Report::address(uintptr_t value) {
    char digits[11] = "0x";
    for (int i = 0; i < 8; i++) digits[2 + i] = "0123456789abcdef"[(value >> (28 - 4 * i)) & 0xf];
    digits[10] = '\0';
    return text(digits);
}

void Report::show(const void *from) {
    line_[length_++] = '\n';
    if (write(2, line_, length_) < 0) write(1, line_, length_);
    length_--;
    trap(VEKOS_TRAP_BACKTRACE, word(from));
}

void Report::end(const void *from) {
    show(from);
    _exit(kCheckFailedStatus);
}

} // namespace vekos::checks
