// Streams, counted in the emulator: guest instructions per byte appended to a memory
// stream with fputc and with fwrite of 4 KiB blocks, and per byte read with fgetc.
// Counting instructions keeps the figures independent of the machine's load.
#include "lib_fixture.h"

#include <cstdio>
#include <fstream>
#include <string>

namespace {

constexpr uint32_t block_size = 4096;

// The fixture outside a test runner: one fresh guest per measurement.
class StreamBench : public LibFixture {
  public:
    void TestBody() override {}
    void start() { SetUp(); }
    void stop() { TearDown(); }

    uint32_t open_memory_stream() { return call("open_memstream", {alloc(4), alloc(4)}); }

    // Sums the instructions of calling `function` with `args` `times` times.
    uint64_t count_calls(const std::string &function, const std::vector<uint32_t> &args,
                         uint32_t times) {
        count_instructions(true);
        uint64_t total = 0;
        for (uint32_t i = 0; i < times; i++) {
            CallOutcome outcome = call_outcome(function, args);
            if (!outcome.returned) {
                std::fprintf(stderr, "%s failed: %s\n", function.c_str(), outcome.fault.c_str());
                break;
            }
            total += outcome.instructions;
        }
        count_instructions(false);
        return total;
    }

    uint64_t fputc_to_memory(uint32_t bytes) {
        uint32_t stream = open_memory_stream();
        return count_calls("fputc", {'x', stream}, bytes);
    }

    uint64_t fwrite_blocks_to_memory(uint32_t blocks) {
        uint32_t stream = open_memory_stream();
        uint32_t block = alloc(block_size, 'x');
        return count_calls("fwrite", {block, 1, block_size, stream}, blocks);
    }

    uint64_t fgetc_from_file(uint32_t bytes) {
        std::ofstream(root() / "data.bin", std::ios::binary) << std::string(bytes, 'x');
        uint32_t stream = call("fopen", {str("/data.bin"), str("r")});
        return count_calls("fgetc", {stream}, bytes);
    }
};

void report(const char *what, uint64_t instructions, uint32_t bytes) {
    std::printf("%-44s %8u bytes %11llu instructions %7.1f per byte\n", what, bytes,
                (unsigned long long)instructions, double(instructions) / bytes);
}

template <typename Measure> void measure(const char *what, uint32_t bytes, Measure body) {
    StreamBench bench;
    bench.start();
    report(what, body(bench), bytes);
    bench.stop();
}

} // namespace

int main() {
    constexpr uint32_t fputc_bytes = 32 * 1024, blocks = 32, fgetc_bytes = 16 * 1024;
    measure("memory stream, fputc of each byte", fputc_bytes,
            [&](StreamBench &b) { return b.fputc_to_memory(fputc_bytes); });
    measure("memory stream, fwrite of 4 KiB blocks", blocks * block_size,
            [&](StreamBench &b) { return b.fwrite_blocks_to_memory(blocks); });
    measure("file stream, fgetc of each byte", fgetc_bytes,
            [&](StreamBench &b) { return b.fgetc_from_file(fgetc_bytes); });
    return 0;
}
