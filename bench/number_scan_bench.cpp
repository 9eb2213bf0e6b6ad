// Number parsing and formatted input, counted in the emulator: guest instructions per
// input byte of strtoul, strtold and sscanf on typical text, and read traps and
// instructions per word for fscanf on a file.
#include "guest.h"
#include "library_abi.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using vekos::harness::CallOutcome;
using vekos::harness::Guest;
using vekos::harness::TrapRecord;

void report(const char *function, const std::string &text, uint64_t instructions) {
    std::printf("%-8s %-28s %3zu bytes %6llu instructions %6.1f per byte\n", function,
                ("\"" + text + "\"").c_str(), text.size(), (unsigned long long)instructions,
                double(instructions) / double(text.size()));
}

void strtoul_per_byte(Guest &g, const std::string &text, int base) {
    report("strtoul", text,
           g.call_outcome("strtoul", {g.put_string(text), 0, uint32_t(base)}).instructions);
}

void strtold_per_byte(Guest &g, const std::string &text) {
    report("strtold", text, g.call_outcome("strtold", {g.put_string(text), 0}).instructions);
}

void sscanf_per_byte(Guest &g, const std::string &text, const char *format, int destinations) {
    std::vector<uint32_t> args = {g.put_string(text), g.put_string(format)};
    for (int i = 0; i < destinations; i++) args.push_back(g.alloc(64));
    report("sscanf", text, g.call_outcome("sscanf", args).instructions);
}

// Every word of the file through fscanf("%d"), until it reports the end.
void fscanf_per_word(Guest &g, const std::string &content) {
    std::ofstream(std::filesystem::path(g.root()) / "words.txt", std::ios::binary) << content;
    uint32_t fd = g.call("open", {g.put_string("/words.txt"), library_abi::open_flag::read_only});
    std::vector<uint32_t> record(library_abi::kFileFields, 0);
    record[library_abi::file_field::kind / 4] = library_abi::stream_kind::fd;
    record[library_abi::file_field::fd / 4] = fd;
    uint32_t stream = g.put_bytes(record.data(), record.size() * 4);
    uint32_t value = g.alloc(4);
    uint32_t format = g.put_string("%d");
    g.clear_traps();
    unsigned words_read = 0;
    uint64_t instructions = 0;
    for (;;) {
        CallOutcome outcome = g.call_outcome("fscanf", {stream, format, value});
        instructions += outcome.instructions;
        if (int32_t(outcome.eax) < 0) break;
        words_read++;
    }
    size_t reads = 0;
    for (const TrapRecord &trap : g.traps()) reads += trap.number == VEKOS_TRAP_READ;
    std::printf("fscanf   %u words in %zu bytes: %zu read traps, %.2f per word, %.0f "
                "instructions per word\n",
                words_read, content.size(), reads, double(reads) / words_read,
                double(instructions) / words_read);
}

} // namespace

int main() {
    Guest &g = Guest::fresh(VEKOS_TEST_IMAGE);
    g.set_instruction_limit(50'000'000); // counts the instructions of each call
    strtoul_per_byte(g, "4294967295", 10);
    strtoul_per_byte(g, "  0xdeadbeef", 0);
    strtoul_per_byte(g, "0755", 0);
    strtold_per_byte(g, "3.14159265358979");
    strtold_per_byte(g, "-1.5e-10");
    strtold_per_byte(g, "6.02214076e23");
    strtold_per_byte(g, "0x1.921fb54442d18p1");
    sscanf_per_byte(g, "42 -17 0x1f name x", "%d %d %i %s %c", 5);
    sscanf_per_byte(g, "GET 200 1534", "%s %u %d", 3);
    fscanf_per_word(g, "12 345 6789\n-5\t77 100000 3 14 159 2653\n");
    return 0;
}
