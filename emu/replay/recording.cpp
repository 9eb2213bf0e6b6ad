#include "replay/recording.h"

#include "host/output_file.h"

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
constexpr size_t kCompressAt = 1 << 18;
// Larger files, or more once unpacked, are refused rather than read into memory.
constexpr size_t kMaxFile = size_t(1) << 30;
constexpr size_t kMaxUnpacked = size_t(2) << 30;
constexpr size_t kMaxArgs = 1 << 16;
constexpr size_t kMaxPatches = 1 << 16;
constexpr int32_t kMaxPid = 1 << 24;

enum Tag : uint8_t {
    kTagTrap = 1,
    kTagRunStart = 2,
    kTagTimeStamp = 3,
    kTagProgram = 4,
    kTagProgramMissing = 5,
    kTagProgramAgain = 6,
    kTagEnd = 9,
};

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
        if (!number(n) || n > data_.size() - at_) return false;
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

bool read_trap(Cursor &in, Event &event) {
    uint32_t patches;
    if (!in.bounded(event.pid, kMaxPid) || event.pid < 1 || !in.bounded(event.number, UINT32_MAX) ||
        !in.bounded(event.arg_count, 6))
        return false;
    for (int i = 0; i < event.arg_count; i++)
        if (!in.bounded(event.args[size_t(i)], UINT32_MAX)) return false;
    if (!in.signed32(event.result) || !in.bounded(patches, kMaxPatches)) return false;
    event.patches.resize(patches);
    for (Patch &patch : event.patches) {
        std::string_view bytes;
        if (!in.bounded(patch.addr, UINT32_MAX) || !in.bytes(bytes) ||
            bytes.size() > UINT32_MAX - uint64_t(patch.addr) + 1)
            return false;
        patch.bytes.assign(bytes);
    }
    if (!in.bounded(event.console_bytes, UINT32_MAX)) return false;
    return event.console_bytes == 0 || in.bounded(event.console_hash, UINT32_MAX);
}

// The body, after the frame is unpacked.
Result<Recording> parse_body(std::string_view body) {
    Recording recording;
    Cursor in(body);
    const Failure damaged{"damaged recording (it does not follow the format)"};
    if (!read_header(in, recording.header)) return damaged;
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
                {true, "",
                 std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end())});
            continue;
        }
        case kTagProgramMissing: {
            ProgramFile missing;
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
            continue;
        }
        default:
            return damaged;
        }
        recording.events.push_back(std::move(event));
    }
}

} // namespace

// Eight bytes at a time, multiplied and rotated: fast enough to hash every byte a program
// prints without showing in its time.
uint32_t output_hash(const uint8_t *bytes, size_t n, uint32_t seed) {
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

RecordingWriter::RecordingWriter(HostFd fd) : fd_(std::move(fd)), zstd_(ZSTD_createCCtx()) {
    if (zstd_ == nullptr) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(zstd_, ZSTD_c_compressionLevel, 1);
    ZSTD_CCtx_setParameter(zstd_, ZSTD_c_checksumFlag, 1);
}

RecordingWriter::~RecordingWriter() {
    ZSTD_freeCCtx(zstd_);
}

Result<std::unique_ptr<RecordingWriter>> RecordingWriter::create(const std::string &path) {
    auto fd = open_output_file(path);
    if (!fd) return Failure{fd.error()};
    std::unique_ptr<RecordingWriter> writer(new RecordingWriter(std::move(*fd)));
    writer->out_.assign(kMagic, sizeof kMagic);
    writer->out_.push_back(char(kVersion));
    return writer;
}

void RecordingWriter::add_header(const RunHeader &header) {
    put_number(header.argv.size());
    for (const std::string &word : header.argv) put_string(word);
    put_string(header.cwd);
    pending_.push_back(header.program_on_host ? 1 : 0);
    put_number(header.stack_size);
    put_number(header.max_instructions);
    put_number(header.timeout_ms);
    put_number(header.max_memory);
}

void RecordingWriter::put_number(uint64_t value) {
    char bytes[10];
    size_t n = 0;
    do {
        bytes[n] = char(value & 0x7f);
        value >>= 7;
        if (value != 0) bytes[n] = char(bytes[n] | 0x80);
        n++;
    } while (value != 0);
    pending_.append(bytes, n);
}

void RecordingWriter::put_bytes(const void *bytes, size_t n) {
    put_number(n);
    pending_.append(static_cast<const char *>(bytes), n);
    if (pending_.size() >= kCompressAt) compress(false);
}

void RecordingWriter::add(const Event &event) {
    switch (event.kind) {
    case Event::Kind::Trap:
        pending_.push_back(char(kTagTrap));
        put_number(uint64_t(event.pid));
        put_number(event.number);
        put_number(event.arg_count);
        for (int i = 0; i < event.arg_count; i++) put_number(event.args[size_t(i)]);
        put_number(zigzag(event.result));
        put_number(event.patches.size());
        for (const Patch &patch : event.patches) {
            put_number(patch.addr);
            put_string(patch.bytes);
        }
        put_number(event.console_bytes);
        if (event.console_bytes != 0) put_number(event.console_hash);
        break;
    case Event::Kind::RunStart:
        pending_.push_back(char(kTagRunStart));
        put_number(uint64_t(event.pid));
        break;
    case Event::Kind::TimeStamp:
        pending_.push_back(char(kTagTimeStamp));
        put_number(uint64_t(event.pid));
        put_number(event.value);
        break;
    }
    if (pending_.size() >= kCompressAt) compress(false);
}

// A program read again (each of a thousand children, say) is written once.
void RecordingWriter::add_program(const Result<std::vector<uint8_t>> &file) {
    if (!file) {
        pending_.push_back(char(kTagProgramMissing));
        put_string(file.error());
        programs_.emplace_back(0, nullptr);
        return;
    }
    const uint64_t hash = content_hash(*file);
    for (size_t i = 0; i < programs_.size(); i++) {
        if (programs_[i].first != hash || !programs_[i].second || *programs_[i].second != *file)
            continue;
        pending_.push_back(char(kTagProgramAgain));
        put_number(i);
        programs_.emplace_back(hash, programs_[i].second);
        return;
    }
    pending_.push_back(char(kTagProgram));
    put_bytes(file->data(), file->size());
    programs_.emplace_back(hash, std::make_shared<const std::vector<uint8_t>>(*file));
}

void RecordingWriter::compress(bool end) {
    ZSTD_inBuffer in{pending_.data(), pending_.size(), 0};
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
    pending_.clear();
    for (size_t at = 0; at < out_.size() && !failed_;) {
        ssize_t n = ::write(fd_.get(), out_.data() + at, out_.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            error_ = errno;
            break;
        }
        at += size_t(n);
    }
    out_.clear();
}

Result<bool> RecordingWriter::finish(int status) {
    pending_.push_back(char(kTagEnd));
    put_number(zigzag(status));
    compress(true);
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
