// A process's streamed files (vekfs_stream_*): a file's content handed over piece by piece and
// stored whole at the end, as writefile stores it. Until then the content is held in host
// memory only, so a writer that fails or is killed leaves nothing behind and readers see the
// old content. Handles are 1 to kMaxStreams, the lowest free one first.
#pragma once

#include "common/result.h"
#include "fs/root_fs.h"
#include "host/run_limits.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vekos {

class StreamFiles {
  public:
    static constexpr int32_t kMaxStreams = 8;
    // The content all of a process's streams may hold together.
    static constexpr uint64_t kMaxHeldBytes = 64 << 20;

    // Held bytes are also taken from `budget`, the run's.
    explicit StreamFiles(MemoryBudget &budget) : budget_(budget) {}
    ~StreamFiles() { drop_all(); }
    StreamFiles(const StreamFiles &) = delete;
    StreamFiles &operator=(const StreamFiles &) = delete;

    using Answer = Result<int32_t, HostError>;
    // A handle for a new stream to `place`, which must be able to take a file; EMFILE when
    // every handle is in use.
    Answer begin(RootPlace place);
    // Appends `bytes`: their count, EBADF for an unknown handle, ENOMEM past the bounds.
    Answer write(int32_t handle, std::span<const uint8_t> bytes);
    // Stores the content (see replace_file) and frees the handle, stored or not: 0 or why not.
    Answer end(int32_t handle, bool unnamed_temp);
    // Forgets every stream, storing nothing (the process ended).
    void drop_all();

  private:
    struct Stream {
        RootPlace place;
        std::vector<uint8_t> content;
    };
    std::optional<Stream> *find(int32_t handle);
    void release(std::optional<Stream> &stream);

    MemoryBudget &budget_;
    std::array<std::optional<Stream>, kMaxStreams> streams_;
    uint64_t held_ = 0;
};

} // namespace vekos
