// Formatted output, counted in the emulator: guest instructions per output byte of snprintf
// on typical formats, and console writes and instructions per printf line.
#include "lib_fixture.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Arg = GuestArg;

struct Case {
    const char *name;
    const char *format;
    std::vector<Arg> args;
};

// The fixture outside a test runner: one guest, set up once.
class FormatBench : public LibFixture {
  public:
    void TestBody() override {}
    void start() { SetUp(); }
    void stop() { TearDown(); }

    void snprintf_per_byte(const Case &c) {
        uint32_t out = alloc(512);
        std::vector<uint32_t> args = argument_words(c.args, {out, 512, str(c.format)});
        count_instructions(true);
        CallOutcome outcome = call_outcome("snprintf", args);
        count_instructions(false);
        int length = as_int(outcome.eax);
        std::printf("snprintf %-28s %4d bytes %7llu instructions %6.1f per byte\n", c.name, length,
                    (unsigned long long)outcome.instructions,
                    length > 0 ? double(outcome.instructions) / length : 0.0);
    }

    void printf_traps(const Case &c) {
        std::vector<uint32_t> args = argument_words(c.args, {str(c.format)});
        clear_traps();
        count_instructions(true);
        CallOutcome outcome = call_outcome("printf", args);
        count_instructions(false);
        int length = as_int(outcome.eax);
        std::printf("printf   %-28s %4d bytes %4zu write traps %7llu instructions\n", c.name,
                    length, traps().size(), (unsigned long long)outcome.instructions);
    }
};

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
    FormatBench bench;
    bench.start();
    for (const Case &c : cases) bench.snprintf_per_byte(c);
    for (const Case &c : stream_cases) bench.printf_traps(c);
    bench.stop();
    return 0;
}
