#include "debug/gdb_remote.h"

#include "common/retry.h"
#include "debug/gdb_registers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vekos::debug {
namespace {

constexpr size_t kPacketSize = GdbStub::kPacketSize;
// Memory replies are cut to fit a packet.
constexpr uint32_t kMaxTransfer = (kPacketSize - 16) / 2;
// gdb asks again for a garbled packet a few times; more nacks than this are ignored.
constexpr int kMaxResends = 8;
// Far more than a program of this system has functions; each costs a node of a set.
constexpr size_t kMaxBreakpoints = 1 << 16;
// Each watchpoint costs a check on every memory access while it is set.
constexpr size_t kMaxWatchpoints = 64;

constexpr char kFloodWhileRunning[] =
    "dropped the connection: more than 16384 bytes arrived while the program ran; the "
    "program runs on";
constexpr char kPacketTooLong[] =
    "dropped the connection: a packet longer than 16384 bytes; the program runs on";
constexpr char kOutOfTime[] = "dropped the connection: the run's time ran out";
static_assert(kPacketSize == 16384, "the notes name the packet size");

constexpr char kHexDigits[] = "0123456789abcdef";

void append_hex(std::string &out, std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 15];
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex_bytes(std::string_view hex, std::vector<uint8_t> &out) {
    if (hex.size() % 2 != 0) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int high = hex_value(hex[i]), low = hex_value(hex[i + 1]);
        if (high < 0 || low < 0) return false;
        out.push_back(uint8_t(high << 4 | low));
    }
    return true;
}

// A hex number up to `end` (or the whole text); moves `text` past it and the separator.
bool take_hex(std::string_view &text, uint32_t &value, char end = '\0') {
    size_t stop = end ? text.find(end) : text.size();
    if (stop == std::string_view::npos || stop == 0) return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + stop, value, 16);
    if (ec != std::errc() || ptr != text.data() + stop) return false;
    text.remove_prefix(end ? stop + 1 : stop);
    return true;
}

// A letter, a byte in hex, then the rest: "T05thread:1;".
std::string lettered(char letter, unsigned value, std::string_view rest = {}) {
    char text[4];
    std::snprintf(text, sizeof text, "%02x", value & 0xff);
    std::string out(1, letter);
    out.append(text).append(rest);
    return out;
}

// "watch:ADDR;" and the like: which kind of watchpoint went off, where.
std::string watch_reason(const Stop &stop) {
    const char *name = stop.watched.kind == WatchKind::Write  ? "watch"
                       : stop.watched.kind == WatchKind::Read ? "rwatch"
                                                              : "awatch";
    char text[32];
    std::snprintf(text, sizeof text, "%s:%x;", name, unsigned(stop.data_address));
    return text;
}

void note_to_stderr(std::string_view line) {
    std::fprintf(stderr, "%.*s\n", int(line.size()), line.data());
}

} // namespace

bool Watchpoint::hit_by(uint32_t at, uint32_t size, bool write) const {
    bool kind_matches = kind == WatchKind::Access || (kind == WatchKind::Write) == write;
    uint64_t end = uint64_t(address) + length;
    return kind_matches && at < end && uint64_t(at) + std::max(size, 1u) > address;
}

Result<std::unique_ptr<GdbStub>> GdbStub::listen(uint16_t port, Note note) {
    HostFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return Failure{std::string("gdb: cannot make a socket: ") + std::strerror(errno)};
    int on = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // never reachable from other machines
    socklen_t len = sizeof addr;
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), 1) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return Failure{"gdb: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                       std::strerror(errno)};
    return std::unique_ptr<GdbStub>(new GdbStub(std::move(fd), ntohs(addr.sin_port),
                                                note ? std::move(note) : Note(note_to_stderr)));
}

GdbStub::GdbStub(HostFd listener, uint16_t port, Note note)
    : listener_(std::move(listener)), port_(port), note_(std::move(note)) {}

GdbStub::~GdbStub() {
    close_connection();
}

int GdbStub::wait_for(pollfd *fds, size_t count, int timeout_ms) {
    for (;;) {
        int wait_ms = timeout_ms;
        bool until_deadline = false;
        if (deadline_) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                            *deadline_ - std::chrono::steady_clock::now())
                            .count();
            left = std::clamp<decltype(left)>(left, 0, INT_MAX); // one poll() waits at most that
            if (timeout_ms < 0 || left < timeout_ms) {
                wait_ms = int(left);
                until_deadline = true;
            }
        }
        int ready = retry_on_eintr([&] { return poll(fds, nfds_t(count), wait_ms); });
        if (ready != 0 || !until_deadline) return ready;
        if (std::chrono::steady_clock::now() >= *deadline_) {
            out_of_time_ = true;
            return 0;
        }
    }
}

bool GdbStub::accept(int timeout_ms) {
    pollfd waiting{listener_.get(), POLLIN, 0};
    if (wait_for(&waiting, 1, timeout_ms) <= 0) return false;
    conn_.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn_) return false;
    int on = 1;
    setsockopt(conn_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

void GdbStub::refuse_newcomers() {
    pollfd waiting{listener_.get(), POLLIN, 0};
    while (poll(&waiting, 1, 0) > 0) {
        // Accepted and closed at once.
        if (!HostFd(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC))) return;
        note_("gdb: refused a second connection: one gdb is already connected");
    }
}

void GdbStub::close_connection() {
    conn_.reset();
    in_.clear();
}

void GdbStub::forget_points() {
    breakpoints_.clear();
    watchpoints_.clear();
}

void GdbStub::drop_session(std::string_view why) {
    close_connection();
    forget_points();
    note_(std::string("gdb: ") + std::string(why));
}

GdbStub::Input GdbStub::fill(int timeout_ms) {
    pollfd fds[2] = {{conn_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
    for (;;) {
        int ready = wait_for(fds, 2, timeout_ms);
        if (ready == 0) return Input::Idle;
        if (ready < 0) return Input::Gone;
        if (fds[1].revents & POLLIN) refuse_newcomers();
        if (fds[0].revents) break;
    }
    char buffer[4096];
    ssize_t got = retry_on_eintr([&] { return recv(conn_.get(), buffer, sizeof buffer, 0); });
    if (got <= 0) return Input::Gone;
    in_.append(buffer, size_t(got));
    return Input::Arrived;
}

// A gdb that takes nothing until the deadline is dropped: the next read says so.
void GdbStub::send_raw(std::string_view bytes) {
    while (conn_ && !bytes.empty()) {
        pollfd room{conn_.get(), POLLOUT, 0};
        if (wait_for(&room, 1, -1) == 0) {
            close_connection();
            return;
        }
        ssize_t sent = retry_on_eintr([&] {
            return send(conn_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        });
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (sent <= 0) return; // the next read sees the connection gone
        bytes.remove_prefix(size_t(sent));
    }
}

void GdbStub::send_packet(std::string_view payload) {
    uint8_t sum = 0;
    for (char c : payload) sum = uint8_t(sum + uint8_t(c));
    last_sent_.assign(1, '$').append(payload).append(lettered('#', sum));
    resends_ = 0;
    send_raw(last_sent_);
}

GdbStub::Packet GdbStub::read_packet(std::string &payload) {
    for (;;) {
        if (!conn_) return out_of_time_ ? Packet::TimedOut : Packet::Gone;
        size_t start = 0;
        while (start < in_.size() && in_[start] != '$') {
            if (in_[start] == '-' && ack_ && resends_ < kMaxResends) { // gdb got it garbled
                ++resends_;
                send_raw(last_sent_);
            }
            ++start; // '+' acks and a Ctrl-C while stopped need nothing
        }
        in_.erase(0, start);
        // '$', the payload, then '#' and two digits of checksum.
        size_t hash = in_.find('#');
        if (std::min(hash, in_.size()) > 1 + kPacketSize) return Packet::TooLong;
        if (!in_.empty() && hash != std::string::npos && hash + 2 < in_.size()) {
            payload = in_.substr(1, hash - 1);
            int high = hex_value(in_[hash + 1]), low = hex_value(in_[hash + 2]);
            in_.erase(0, hash + 3);
            uint8_t sum = 0;
            for (char c : payload) sum = uint8_t(sum + uint8_t(c));
            if (!ack_) return Packet::Ready;
            if (high >= 0 && low >= 0 && (high << 4 | low) == sum) {
                send_raw("+");
                return Packet::Ready;
            }
            send_raw("-");
            continue;
        }
        Input got = fill(-1);
        if (got == Input::Idle) return Packet::TimedOut; // only the deadline ends the wait
        if (got == Input::Gone) return Packet::Gone;
    }
}

bool GdbStub::interrupt_requested() {
    if (!conn_) return false;
    for (Input got = fill(0); got != Input::Idle; got = fill(0)) {
        if (got == Input::Gone) {
            drop_session("gdb disconnected; the program runs on");
            return false;
        }
        if (in_.size() > kPacketSize) { // gdb sends only Ctrl-C while the program runs
            drop_session(kFloodWhileRunning);
            return false;
        }
    }
    size_t at = in_.find('\x03');
    if (at == std::string::npos) return false;
    in_.erase(at, 1);
    return true;
}

std::string GdbStub::stop_reply(const Stop &stop) const {
    switch (stop.kind) {
    case Stop::Kind::Started:
    case Stop::Kind::Stepped:
        return "T05thread:1;";
    case Stop::Kind::Breakpoint:
        return "T05thread:1;swbreak:;"; // the pc is the breakpoint's: gdb must not back it up
    case Stop::Kind::Interrupted:
        return "T02thread:1;";
    case Stop::Kind::Watched:
        return "T05thread:1;" + watch_reason(stop);
    case Stop::Kind::Signal:
        return lettered('T', unsigned(stop.signal), "thread:1;");
    case Stop::Kind::HistoryBegin:
        return "T05thread:1;replaylog:begin;";
    case Stop::Kind::Exited:
        return lettered('W', unsigned(stop.status));
    case Stop::Kind::Killed:
        return lettered('X', unsigned(stop.signal));
    }
    return "S05";
}

Resume GdbStub::stopped(DebugTarget &target, const Stop &stop) {
    if (!conn_) return Resume::Detach;
    last_ = stop;
    if (stop.kind != Stop::Kind::Started) send_packet(stop_reply(stop));
    if (stop.kind == Stop::Kind::Exited || stop.kind == Stop::Kind::Killed) {
        close_connection();
        forget_points();
        return Resume::Detach;
    }
    std::string request;
    for (Packet got; (got = read_packet(request)) != Packet::Gone;) {
        if (got == Packet::TooLong) {
            drop_session(kPacketTooLong);
            return Resume::Detach;
        }
        if (got == Packet::TimedOut) {
            drop_session(kOutOfTime);
            return Resume::TimedOut;
        }
        resume_.reset();
        bool reply = true;
        std::string answer_text = answer(target, request, reply);
        if (reply) send_packet(answer_text);
        if (ack_off_after_reply_) ack_ = ack_off_after_reply_ = false;
        if (resume_ && *resume_ == Resume::Detach) {
            drop_session("gdb detached; the program runs on");
            return Resume::Detach;
        }
        if (resume_ && *resume_ == Resume::Kill) {
            drop_session("gdb ended the program");
            return Resume::Kill;
        }
        if (resume_) return *resume_;
    }
    drop_session("gdb disconnected; the program runs on");
    return Resume::Detach;
}

std::string GdbStub::answer(DebugTarget &target, std::string_view request, bool &reply) {
    if (request.empty()) return "";
    char kind = request[0];
    std::string_view args = request.substr(1);
    switch (kind) {
    case '?':
        return stop_reply(last_);
    case 'g':
        return read_registers(target);
    case 'G':
        return write_registers(target, args);
    case 'p': {
        uint32_t reg;
        if (!take_hex(args, reg) || reg >= kGdbRegCount) return "E00";
        std::vector<uint8_t> bytes(gdb_reg_size(int(reg)));
        if (!target.read_register(int(reg), bytes)) return std::string(bytes.size() * 2, 'x');
        std::string out;
        append_hex(out, bytes);
        return out;
    }
    case 'P': {
        uint32_t reg;
        std::vector<uint8_t> bytes;
        if (!take_hex(args, reg, '=') || reg >= kGdbRegCount || !parse_hex_bytes(args, bytes) ||
            bytes.size() != gdb_reg_size(int(reg)) || !target.write_register(int(reg), bytes))
            return "E00";
        return "OK";
    }
    case 'm':
        return read_memory(target, args);
    case 'M':
        return write_memory(target, args, false);
    case 'X':
        return write_memory(target, args, true);
    case 'Z':
    case 'z':
        return breakpoint(args, kind == 'Z');
    case 'c':
    case 's':
    case 'C':
    case 'S': {
        if (kind == 'C' || kind == 'S') { // the signal is dropped: the program has no handlers
            size_t semi = args.find(';');
            args = semi == std::string_view::npos ? std::string_view() : args.substr(semi + 1);
        }
        if (!args.empty()) {
            uint32_t pc;
            std::array<uint8_t, 4> bytes;
            if (!take_hex(args, pc)) return "E00";
            std::memcpy(bytes.data(), &pc, 4);
            target.write_register(kEip, bytes);
        }
        reply = false;
        resume_ = kind == 'c' || kind == 'C' ? Resume::Continue : Resume::Step;
        return "";
    }
    case 'b': // bs, bc: backwards
        if (!reverse_ || (args != "s" && args != "c")) return "";
        reply = false;
        resume_ = args == "s" ? Resume::ReverseStep : Resume::ReverseContinue;
        return "";
    case 'D':
        resume_ = Resume::Detach;
        return "OK";
    case 'k':
        reply = false;
        resume_ = Resume::Kill;
        return "";
    case 'H':
    case 'T':
        return "OK"; // one thread, always alive
    case 'q':
    case 'Q':
        return query(request);
    case 'v':
        return v_packet(request, reply);
    default:
        return "";
    }
}

std::string GdbStub::read_registers(DebugTarget &target) {
    std::string out;
    for (int reg = 0; reg < kGdbRegCount; ++reg) {
        std::vector<uint8_t> bytes(gdb_reg_size(reg));
        if (target.read_register(reg, bytes))
            append_hex(out, bytes);
        else
            out.append(bytes.size() * 2, 'x');
    }
    return out;
}

std::string GdbStub::write_registers(DebugTarget &target, std::string_view hex) {
    std::vector<uint8_t> bytes;
    if (!parse_hex_bytes(hex, bytes)) return "E00";
    size_t at = 0;
    for (int reg = 0; reg < kGdbRegCount && at + gdb_reg_size(reg) <= bytes.size(); ++reg) {
        target.write_register(reg, std::span(bytes).subspan(at, gdb_reg_size(reg)));
        at += gdb_reg_size(reg);
    }
    return "OK";
}

std::string GdbStub::read_memory(DebugTarget &target, std::string_view args) {
    uint32_t addr, len;
    if (!take_hex(args, addr, ',') || !take_hex(args, len)) return "E01";
    // No bytes in hex is the empty reply, which means "not supported". "OK" says it worked,
    // as for gdb's zero-length 'X' probe, and holds no hex digit to take for a byte.
    if (len == 0) return "OK";
    len = std::min(len, kMaxTransfer);
    std::vector<uint8_t> bytes(len);
    if (!target.read_memory(addr, bytes)) {
        // gdb takes the readable start of a range that runs into unmapped memory.
        uint32_t readable = 0;
        while (readable < len && uint64_t(addr) + readable <= 0xffffffffu &&
               target.read_memory(addr + readable, std::span(bytes).subspan(readable, 1)))
            ++readable;
        if (readable == 0) return "E14";
        bytes.resize(readable);
    }
    std::string out;
    append_hex(out, bytes);
    return out;
}

std::string GdbStub::write_memory(DebugTarget &target, std::string_view args, bool binary) {
    uint32_t addr, len;
    if (!take_hex(args, addr, ',') || !take_hex(args, len, ':')) return "E01";
    std::vector<uint8_t> bytes;
    if (binary) {
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == '}' && i + 1 < args.size())
                bytes.push_back(uint8_t(args[++i] ^ 0x20));
            else
                bytes.push_back(uint8_t(args[i]));
        }
    } else if (!parse_hex_bytes(args, bytes)) {
        return "E01";
    }
    if (bytes.size() != len) return "E01";
    if (len != 0 && !target.write_memory(addr, bytes)) return "E14";
    return "OK";
}

std::string GdbStub::breakpoint(std::string_view args, bool insert) {
    uint32_t type, addr;
    if (!take_hex(args, type, ',')) return "E01";
    if (type >= uint32_t(WatchKind::Write) && type <= uint32_t(WatchKind::Access))
        return watchpoint(WatchKind(type), args, insert);
    if (type != 0) return ""; // hardware breakpoints are not served
    if (!take_hex(args, addr, ',')) return "E01";
    if (insert && breakpoints_.size() >= kMaxBreakpoints && !breakpoints_.count(addr))
        return "E0c"; // ENOMEM
    if (insert)
        breakpoints_.insert(addr);
    else
        breakpoints_.erase(addr);
    return "OK";
}

// "ADDR,LENGTH": any length that keeps the range below 4 GiB.
std::string GdbStub::watchpoint(WatchKind kind, std::string_view args, bool insert) {
    uint32_t addr, length;
    if (!take_hex(args, addr, ',') || !take_hex(args, length) || length == 0 ||
        uint64_t(addr) + length > 0x100000000u)
        return "E01";
    Watchpoint point{kind, addr, length};
    if (!insert) {
        watchpoints_.erase(point);
        return "OK";
    }
    if (watchpoints_.size() >= kMaxWatchpoints && !watchpoints_.count(point))
        return "E0c"; // ENOMEM
    watchpoints_.insert(point);
    return "OK";
}

std::string GdbStub::query(std::string_view request) {
    if (request.starts_with("qSupported"))
        return "PacketSize=" + std::to_string(kPacketSize) +
               ";qXfer:features:read+;swbreak+;QStartNoAckMode+" +
               (reverse_ ? ";ReverseStep+;ReverseContinue+" : "");
    if (request == "QStartNoAckMode") {
        ack_off_after_reply_ = true; // gdb still acks this OK; read_packet skips that
        return "OK";
    }
    if (request.starts_with("qXfer:features:read:target.xml:"))
        return features(request.substr(std::strlen("qXfer:features:read:target.xml:")));
    if (request == "qAttached") return "0"; // the program was started for gdb: quitting gdb ends it
    if (request == "qC") return "QC1";
    if (request == "qfThreadInfo") return "m1";
    if (request == "qsThreadInfo") return "l";
    return "";
}

std::string GdbStub::features(std::string_view args) const {
    uint32_t offset, length;
    if (!take_hex(args, offset, ',') || !take_hex(args, length)) return "E00";
    std::string_view xml = i386_target_xml();
    if (offset >= xml.size()) return "l";
    std::string_view rest = xml.substr(offset, length);
    std::string out = "m";
    size_t taken = 0;
    for (; taken < rest.size() && out.size() + 2 <= kPacketSize; ++taken) {
        char c = rest[taken]; // binary data: the framing characters are escaped
        if (c == '$' || c == '#' || c == '}' || c == '*') {
            out += '}';
            out += char(c ^ 0x20);
        } else {
            out += c;
        }
    }
    if (offset + taken == xml.size()) out[0] = 'l';
    return out;
}

std::string GdbStub::v_packet(std::string_view request, bool &reply) {
    if (request == "vCont?") return "vCont;c;C;s;S";
    if (request.starts_with("vCont;") && request.size() > 6) {
        // One thread: the first action is the one that applies to it.
        char action = request[6];
        if (action == 'c' || action == 'C' || action == 's' || action == 'S') {
            reply = false;
            resume_ = action == 'c' || action == 'C' ? Resume::Continue : Resume::Step;
            return "";
        }
        return "E00";
    }
    if (request.starts_with("vKill")) {
        resume_ = Resume::Kill;
        return "OK";
    }
    return ""; // vMustReplyEmpty and everything not served
}

} // namespace vekos::debug
