// The recording file. "VEKOSREC", a version byte, then one zstd frame (its checksum on)
// holding the run's header and its events, each a tag byte and LEB128 numbers:
//   header   argv (count, then each string), cwd, program on host, stack size,
//            instruction limit, timeout in ms, memory limit
//   trap     pid, number, argument count and arguments, result (zigzag), the console output
//            it gave (length, then when not 0 its hash: 4 bytes), and the bytes it put into
//            memory (count, then for each: how it is given, address, length, bytes; the
//            address may be an argument's and the length the result, then not written)
//   like     a trap like the one before (the same pid, number, result and output
//            length): the arguments that changed (which ones: the tag's low 6 bits), the
//            output's hash and the patches
//   run      pid: the run request whose trap comes when the program it ran has ended
//   tsc      pid, value: an `rdtsc`
//   program  found or not, then the file (length, bytes) or the reason; or "again" and the
//            index of an earlier identical one
//   deadlock pid, what it waits for: the run ended in a deadlock (one for each process)
//   end      vekos-emu's status
// Strings and byte runs are a length and the bytes. A reader trusts nothing: every length is
// checked against what is left, the frame against its checksum, the whole against its
// grammar, and the header's limits as vekos-emu's options are; a damaged or hostile file is
// refused with the reason.
#pragma once

#include "common/host_fd.h"
#include "common/result.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ZSTD_CCtx_s;

namespace vekos::replay {

constexpr uint8_t kVersion = 1;

struct RunHeader {
    std::vector<std::string> argv;
    std::string cwd = "/";
    bool program_on_host = false;
    uint32_t stack_size = 0;
    uint64_t max_instructions = 0;
    uint64_t timeout_ms = 0;
    uint64_t max_memory = 0;
};

struct Patch {
    uint32_t addr = 0;
    std::string bytes;
};

struct Event {
    enum class Kind : uint8_t { Trap = 1, RunStart = 2, TimeStamp = 3 };
    Kind kind = Kind::Trap;
    int32_t pid = 0;
    // Trap
    uint32_t number = 0;
    uint8_t arg_count = 0;
    std::array<uint32_t, 6> args{};
    int32_t result = 0;
    std::vector<Patch> patches;
    uint32_t console_bytes = 0;
    uint32_t console_hash = 0;
    // TimeStamp
    uint64_t value = 0;
};

struct ProgramFile {
    bool found = false;
    std::string failure;
    std::shared_ptr<const std::vector<uint8_t>> content;
    size_t event = 0; // events before it in the file: a trap's program comes right before it
};

// A process of a run that ended in a deadlock, and what it waited for ("waits to read from
// descriptor 3, an empty pipe whose write end it holds itself").
struct Deadlocked {
    int32_t pid = 0;
    std::string what;
};

struct Recording {
    RunHeader header;
    std::vector<Event> events;         // traps, run requests and time-stamp reads, in order
    std::vector<ProgramFile> programs; // in the order the kernel read them
    int status = 0;                    // how the recorded run ended
    std::vector<Deadlocked> deadlock;  // none unless it ended in one
};

// The hash of console output that a replay checks its own against.
uint32_t output_hash(const uint8_t *bytes, size_t n, uint32_t hash = 0);

class RecordingWriter {
  public:
    // Creates (or empties) the file; the header comes first of all.
    static Result<std::unique_ptr<RecordingWriter>> create(const std::string &path);
    void add_header(const RunHeader &header);
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter &) = delete;
    RecordingWriter &operator=(const RecordingWriter &) = delete;

    void add(const Event &event);
    // A trap as it happens: the same as add() with its event, without building one. The
    // patches' bytes follow through add_patch, `patches` of them.
    void add_trap(int32_t pid, uint32_t number, uint8_t arg_count, const uint32_t *args,
                  int32_t result, size_t patches, uint32_t console_bytes, uint32_t console_hash);
    // A trap whose one patch is its output buffer, argument `arg`, filled with `result` bytes
    // from `filled`, and that gave no console output.
    void add_trap_filling(int32_t pid, uint32_t number, uint8_t arg_count, const uint32_t *args,
                          int32_t result, uint8_t arg, const uint8_t *filled);
    void add_program(const Result<std::vector<uint8_t>> &file);
    void add_deadlocked(const Deadlocked &process);
    // A patch of the trap just added: the bytes a trap put into memory at `addr`.
    void add_patch(uint32_t addr, const void *bytes, size_t n) { put_patch(addr, bytes, n); }
    // Ends the file with the run's status; false (with the reason) when any of it could not
    // be written.
    Result<bool> finish(int status);

  private:
    RecordingWriter(HostFd fd);
    // A trap's encoding into `bytes`, which has room for it; its length.
    size_t encode_trap(char *bytes, int32_t pid, uint32_t number, uint8_t arg_count,
                       const uint32_t *args, int32_t result, size_t patches, uint32_t console_bytes,
                       uint32_t console_hash);
    // Room for n more bytes in the buffer (at most a small run's).
    char *room(size_t n);
    void put_tag(uint8_t tag);
    void put_number(uint64_t value);
    void put_patch(uint32_t addr, const void *bytes, size_t n);
    void put_bytes(const void *bytes, size_t n); // its length, then the bytes
    void put_raw(const void *bytes, size_t n);
    void put_string(const std::string &text) { put_bytes(text.data(), text.size()); }
    void compress(const void *bytes, size_t n, bool end);
    void compress_handed();
    void hand_over(bool end);
    void stop_compressor();

    HostFd fd_;
    ZSTD_CCtx_s *zstd_ = nullptr;
    std::vector<char> pending_; // encoded, not yet compressed: the first used_ bytes
    size_t used_ = 0;
    // The compressor's: the buffer handed over (its first handed_used_ bytes, the last one
    // with handed_end_), its output, and how it went (read once it has stopped).
    std::vector<char> handed_;
    size_t handed_used_ = 0;
    bool handed_end_ = false, stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread compressor_;
    std::string out_;
    struct LastTrap {
        int32_t pid = 0;
        uint32_t number = 0;
        uint8_t arg_count = 0;
        std::array<uint32_t, 6> args{};
        int32_t result = 0;
        uint32_t console_bytes = 0;
    } last_; // the last trap written
    bool failed_ = false;
    int error_ = 0;
    // Content hashes of the programs written so far, to write a repeat as its index.
    std::vector<std::pair<uint64_t, std::shared_ptr<const std::vector<uint8_t>>>> programs_;
};

// Reads and checks a whole recording.
Result<Recording> read_recording(const std::string &path);
// The same for bytes already read (the fuzzer's way in).
Result<Recording> parse_recording(const uint8_t *bytes, size_t n);

} // namespace vekos::replay
