#include "replay/recording.h"

#include "host/output_file.h"
#include "kernel/limit_values.h"

#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vekos::replay {
namespace {

constexpr char kMagic[8] = {'V', 'E', 'K', 'O', 'S', 'R', 'E', 'C'};
// Events gather in a buffer of this size before the compressor's thread takes it.
constexpr size_t kBuffer = 1 << 18;
// zstd's fast levels: a recording's cost must not show in the run's time.
constexpr int kLevel = -1;
// Larger files, or more once unpacked, are refused rather than read into memory.
constexpr size_t kMaxFile = size_t(1) << 30;
constexpr size_t kMaxUnpacked = size_t(2) << 30;
constexpr size_t kMaxArgs = 1 << 16;
constexpr size_t kMaxPatches = 1 << 16;
constexpr int32_t kMaxPid = 1 << 24;
constexpr size_t kMaxFolder = 4096; // kMaxPath, a trap's

// A patch's first byte: the argument (1 to 6) that gives its address, else 0 and the
// address follows; and whether its length is the trap's result, else the length follows.
constexpr uint8_t kPatchAtArg = 0x07, kPatchOfResult = 0x08;

// The most a trap's encoding takes, its patches aside: a tag and twelve numbers.
constexpr size_t kMaxTrapBytes = 1 + 10 * 12;

enum Tag : uint8_t {
    kTagTrap = 1,
    kTagRunStart = 2,
    kTagTimeStamp = 3,
    kTagProgram = 4,
    kTagProgramMissing = 5,
    kTagProgramAgain = 6,
    kTagDeadlocked = 7,
    kTagEnd = 9,
    // kTagTrapLike + a mask of the arguments that changed: a trap like the one before otherwise.
    kTagTrapLike = 0x40,
};
constexpr uint8_t kChangedArgs = 0x3f;

// LEB128 into `out`; the bytes written.
size_t encode(uint64_t value, char *out) {
    size_t n = 0;
    while (value >= 0x80) {
        out[n++] = char(value | 0x80);
        value >>= 7;
    }
    out[n++] = char(value);
    return n;
}

uint64_t zigzag(int64_t value) {
    return (uint64_t(value) << 1) ^ uint64_t(value >> 63);
}
int64_t unzigzag(uint64_t value) {
    return int64_t(value >> 1) ^ -int64_t(value & 1);
}

uint64_t content_hash(const std::vector<uint8_t> &bytes) {
    return uint64_t(output_hash(bytes.data(), bytes.size())) << 32 | bytes.size();
}

// Reads what a recording holds, refusing anything that does not follow its grammar.
class Cursor {
  public:
    Cursor(std::string_view data) : data_(data) {}
    bool done() const { return at_ == data_.size(); }
    bool number(uint64_t &value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at_ == data_.size()) return false;
            const uint8_t byte = uint8_t(data_[at_++]);
            if (shift == 63 && byte > 1) return false;
            value |= uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return true;
        }
        return false;
    }
    template <typename T> bool bounded(T &value, uint64_t max) {
        uint64_t v;
        if (!number(v) || v > max) return false;
        value = T(v);
        return true;
    }
    bool signed32(int32_t &value) {
        uint64_t v;
        if (!number(v)) return false;
        const int64_t s = unzigzag(v);
        if (s < INT32_MIN || s > INT32_MAX) return false;
        value = int32_t(s);
        return true;
    }
    bool bytes(std::string_view &out) {
        uint64_t n;
        return number(n) && take(n, out);
    }
    bool take(uint64_t n, std::string_view &out) {
        if (n > data_.size() - at_) return false;
        out = data_.substr(at_, size_t(n));
        at_ += size_t(n);
        return true;
    }
    bool string(std::string &out) {
        std::string_view view;
        if (!bytes(view)) return false;
        out.assign(view);
        return true;
    }
    bool word(uint32_t &out) {
        if (data_.size() - at_ < 4) return false;
        std::memcpy(&out, data_.data() + at_, 4);
        at_ += 4;
        return true;
    }
    bool byte(uint8_t &out) {
        if (at_ == data_.size()) return false;
        out = uint8_t(data_[at_++]);
        return true;
    }

  private:
    std::string_view data_;
    size_t at_ = 0;
};

bool read_header(Cursor &in, RunHeader &header) {
    size_t count;
    if (!in.bounded(count, kMaxArgs) || count == 0) return false;
    header.argv.resize(count);
    for (std::string &word : header.argv)
        if (!in.string(word)) return false;
    uint8_t on_host;
    return in.string(header.cwd) && in.byte(on_host) && on_host <= 1 &&
           (header.program_on_host = on_host == 1, true) &&
           in.bounded(header.stack_size, UINT32_MAX) && in.number(header.max_instructions) &&
           in.number(header.timeout_ms) && in.number(header.max_memory);
}

// A folder as vekos-emu gives the guest its starting one: "/" or "/a/b", no longer than a path
// a trap takes, without empty, "." or ".." parts.
bool normal_folder(std::string_view path) {
    if (path.empty() || path[0] != '/' || path.size() > kMaxFolder) return false;
    if (path == "/") return true;
    for (size_t at = 1; at <= path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string_view part = path.substr(at, end - at);
        if (part.empty() || part == "." || part == "..") return false;
        at = end + 1;
    }
    return true;
}

// What in a well-formed header the command line would have refused; "" when nothing. The run
// a replay repeats must be one vekos-emu could have been asked for.
std::string header_problem(const RunHeader &header) {
    auto number = [](uint64_t value) { return std::to_string(value); };
    if (!normal_folder(header.cwd)) return "its folder is no folder --cwd gives";
    if (header.stack_size != 0 && !valid_stack_size(header.stack_size))
        return "a stack of " + number(header.stack_size) + " bytes, which --stack refuses";
    if (header.max_instructions != 0 && !valid_instruction_limit(header.max_instructions))
        return "a limit of " + number(header.max_instructions) +
               " instructions, which --max-instructions refuses";
    if (header.timeout_ms != 0 && !valid_timeout(double(header.timeout_ms) / 1000))
        return "a timeout of " + number(header.timeout_ms) + " ms, which --timeout refuses";
    if (header.max_memory != 0 && !valid_memory_limit(header.max_memory))
        return "a memory limit of " + number(header.max_memory) +
               " bytes, which --max-memory refuses";
    return "";
}

bool read_patches(Cursor &in, Event &event) {
    uint32_t patches;
    if (!in.bounded(patches, kMaxPatches)) return false;
    event.patches.resize(patches);
    for (Patch &patch : event.patches) {
        uint8_t how;
        if (!in.byte(how) || (how & ~(kPatchAtArg | kPatchOfResult)) != 0) return false;
        const uint8_t arg = how & kPatchAtArg;
        if (arg > event.arg_count) return false;
        if (arg != 0)
            patch.addr = event.args[arg - 1];
        else if (!in.bounded(patch.addr, UINT32_MAX))
            return false;
        std::string_view bytes;
        if ((how & kPatchOfResult) ? event.result < 0 || !in.take(uint32_t(event.result), bytes)
                                   : !in.bytes(bytes))
            return false;
        if (bytes.size() > UINT32_MAX - uint64_t(patch.addr) + 1) return false;
        patch.bytes.assign(bytes);
    }
    return true;
}

bool read_trap(Cursor &in, Event &event) {
    if (!in.bounded(event.pid, kMaxPid) || event.pid < 1 || !in.bounded(event.number, UINT32_MAX) ||
        !in.bounded(event.arg_count, 6))
        return false;
    for (int i = 0; i < event.arg_count; i++)
        if (!in.bounded(event.args[size_t(i)], UINT32_MAX)) return false;
    return in.signed32(event.result) && in.bounded(event.console_bytes, UINT32_MAX) &&
           (event.console_bytes == 0 || in.word(event.console_hash)) && read_patches(in, event);
}

// A trap like `last` but for the arguments in `changed`, its output's hash and its patches.
bool read_trap_like(Cursor &in, const Event &last, uint8_t changed, Event &event) {
    event.pid = last.pid;
    event.number = last.number;
    event.arg_count = last.arg_count;
    event.args = last.args;
    event.result = last.result;
    event.console_bytes = last.console_bytes;
    if (changed >> last.arg_count != 0) return false;
    for (int i = 0; i < last.arg_count; i++)
        if ((changed & 1 << i) && !in.bounded(event.args[size_t(i)], UINT32_MAX)) return false;
    return (event.console_bytes == 0 || in.word(event.console_hash)) && read_patches(in, event);
}

// The body, after the frame is unpacked.
Result<Recording> parse_body(std::string_view body) {
    Recording recording;
    Cursor in(body);
    const Failure damaged{"damaged recording (it does not follow the format)"};
    if (!read_header(in, recording.header)) return damaged;
    if (std::string why = header_problem(recording.header); !why.empty())
        return Failure{"damaged recording (" + why + ")"};
    size_t last_trap = SIZE_MAX; // the event of the last trap
    for (;;) {
        uint8_t tag;
        if (!in.byte(tag)) return Failure{"recording cut short (no end)"};
        if (tag == kTagEnd) {
            if (!in.signed32(recording.status) || !in.done()) return damaged;
            return recording;
        }
        Event event;
        switch (tag) {
        case kTagTrap:
            if (!read_trap(in, event)) return damaged;
            last_trap = recording.events.size();
            break;
        case kTagRunStart:
            event.kind = Event::Kind::RunStart;
            if (!in.bounded(event.pid, kMaxPid) || event.pid < 1) return damaged;
            break;
        case kTagTimeStamp:
            event.kind = Event::Kind::TimeStamp;
            if (!in.bounded(event.pid, kMaxPid) || event.pid < 1 || !in.number(event.value))
                return damaged;
            break;
        case kTagProgram: {
            std::string_view bytes;
            if (!in.bytes(bytes)) return damaged;
            recording.programs.push_back(
                {true, "", std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end()),
                 recording.events.size()});
            continue;
        }
        case kTagProgramMissing: {
            ProgramFile missing;
            missing.event = recording.events.size();
            if (!in.string(missing.failure)) return damaged;
            recording.programs.push_back(std::move(missing));
            continue;
        }
        case kTagProgramAgain: {
            size_t index;
            if (!in.bounded(index, recording.programs.size() - 1) || recording.programs.empty() ||
                !recording.programs[index].found)
                return damaged;
            recording.programs.push_back(recording.programs[index]);
            recording.programs.back().event = recording.events.size();
            continue;
        }
        case kTagDeadlocked: {
            Deadlocked process;
            if (!in.bounded(process.pid, kMaxPid) || process.pid < 1 || !in.string(process.what))
                return damaged;
            recording.deadlock.push_back(std::move(process));
            continue;
        }
        default:
            if ((tag & ~kChangedArgs) != kTagTrapLike || last_trap == SIZE_MAX ||
                !read_trap_like(in, recording.events[last_trap], tag & kChangedArgs, event))
                return damaged;
            last_trap = recording.events.size();
        }
        recording.events.push_back(std::move(event));
    }
}

} // namespace

// Up to four bytes are themselves (a program printing a byte at a time is recorded as it
// printed); longer output is hashed eight bytes at a time, multiplied and shifted: fast
// enough to hash every byte a program prints without showing in its time.
uint32_t output_hash(const uint8_t *bytes, size_t n, uint32_t seed) {
    if (seed == 0 && n <= 4) {
        uint32_t word = 0;
        for (size_t i = 0; i < n; i++) word |= uint32_t(bytes[i]) << (8 * i);
        return word;
    }
    constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    uint64_t hash = seed ^ (n * kMultiplier);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        hash = ((hash ^ word) * kMultiplier);
        hash ^= hash >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, bytes + i, n - i);
    hash = (hash ^ tail) * kMultiplier;
    hash ^= hash >> 32;
    return uint32_t(hash);
}

RecordingWriter::RecordingWriter(HostFd fd)
    : fd_(std::move(fd)), zstd_(ZSTD_createCCtx()), pending_(kBuffer), handed_(kBuffer) {
    if (zstd_ == nullptr) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(zstd_, ZSTD_c_compressionLevel, kLevel);
    ZSTD_CCtx_setParameter(zstd_, ZSTD_c_checksumFlag, 1);
    out_.assign(kMagic, sizeof kMagic);
    out_.push_back(char(kVersion));
    compressor_ = std::thread([this] { compress_handed(); });
}

RecordingWriter::~RecordingWriter() {
    stop_compressor();
    ZSTD_freeCCtx(zstd_);
}

// The compressor's thread: takes each buffer handed over, compresses and writes it, so that
// the run goes on meanwhile.
void RecordingWriter::compress_handed() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return handed_used_ != 0 || handed_end_ || stopping_; });
        if (handed_used_ == 0 && !handed_end_) return; // stopping, nothing left
        const size_t n = handed_used_;
        const bool end = handed_end_;
        lock.unlock();
        compress(handed_.data(), n, end);
        lock.lock();
        handed_used_ = 0;
        handed_end_ = false;
        changed_.notify_all();
    }
}

// Gives the buffer to the compressor (once it is done with the one before) and takes its
// empty one in exchange.
void RecordingWriter::hand_over(bool end) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return handed_used_ == 0 && !handed_end_; });
    std::swap(pending_, handed_);
    handed_used_ = used_;
    handed_end_ = end;
    used_ = 0;
    changed_.notify_all();
    if (end) changed_.wait(lock, [this] { return handed_used_ == 0 && !handed_end_; });
}

void RecordingWriter::stop_compressor() {
    if (!compressor_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    compressor_.join();
}

Result<std::unique_ptr<RecordingWriter>> RecordingWriter::create(const std::string &path) {
    auto fd = open_output_file(path);
    if (!fd) return Failure{fd.error()};
    return std::unique_ptr<RecordingWriter>(new RecordingWriter(std::move(*fd)));
}

void RecordingWriter::add_header(const RunHeader &header) {
    put_number(header.argv.size());
    for (const std::string &word : header.argv) put_string(word);
    put_string(header.cwd);
    put_tag(header.program_on_host ? 1 : 0);
    put_number(header.stack_size);
    put_number(header.max_instructions);
    put_number(header.timeout_ms);
    put_number(header.max_memory);
}

char *RecordingWriter::room(size_t n) {
    if (used_ + n > pending_.size()) hand_over(false);
    return pending_.data() + used_;
}

void RecordingWriter::put_tag(uint8_t tag) {
    *room(1) = char(tag);
    used_++;
}

void RecordingWriter::put_number(uint64_t value) {
    used_ += encode(value, room(10));
}

void RecordingWriter::put_bytes(const void *bytes, size_t n) {
    put_number(n);
    put_raw(bytes, n);
}

// Bytes go into the buffer, across as many hand-overs as they need.
void RecordingWriter::put_raw(const void *bytes, size_t n) {
    auto *from = static_cast<const char *>(bytes);
    if (n <= 16) { // a byte read at a time: no call for it
        char *to = room(n);
        for (size_t i = 0; i < n; i++) to[i] = from[i];
        used_ += n;
        return;
    }
    while (n > 0) {
        if (used_ == pending_.size()) hand_over(false);
        const size_t piece = std::min(n, pending_.size() - used_);
        std::memcpy(pending_.data() + used_, from, piece);
        used_ += piece;
        from += piece;
        n -= piece;
    }
}

void RecordingWriter::put_patch(uint32_t addr, const void *bytes, size_t n) {
    uint8_t how = 0;
    for (uint8_t i = 0; i < last_.arg_count && how == 0; i++)
        if (last_.args[i] == addr) how = uint8_t(i + 1);
    const bool of_result = last_.result >= 0 && size_t(last_.result) == n;
    if (of_result) how |= kPatchOfResult;
    put_tag(how);
    if ((how & kPatchAtArg) == 0) put_number(addr);
    if (of_result)
        put_raw(bytes, n);
    else
        put_bytes(bytes, n);
}

// A trap like the one before (a program printing a byte at a time) is only what differs.
[[gnu::always_inline]] inline size_t
RecordingWriter::encode_trap(char *bytes, int32_t pid, uint32_t number, uint8_t arg_count,
                             const uint32_t *args, int32_t result, size_t patches,
                             uint32_t console_bytes, uint32_t console_hash) {
    size_t n = 0;
    if (last_.pid == pid && last_.number == number && last_.arg_count == arg_count &&
        last_.result == result && last_.console_bytes == console_bytes) {
        uint8_t changed = 0;
        n = 1;
        for (int i = 0; i < arg_count; i++) {
            if (last_.args[size_t(i)] == args[i]) continue;
            changed = uint8_t(changed | 1 << i);
            last_.args[size_t(i)] = args[i];
            n += encode(args[i], bytes + n);
        }
        bytes[0] = char(kTagTrapLike | changed);
    } else {
        last_.pid = pid;
        last_.number = number;
        last_.arg_count = arg_count;
        last_.result = result;
        last_.console_bytes = console_bytes;
        std::copy(args, args + arg_count, last_.args.begin());
        bytes[n++] = char(kTagTrap);
        n += encode(uint64_t(pid), bytes + n);
        n += encode(number, bytes + n);
        n += encode(arg_count, bytes + n);
        for (int i = 0; i < arg_count; i++) n += encode(args[i], bytes + n);
        n += encode(zigzag(result), bytes + n);
        n += encode(console_bytes, bytes + n);
    }
    if (console_bytes != 0) {
        std::memcpy(bytes + n, &console_hash, 4);
        n += 4;
    }
    return n + encode(patches, bytes + n);
}

// One encoding per trap into the buffer: a million of them cost the run little.
void RecordingWriter::add_trap(int32_t pid, uint32_t number, uint8_t arg_count,
                               const uint32_t *args, int32_t result, size_t patches,
                               uint32_t console_bytes, uint32_t console_hash) {
    used_ += encode_trap(room(kMaxTrapBytes), pid, number, arg_count, args, result, patches,
                         console_bytes, console_hash);
}

// A read of a few bytes, the commonest trap that fills memory, in one step.
void RecordingWriter::add_trap_filling(int32_t pid, uint32_t number, uint8_t arg_count,
                                       const uint32_t *args, int32_t result, uint8_t arg,
                                       const uint8_t *filled) {
    if (result < 0 || result > 16) {
        add_trap(pid, number, arg_count, args, result, 1, 0, 0);
        add_patch(args[arg], filled, size_t(result < 0 ? 0 : result));
        return;
    }
    char *bytes = room(kMaxTrapBytes + 1 + 16);
    size_t n = encode_trap(bytes, pid, number, arg_count, args, result, 1, 0, 0);
    bytes[n++] = char((arg + 1) | kPatchOfResult);
    for (int32_t i = 0; i < result; i++) bytes[n++] = char(filled[i]);
    used_ += n;
}

void RecordingWriter::add(const Event &event) {
    switch (event.kind) {
    case Event::Kind::Trap:
        add_trap(event.pid, event.number, event.arg_count, event.args.data(), event.result,
                 event.patches.size(), event.console_bytes, event.console_hash);
        for (const Patch &patch : event.patches)
            add_patch(patch.addr, patch.bytes.data(), patch.bytes.size());
        break;
    case Event::Kind::RunStart:
        put_tag(kTagRunStart);
        put_number(uint64_t(event.pid));
        break;
    case Event::Kind::TimeStamp:
        put_tag(kTagTimeStamp);
        put_number(uint64_t(event.pid));
        put_number(event.value);
        break;
    }
}

// A program read again (each of a thousand children, say) is written once.
void RecordingWriter::add_program(const Result<std::vector<uint8_t>> &file) {
    if (!file) {
        put_tag(kTagProgramMissing);
        put_string(file.error());
        programs_.emplace_back(0, nullptr);
        return;
    }
    const uint64_t hash = content_hash(*file);
    for (size_t i = 0; i < programs_.size(); i++) {
        if (programs_[i].first != hash || !programs_[i].second || *programs_[i].second != *file)
            continue;
        put_tag(kTagProgramAgain);
        put_number(i);
        programs_.emplace_back(hash, programs_[i].second);
        return;
    }
    put_tag(kTagProgram);
    put_bytes(file->data(), file->size());
    programs_.emplace_back(hash, std::make_shared<const std::vector<uint8_t>>(*file));
}

void RecordingWriter::add_deadlocked(const Deadlocked &process) {
    put_tag(kTagDeadlocked);
    put_number(uint64_t(process.pid));
    put_string(process.what);
}

// Compresses `n` bytes and writes what the compressor gives out (on its thread).
void RecordingWriter::compress(const void *bytes, size_t n, bool end) {
    ZSTD_inBuffer in{bytes, n, 0};
    const size_t chunk = ZSTD_CStreamOutSize();
    for (;;) {
        const size_t had = out_.size();
        out_.resize(had + chunk);
        ZSTD_outBuffer out{out_.data() + had, chunk, 0};
        const size_t left =
            ZSTD_compressStream2(zstd_, &out, &in, end ? ZSTD_e_end : ZSTD_e_continue);
        out_.resize(had + out.pos);
        if (ZSTD_isError(left)) {
            failed_ = true;
            break;
        }
        if (end ? left == 0 : in.pos == in.size) break;
    }
    for (size_t at = 0; at < out_.size() && !failed_;) {
        ssize_t written = ::write(fd_.get(), out_.data() + at, out_.size() - at);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            failed_ = true;
            error_ = errno;
            break;
        }
        at += size_t(written);
    }
    out_.clear();
}

Result<bool> RecordingWriter::finish(int status) {
    put_tag(kTagEnd);
    put_number(zigzag(status));
    hand_over(true);
    stop_compressor();
    if (::fsync(fd_.get()) != 0 && errno != EINVAL && errno != EROFS) failed_ = true;
    if (::close(fd_.release()) != 0) failed_ = true;
    if (failed_)
        return Failure{error_ != 0 ? std::strerror(error_) : "the recording could not be written"};
    return true;
}

Result<Recording> parse_recording(const uint8_t *bytes, size_t n) {
    if (n < sizeof kMagic + 1 || std::memcmp(bytes, kMagic, sizeof kMagic) != 0)
        return Failure{"not a vekos-emu recording"};
    if (bytes[sizeof kMagic] != kVersion)
        return Failure{"recording of format version " + std::to_string(bytes[sizeof kMagic]) +
                       " (this vekos-emu reads version " + std::to_string(kVersion) + ")"};
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> zstd(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!zstd) throw std::bad_alloc();
    ZSTD_inBuffer in{bytes + sizeof kMagic + 1, n - sizeof kMagic - 1, 0};
    std::string body;
    const size_t chunk = ZSTD_DStreamOutSize();
    size_t left = 1;
    while (left != 0) {
        if (body.size() > kMaxUnpacked) return Failure{"recording too large"};
        const size_t had = body.size();
        body.resize(had + chunk);
        ZSTD_outBuffer out{body.data() + had, chunk, 0};
        left = ZSTD_decompressStream(zstd.get(), &out, &in);
        body.resize(had + out.pos);
        if (ZSTD_isError(left))
            return Failure{std::string("damaged recording (") + ZSTD_getErrorName(left) + ")"};
        if (left != 0 && in.pos == in.size && out.pos < chunk)
            return Failure{"recording cut short"};
    }
    if (in.pos != in.size) return Failure{"damaged recording (bytes after its end)"};
    return parse_body(body);
}

Result<Recording> read_recording(const std::string &path) {
    HostFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return Failure{std::strerror(errno)};
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Failure{std::strerror(errno)};
    if (!S_ISREG(st.st_mode)) return Failure{"not a regular file"};
    if (uint64_t(st.st_size) > kMaxFile) return Failure{"recording too large"};
    std::vector<uint8_t> bytes(size_t(st.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Failure{std::strerror(errno)};
        if (n == 0) break;
        got += size_t(n);
    }
    return parse_recording(bytes.data(), got);
}

} // namespace vekos::replay
