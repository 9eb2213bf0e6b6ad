#include "replay/recorder.h"

#include "machine/guest_memory.h"

#include <algorithm>

namespace vekos::replay {
namespace {

// The bytes now at [addr, addr + n), whatever the guest may do with them: a trap may fill
// read-only memory (a file mapped), and a range may span regions.
std::string current_bytes(const GuestMemory &memory, uint32_t addr, uint32_t n) {
    std::string bytes;
    bytes.reserve(n);
    for (uint64_t at = addr, end = uint64_t(addr) + n; at < end;) {
        const uint64_t page_end = std::min<uint64_t>((at | (kPageSize - 1)) + 1, end);
        const uint8_t *host = memory.view(uint32_t(at), uint32_t(page_end - at), 0);
        if (host == nullptr) break; // gone again within the trap: nothing to give back
        bytes.append(reinterpret_cast<const char *>(host), size_t(page_end - at));
        at = page_end;
    }
    return bytes;
}

// The output-buffer argument a writable view was handed out for, or -1.
int output_arg(const TrapRow *row, const TrapArgs &trap, const GuestMemory::Written &written) {
    if (!written.room || row == nullptr) return -1;
    for (int i = 0; i < row->arity; i++)
        if (row->args[i].kind == ArgKind::BufferOut && trap.args[size_t(i)] == written.addr)
            return i;
    return -1;
}

// A writable view is room the trap was given; it filled as many bytes as its result says
// when the view is its output buffer.
uint32_t filled(const TrapRow *row, const TrapArgs &trap, const GuestMemory::Written &written,
                int32_t result) {
    if (output_arg(row, trap, written) < 0) return written.size;
    return result < 0 ? 0 : std::min(written.size, uint32_t(result));
}

} // namespace

void TappedConsole::write(const uint8_t *data, size_t n) {
    hash_ = output_hash(data, n, hash_);
    bytes_ += uint32_t(n);
    host_.write(data, n);
}

void Recorder::write_header() {
    if (std::exchange(header_written_, true)) return;
    writer_->add_header(header_);
}

bool Recorder::program_on_host(const std::function<bool()> &look) {
    header_.program_on_host = look();
    write_header();
    return header_.program_on_host;
}

// Each attempt starts afresh: a trap that waits is recorded once, when it is done.
RunJournal::Turn Recorder::before_trap(TrapArgs &trap, TrapContext &context, int32_t &) {
    if (!header_written_) write_header();
    context.memory.log_writes();
    console_.forget();
    if (replay_rule(trap.number).marks_start) {
        Event start;
        start.kind = Event::Kind::RunStart;
        start.pid = context.pid;
        writer_->add(start);
    }
    return Turn::Serve;
}

void Recorder::after_trap(const TrapArgs &trap, TrapContext &context, int32_t result) {
    const TrapRow *row = find_trap(trap.number);
    const std::vector<GuestMemory::Written> &written = context.memory.stop_logging();
    uint32_t console_bytes, console_hash;
    console_.take(console_bytes, console_hash);
    const uint8_t arity = row != nullptr ? row->arity : uint8_t(trap.args.size());
    if (written.empty()) { // most traps put nothing into memory
        writer_->add_trap(context.pid, trap.number, arity, trap.args.data(), result, 0,
                          console_bytes, console_hash);
        return;
    }
    if (written.size() == 1 && written[0].room && console_bytes == 0 && result > 0 &&
        row != nullptr) { // a read: its output buffer, filled as its result says
        for (uint8_t i = 0; i < row->arity; i++) {
            if (row->args[i].kind != ArgKind::BufferOut || trap.args[i] != written[0].addr ||
                uint32_t(result) > written[0].size)
                continue;
            writer_->add_trap_filling(context.pid, trap.number, arity, trap.args.data(), result, i,
                                      written[0].host);
            return;
        }
    }
    sizes_.clear();
    size_t patches = 0;
    for (const GuestMemory::Written &w : written) {
        sizes_.push_back(filled(row, trap, w, result));
        patches += sizes_.back() != 0;
    }
    writer_->add_trap(context.pid, trap.number, arity, trap.args.data(), result, patches,
                      console_bytes, console_hash);
    for (size_t i = 0; i < written.size(); i++) {
        const uint32_t addr = written[i].addr, n = sizes_[i];
        if (n == 0) continue;
        const uint8_t *host = written[i].host ? written[i].host : context.memory.view(addr, n, 0);
        if (host != nullptr) { // one region: no copy
            writer_->add_patch(addr, host, n);
            continue;
        }
        const std::string bytes = current_bytes(context.memory, addr, n);
        writer_->add_patch(addr, bytes.data(), bytes.size());
    }
}

std::optional<uint64_t> Recorder::time_stamp(TrapContext &context) {
    write_header();
    Event event;
    event.kind = Event::Kind::TimeStamp;
    event.pid = context.pid;
    event.value = host_time_stamp();
    writer_->add(event);
    return event.value;
}

Result<std::vector<uint8_t>> Recorder::program_file(std::string_view, const FileReader &read) {
    write_header();
    auto file = read();
    writer_->add_program(file);
    return file;
}

Result<bool> Recorder::finish(int status) {
    write_header();
    return writer_->finish(status);
}

} // namespace vekos::replay
