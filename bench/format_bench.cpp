// Formatted output, counted in the emulator: guest instructions per output byte of snprintf
// on typical formats, and console writes and instructions per printf line.
#include "guest.h"

#include <cstdio>
#include <vector>

namespace {

using vekos::harness::CallOutcome;
using vekos::harness::Guest;
using vekos::harness::GuestArg;

struct Case {
    const char *name;
    const char *format;
    std::vector<GuestArg> args;
};

void snprintf_per_byte(Guest &g, const Case &c) {
    uint32_t out = g.alloc(512);
    CallOutcome outcome =
        g.call_outcome("snprintf", g.put_arguments({out, 512, g.put_string(c.format)}, c.args));
    int length = int32_t(outcome.eax);
    std::printf("snprintf %-28s %4d bytes %7llu instructions %6.1f per byte\n", c.name, length,
                (unsigned long long)outcome.instructions,
                length > 0 ? double(outcome.instructions) / length : 0.0);
}

void printf_traps(Guest &g, const Case &c) {
    std::vector<uint32_t> args = g.put_arguments({g.put_string(c.format)}, c.args);
    g.clear_traps();
    CallOutcome outcome = g.call_outcome("printf", args);
    int length = int32_t(outcome.eax);
    std::printf("printf   %-28s %4d bytes %4zu write traps %7llu instructions\n", c.name, length,
                g.traps().size(), (unsigned long long)outcome.instructions);
}

const Case cases[] = {
    {"log line", "%s: %5d items, %08x flags, %-10s|%u%%\n", {"scanner", 42, 0xbeef, "ok", 97}},
    {"table row", "| %-12s | %8d | %8u | %6.2x |\n", {"widgets", -1234, 56789, 0xab}},
    {"address and size", "block at %p, %u bytes (%d used)\n", {0x401000, 4096, 1000}},
    {"plain text", "no conversions at all, only text to copy.\n", {}},
};

const Case stream_cases[] = {
    {"log line", "%s: %5d items, %.8x flags, %10s|%u%%\n", {"scanner", 42, 0xbeef, "ok", 97}},
    {"hexdump line", "%.8x  %.2x %.2x %.2x %.2x  |%s|\n", {0x1230, 0x41, 0x42, 0x0a, 0xff, "AB.."}},
    {"64-bit value", "total %lld bytes\n", {0x9abcdef0u, 0x12u}},
    {"plain text", "no conversions at all, only text to copy.\n", {}},
};

} // namespace

int main() {
    Guest &g = Guest::fresh(VEKOS_TEST_IMAGE);
    g.set_instruction_limit(50'000'000); // counts the instructions of each call
    for (const Case &c : cases) snprintf_per_byte(g, c);
    for (const Case &c : stream_cases) printf_traps(g, c);
    return 0;
}
