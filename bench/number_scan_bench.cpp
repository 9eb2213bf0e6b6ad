// Number parsing and formatted input, counted in the emulator: guest instructions per
// input byte of strtoul, strtold and sscanf on typical text, and read traps and
// instructions per word for fscanf on a file.
#include "lib_fixture.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The fixture outside a test runner: one guest, set up once.
class NumberScanBench : public LibFixture {
  public:
    void TestBody() override {}
    void start() { SetUp(); }
    void stop() { TearDown(); }

    uint64_t counted(const std::string &function, const std::vector<uint32_t> &args) {
        count_instructions(true);
        CallOutcome outcome = call_outcome(function, args);
        count_instructions(false);
        return outcome.instructions;
    }

    void report(const char *function, const std::string &text, uint64_t instructions) {
        std::printf("%-8s %-28s %3zu bytes %6llu instructions %6.1f per byte\n", function,
                    ("\"" + text + "\"").c_str(), text.size(), (unsigned long long)instructions,
                    double(instructions) / double(text.size()));
    }

    void strtoul_per_byte(const std::string &text, int base) {
        report("strtoul", text, counted("strtoul", {str(text), 0, uint32_t(base)}));
    }
    void strtold_per_byte(const std::string &text) {
        report("strtold", text, counted("strtold", {str(text), 0}));
    }
    void sscanf_per_byte(const std::string &text, const char *format, int destinations) {
        std::vector<uint32_t> args = {str(text), str(format)};
        for (int i = 0; i < destinations; i++) args.push_back(alloc(64));
        report("sscanf", text, counted("sscanf", args));
    }

    // Every word of the file through fscanf("%d"), until it reports the end.
    void fscanf_per_word(const std::string &content) {
        std::ofstream(root() / "words.txt", std::ios::binary) << content;
        uint32_t fd = call("open", {str("/words.txt"), 0});
        uint32_t stream = words({1, fd, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        uint32_t value = alloc(4);
        uint32_t format = str("%d");
        clear_traps();
        unsigned words_read = 0;
        uint64_t instructions = 0;
        for (;;) {
            count_instructions(true);
            CallOutcome outcome = call_outcome("fscanf", {stream, format, value});
            count_instructions(false);
            instructions += outcome.instructions;
            if (as_int(outcome.eax) < 0) break;
            words_read++;
        }
        size_t reads = 0;
        for (const TrapRecord &trap : traps()) reads += trap.number == 3;
        std::printf("fscanf   %u words in %zu bytes: %zu read traps, %.2f per word, %.0f "
                    "instructions per word\n",
                    words_read, content.size(), reads, double(reads) / words_read,
                    double(instructions) / words_read);
    }
};

} // namespace

int main() {
    NumberScanBench bench;
    bench.start();
    bench.strtoul_per_byte("4294967295", 10);
    bench.strtoul_per_byte("  0xdeadbeef", 0);
    bench.strtoul_per_byte("0755", 0);
    bench.strtold_per_byte("3.14159265358979");
    bench.strtold_per_byte("-1.5e-10");
    bench.strtold_per_byte("6.02214076e23");
    bench.strtold_per_byte("0x1.921fb54442d18p1");
    bench.sscanf_per_byte("42 -17 0x1f name x", "%d %d %i %s %c", 5);
    bench.sscanf_per_byte("GET 200 1534", "%s %u %d", 3);
    bench.fscanf_per_word("12 345 6789\n-5\t77 100000 3 14 159 2653\n");
    bench.stop();
    return 0;
}
