// Streams, counted in the emulator: guest instructions per byte appended to a memory
// stream with fputc and with fwrite of 4 KiB blocks, and per byte read with fgetc.
// Counting instructions keeps the figures independent of the machine's load.
#include "guest.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using vekos::harness::CallOutcome;
using vekos::harness::Guest;

constexpr uint32_t block_size = 4096;

// Sums the instructions of calling `function` with `args` `times` times.
uint64_t count_calls(Guest &g, const char *function, const std::vector<uint32_t> &args,
                     uint32_t times) {
    uint64_t total = 0;
    for (uint32_t i = 0; i < times; i++) {
        CallOutcome outcome = g.call_outcome(function, args);
        if (!outcome.returned) {
            std::fprintf(stderr, "%s failed: %s\n", function, outcome.describe().c_str());
            break;
        }
        total += outcome.instructions;
    }
    return total;
}

uint32_t open_memory_stream(Guest &g) {
    return g.call("open_memstream", {g.alloc(4), g.alloc(4)});
}

uint64_t fputc_to_memory(Guest &g, uint32_t bytes) {
    return count_calls(g, "fputc", {'x', open_memory_stream(g)}, bytes);
}

uint64_t fwrite_blocks_to_memory(Guest &g, uint32_t blocks) {
    uint32_t stream = open_memory_stream(g);
    uint32_t block = g.alloc(block_size, 'x');
    return count_calls(g, "fwrite", {block, 1, block_size, stream}, blocks);
}

uint64_t fgetc_from_file(Guest &g, uint32_t bytes) {
    std::ofstream(std::filesystem::path(g.root()) / "data.bin", std::ios::binary)
        << std::string(bytes, 'x');
    uint32_t stream = g.call("fopen", {g.put_string("/data.bin"), g.put_string("r")});
    return count_calls(g, "fgetc", {stream}, bytes);
}

// One fresh guest per measurement.
template <typename Measure> void measure(const char *what, uint32_t bytes, Measure body) {
    Guest &g = Guest::fresh(VEKOS_TEST_IMAGE);
    g.set_instruction_limit(50'000'000); // counts the instructions of each call
    uint64_t instructions = body(g);
    std::printf("%-44s %8u bytes %11llu instructions %7.1f per byte\n", what, bytes,
                (unsigned long long)instructions, double(instructions) / bytes);
}

} // namespace

int main() {
    constexpr uint32_t fputc_bytes = 32 * 1024, blocks = 32, fgetc_bytes = 16 * 1024;
    measure("memory stream, fputc of each byte", fputc_bytes,
            [&](Guest &g) { return fputc_to_memory(g, fputc_bytes); });
    measure("memory stream, fwrite of 4 KiB blocks", blocks * block_size,
            [&](Guest &g) { return fwrite_blocks_to_memory(g, blocks); });
    measure("file stream, fgetc of each byte", fgetc_bytes,
            [&](Guest &g) { return fgetc_from_file(g, fgetc_bytes); });
    return 0;
}
