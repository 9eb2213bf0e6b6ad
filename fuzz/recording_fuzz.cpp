// Feeds arbitrary bytes to the recording reader, both as a whole file and, so that the fuzzer
// reaches past the frame's checksum, as the body of a well-formed frame. Besides the
// sanitizers' checks, an accepted recording must keep what a replay relies on.
#include "kernel/limit_values.h"
#include "replay/recording.h"

#include <zstd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void require(bool promise) {
    if (!promise) std::abort();
}

void check(const vekos::replay::Recording &recording) {
    require(!recording.header.argv.empty());
    for (const vekos::replay::Event &event : recording.events) {
        require(event.pid >= 1 && event.arg_count <= 6);
        for (const vekos::replay::Patch &patch : event.patches)
            require(uint64_t(patch.addr) + patch.bytes.size() <= (uint64_t(1) << 32));
    }
    size_t before = 0; // program files come in the order of the events
    for (const vekos::replay::ProgramFile &file : recording.programs) {
        require(file.found == bool(file.content));
        require(file.event >= before && file.event <= recording.events.size());
        before = file.event;
    }
    for (const vekos::replay::Deadlocked &process : recording.deadlock) require(process.pid >= 1);
    const vekos::replay::RunHeader &header = recording.header;
    require(header.timeout_ms == 0 || vekos::valid_timeout(double(header.timeout_ms) / 1000));
    require(header.stack_size == 0 || vekos::valid_stack_size(header.stack_size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (auto recording = vekos::replay::parse_recording(data, size)) check(*recording);
    std::string file = "VEKOSREC";
    file.push_back(char(vekos::replay::kVersion));
    std::string frame(ZSTD_compressBound(size), '\0');
    const size_t packed = ZSTD_compress(frame.data(), frame.size(), data, size, 1);
    require(!ZSTD_isError(packed));
    file.append(frame.data(), packed);
    if (auto recording = vekos::replay::parse_recording(
            reinterpret_cast<const uint8_t *>(file.data()), file.size()))
        check(*recording);
    return 0;
}
