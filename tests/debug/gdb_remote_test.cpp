// The gdb stub against a toy program: 256 bytes of "code" where each byte is one instruction
// (0xf4 ends the program with eax as status, 0x0b faults, 0xeb spins, anything else moves
// on, touching the first watchpoint; going back moves back a byte, to the first at most).
// Debian's gdb drives it in batch mode; a raw client checks
// what gdb cannot show.
#include "debug/gdb_remote.h"
#include "subprocess.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace vekos::debug {
namespace {

constexpr uint32_t kCodeBase = 0x1000;

class ToyTarget : public DebugTarget {
  public:
    ToyTarget() {
        code.fill(0x90);
        code[0x40] = 0xf4;
        regs[kEip] = kCodeBase;
        regs[kEsp] = 0x2000;
    }
    bool read_register(int reg, std::span<uint8_t> out) override {
        if (reg >= kSt0) return false; // the toy keeps no x87 state
        std::memcpy(out.data(), &regs[reg], 4);
        return true;
    }
    bool write_register(int reg, std::span<const uint8_t> in) override {
        if (reg >= kSt0) return false;
        std::memcpy(&regs[reg], in.data(), 4);
        return true;
    }
    bool read_memory(uint32_t addr, std::span<uint8_t> out) override {
        if (addr < kCodeBase || uint64_t(addr) + out.size() > kCodeBase + code.size()) return false;
        std::memcpy(out.data(), &code[addr - kCodeBase], out.size());
        return true;
    }
    bool write_memory(uint32_t addr, std::span<const uint8_t> in) override {
        if (addr < kCodeBase || uint64_t(addr) + in.size() > kCodeBase + code.size()) return false;
        std::memcpy(&code[addr - kCodeBase], in.data(), in.size());
        return true;
    }

    // Runs until the stub must be told something, as the engine's run loop will.
    Stop run(Resume how, GdbStub &stub) {
        bool step = how == Resume::Step;
        if (how == Resume::ReverseStep && regs[kEip] > kCodeBase) {
            --regs[kEip];
            return {Stop::Kind::Stepped};
        }
        if (how == Resume::ReverseStep || how == Resume::ReverseContinue) {
            regs[kEip] = kCodeBase;
            return {Stop::Kind::HistoryBegin};
        }
        if (faulted) return {Stop::Kind::Killed, 0, GdbSignal::Segv}; // nothing handles a fault
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            uint8_t op = code[(regs[kEip] - kCodeBase) & 0xff];
            if (op == 0xf4) return {Stop::Kind::Exited, int(regs[kEax] & 0xff)};
            if (op == 0x0b) {
                faulted = true;
                return {Stop::Kind::Signal, 0, GdbSignal::Segv};
            }
            if (op != 0xeb) ++regs[kEip];
            if (!stub.watchpoints().empty()) { // each instruction touches the first one's 2nd byte
                Stop stop{Stop::Kind::Watched};
                stop.watched = *stub.watchpoints().begin();
                stop.data_address = stop.watched.address + 1;
                return stop;
            }
            if (step) return {Stop::Kind::Stepped};
            if (stub.breakpoints().count(regs[kEip])) return {Stop::Kind::Breakpoint};
            if (stub.interrupt_requested()) return {Stop::Kind::Interrupted};
            if (std::chrono::steady_clock::now() > give_up) return {Stop::Kind::Exited, 99};
        }
    }

    std::array<uint32_t, kSt0> regs{};
    std::array<uint8_t, 256> code{};
    bool faulted = false;
};

struct Session {
    std::vector<std::string> notes;
    std::unique_ptr<GdbStub> stub;
    Session() {
        auto listening = GdbStub::listen(0, [this](std::string_view n) { notes.emplace_back(n); });
        if (!listening)
            ADD_FAILURE() << "expected to listen, got: " << listening.error();
        else
            stub = std::move(*listening);
    }
    // Serves one connection until the program ends or gdb leaves; returns the last Resume.
    Resume serve(ToyTarget &target) {
        Stop stop{Stop::Kind::Started};
        for (;;) {
            Resume resume = stub->stopped(target, stop);
            if (resume == Resume::Detach || resume == Resume::Kill || resume == Resume::TimedOut)
                return resume;
            stop = target.run(resume, *stub);
        }
    }
};

// Runs gdb in batch mode on the stub's port with `commands`; returns what it printed.
std::string run_gdb(Session &session, ToyTarget &target, const std::vector<std::string> &commands) {
    std::vector<std::string> argv{
        "/usr/bin/env", "timeout",
        "30",           "gdb",
        "-nx",          "-batch",
        "-ex",          "target remote 127.0.0.1:" + std::to_string(session.stub->port())};
    for (const std::string &c : commands) argv.insert(argv.end(), {"-ex", c});
    std::string output;
    std::thread gdb([&] {
        Finished f = run_command(argv);
        output = f.out + f.err;
    });
    if (session.stub->accept(20000))
        session.serve(target);
    else
        ADD_FAILURE() << "expected gdb to connect";
    gdb.join();
    return output;
}

void expect_has(const std::string &output, const std::string &piece) {
    EXPECT_NE(output.find(piece), std::string::npos)
        << "expected gdb to print \"" << piece << "\"; it printed:\n"
        << output;
}

TEST(GdbRemote, GdbReadsWritesBreaksStepsAndSeesTheExit) {
    Session session;
    ASSERT_TRUE(session.stub);
    ToyTarget target;
    std::string output =
        run_gdb(session, target,
                {"show architecture", "p/x $eip", "x/2xb 0x1040", "set {int}0x1080 = 0x12345678",
                 "x/xw 0x1080", "x/xw 0x3000", "break *0x1008", "continue", "stepi", "p/x $pc",
                 "set $eax = 7", "continue"});
    expect_has(output, "i386");
    expect_has(output, "$1 = 0x1000");
    expect_has(output, "0x1040:\t0xf4\t0x90");
    expect_has(output, "0x1080:\t0x12345678");
    expect_has(output, "Cannot access memory at address 0x3000");
    expect_has(output, "Breakpoint 1, 0x00001008");
    expect_has(output, "$2 = 0x1009");
    expect_has(output, "exited with code 07");
    EXPECT_EQ(target.code[0x80], 0x78) << "expected gdb's write in the target's memory";
}

TEST(GdbRemote, GdbSeesAFaultAtTheFaultingInstruction) {
    Session session;
    ASSERT_TRUE(session.stub);
    ToyTarget target;
    target.code[0x10] = 0x0b;
    std::string output = run_gdb(session, target, {"continue", "p/x $pc", "continue"});
    expect_has(output, "Program received signal SIGSEGV");
    expect_has(output, "$1 = 0x1010");
    expect_has(output, "Program terminated with signal SIGSEGV");
}

// A raw client: sends bytes, reads what comes back within a short wait.
struct Client {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    explicit Client(uint16_t port) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        timeval wait{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~Client() { close(fd); }
    void send_text(std::string_view text) { send(fd, text.data(), text.size(), MSG_NOSIGNAL); }
    // Reads until `end` has arrived (or EOF/timeout), then `extra` bytes more.
    std::string receive_until(std::string_view end, int extra = 0) {
        std::string got;
        char byte;
        while (got.find(end) == std::string::npos && recv(fd, &byte, 1, 0) == 1) got += byte;
        while (extra-- > 0 && recv(fd, &byte, 1, 0) == 1) got += byte;
        return got;
    }
    std::string receive_packet() { return receive_until("#", 2); }
    // Reads until `count` packets have arrived whole (or EOF/timeout), many bytes at a time.
    std::string receive_packets(size_t count) {
        std::string got;
        char chunk[4096];
        size_t ends = 0, last_hash = 0;
        while (ends < count || got.size() < last_hash + 3) {
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i)
                if (chunk[i] == '#') ++ends, last_hash = got.size() + size_t(i);
            got.append(chunk, size_t(n));
        }
        return got;
    }
};

TEST(GdbRemote, ChecksumsInterruptsAndASecondConnection) {
    Session session;
    ASSERT_TRUE(session.stub);
    ToyTarget target;
    target.code[0x20] = 0xeb; // spins until interrupted
    std::string replies, second;
    std::thread client_thread([&] {
        Client gdb(session.stub->port());
        gdb.send_text("$?#00"); // bad checksum: refused
        replies += gdb.receive_until("-");
        gdb.send_text("$?#3f"); // good: acked and answered
        replies += gdb.receive_packet();
        Client intruder(session.stub->port());
        gdb.send_text("+$qC#b4");
        replies += gdb.receive_packet();
        second = intruder.receive_until("never"); // closed by the stub: EOF
        gdb.send_text("+$c#63");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        gdb.send_text("\x03");
        replies += gdb.receive_packet();
        gdb.send_text("+$k#6b");
    });
    ASSERT_TRUE(session.stub->accept(5000));
    EXPECT_EQ(session.serve(target), Resume::Kill);
    client_thread.join();
    EXPECT_EQ(replies, "-+$T05thread:1;#d7+$QC1#c5+$T02thread:1;#d4")
        << "expected a nack, the first stop, the thread and the interrupt";
    EXPECT_EQ(target.regs[kEip], kCodeBase + 0x20) << "expected the stop in the spin";
    EXPECT_EQ(second, "") << "expected the second connection closed at once";
    ASSERT_FALSE(session.notes.empty());
    EXPECT_NE(session.notes[0].find("refused a second connection"), std::string::npos)
        << session.notes[0];
}

// `payload` framed as a packet, with its checksum.
std::string packet(std::string_view payload) {
    unsigned sum = 0;
    for (char c : payload) sum += uint8_t(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", sum & 0xff);
    return "$" + std::string(payload) + "#" + digits;
}

TEST(GdbRemote, ZeroLengthReadsNacksAndAnOverlongPacket) {
    Session session;
    ASSERT_TRUE(session.stub);
    ToyTarget target;
    std::string replies, resent, after_overlong;
    std::thread client_thread([&] {
        Client gdb(session.stub->port());
        gdb.send_text(packet("m1000,0"));
        replies += gdb.receive_packet();
        gdb.send_text("+" + packet("m1000,2"));
        replies += gdb.receive_packet();
        gdb.send_text("+" + std::string(20, '-') + packet("qC"));
        resent = gdb.receive_until(packet("QC1"));
        gdb.send_text("+$" + std::string(GdbStub::kPacketSize + 1, 'a'));
        after_overlong = gdb.receive_until("never"); // closed by the stub: EOF
    });
    ASSERT_TRUE(session.stub->accept(5000));
    EXPECT_EQ(session.serve(target), Resume::Detach);
    client_thread.join();
    EXPECT_EQ(replies, "+" + packet("OK") + "+" + packet("9090"))
        << "expected OK for a read of no bytes, then two bytes";
    size_t copies = 0;
    for (size_t at = resent.find(packet("9090")); at != std::string::npos;
         at = resent.find(packet("9090"), at + 1))
        ++copies;
    EXPECT_EQ(copies, 8u) << "expected 20 nacks to resend the last reply 8 times, got: " << resent;
    EXPECT_EQ(after_overlong, "") << "expected the connection closed after an overlong packet";
    ASSERT_EQ(session.notes.size(), 1u);
    EXPECT_EQ(session.notes[0],
              "gdb: dropped the connection: a packet longer than 16384 bytes; the program runs on");
}

TEST(GdbRemote, BreakpointsPastTheLimitAreRefused) {
    Session session;
    ASSERT_TRUE(session.stub);
    ToyTarget target;
    constexpr int kLimit = 1 << 16, kBatch = 1024;
    std::string last_replies;
    std::thread client_thread([&] {
        Client gdb(session.stub->port());
        gdb.send_text(packet("QStartNoAckMode"));
        gdb.receive_packet();
        gdb.send_text("+");
        // In batches, so that neither side's socket buffer fills while the other waits.
        for (int first = 0; first <= kLimit; first += kBatch) {
            std::string batch;
            int addr = first;
            for (; addr < first + kBatch && addr <= kLimit; ++addr) {
                char text[32];
                std::snprintf(text, sizeof text, "Z0,%x,1", 0x100000 + addr);
                batch += packet(text);
            }
            gdb.send_text(batch);
            last_replies = gdb.receive_packets(size_t(addr - first));
        }
        gdb.send_text(packet("Z0,100000,1") + packet("k"));
        last_replies += gdb.receive_packet();
    });
    ASSERT_TRUE(session.stub->accept(5000));
    EXPECT_EQ(session.serve(target), Resume::Kill);
    client_thread.join();
    EXPECT_EQ(last_replies, packet("E0c") + packet("OK"))
        << "expected breakpoint 65537 refused and a kept one set again";
}

// bs and bc are served, and offered in qSupported, only when the program can go back.
TEST(GdbRemote, ReverseIsOfferedAndServedOnlyWhenTheProgramCanGoBack) {
    struct Case {
        bool reverse;
        std::vector<std::pair<std::string, std::string>> exchanges;
    } cases[] = {
        {false,
         {{"qSupported:swbreak+",
           "PacketSize=16384;qXfer:features:read+;swbreak+;QStartNoAckMode+"},
          {"bs", ""},
          {"bc", ""}}},
        {true,
         {{"qSupported:swbreak+", "PacketSize=16384;qXfer:features:read+;swbreak+;"
                                  "QStartNoAckMode+;ReverseStep+;ReverseContinue+"},
          {"s", "T05thread:1;"},
          {"bs", "T05thread:1;"},
          {"bs", "T05thread:1;replaylog:begin;"},
          {"s", "T05thread:1;"},
          {"bc", "T05thread:1;replaylog:begin;"},
          {"bx", ""}}},
    };
    for (const Case &c : cases) {
        Session session;
        ASSERT_TRUE(session.stub);
        session.stub->set_reverse(c.reverse);
        ToyTarget target;
        std::string replies;
        std::thread client_thread([&] {
            Client gdb(session.stub->port());
            gdb.send_text(packet("QStartNoAckMode"));
            gdb.receive_packet();
            gdb.send_text("+");
            for (const auto &[request, reply] : c.exchanges) {
                gdb.send_text(packet(request));
                replies += gdb.receive_packet();
            }
            gdb.send_text(packet("k"));
        });
        ASSERT_TRUE(session.stub->accept(5000));
        EXPECT_EQ(session.serve(target), Resume::Kill);
        client_thread.join();
        std::string expected;
        for (const auto &exchange : c.exchanges) expected += packet(exchange.second);
        EXPECT_EQ(replies, expected) << (c.reverse ? "with" : "without") << " going back";
    }
}

// Watchpoints of each kind are set and removed by Z2..Z4 and z2..z4, reported by kind and
// address; bad ranges and more than 64 are refused, hardware breakpoints are not served.
TEST(GdbRemote, WatchpointsAreKeptReportedAndBounded) {
    Session session;
    ASSERT_TRUE(session.stub);
    ToyTarget target;
    const std::pair<std::string, std::string> exchanges[] = {
        {"Z2,1010,4", "OK"},
        {"Z3,1010,0", "E01"},
        {"Z4,ffffffff,2", "E01"},
        {"Z1,1000,1", ""},
        {"c", "T05thread:1;watch:1011;"},
        {"z2,1010,4", "OK"},
        {"Z3,1020,2", "OK"},
        {"c", "T05thread:1;rwatch:1021;"},
        {"z3,1020,2", "OK"},
        {"Z4,1030,1", "OK"},
        {"c", "T05thread:1;awatch:1031;"},
    };
    std::string replies, limit_replies;
    std::thread client_thread([&] {
        Client gdb(session.stub->port());
        gdb.send_text(packet("QStartNoAckMode"));
        gdb.receive_packet();
        gdb.send_text("+");
        for (const auto &[request, reply] : exchanges) {
            gdb.send_text(packet(request));
            replies += gdb.receive_packet();
        }
        std::string batch; // 63 more, then one too many
        for (uint32_t addr = 0x1100; addr < 0x1100 + 64; ++addr) {
            char text[32];
            std::snprintf(text, sizeof text, "Z4,%x,1", addr);
            batch += packet(text);
        }
        gdb.send_text(batch);
        limit_replies = gdb.receive_packets(64);
        gdb.send_text(packet("k"));
    });
    ASSERT_TRUE(session.stub->accept(5000));
    EXPECT_EQ(session.serve(target), Resume::Kill);
    client_thread.join();
    std::string expected;
    for (const auto &exchange : exchanges) expected += packet(exchange.second);
    EXPECT_EQ(replies, expected);
    std::string expected_limit;
    for (int i = 0; i < 63; ++i) expected_limit += packet("OK");
    EXPECT_EQ(limit_replies, expected_limit + packet("E0c"))
        << "expected 64 watchpoints kept and the 65th refused";
    EXPECT_TRUE(session.stub->watchpoints().empty()) << "expected the kill to forget them";
}

// A client that sends requests and then reads no replies: the stub waits for room to send
// only until the deadline, then drops it. (Without the deadline it would wait until the
// client goes, and see a disconnect.)
TEST(GdbRemote, AClientThatStopsReadingIsDroppedAtTheDeadline) {
    Session session;
    ASSERT_TRUE(session.stub);
    ToyTarget target;
    std::atomic<bool> dropped{false};
    std::thread client_thread([&] {
        Client gdb(session.stub->port());
        int small = 4096; // the replies pile up on the stub's side
        setsockopt(gdb.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        std::string requests;
        for (int i = 0; i < 20000; ++i) requests += packet("m1000,100"); // 10 MB of replies
        gdb.send_text(requests);
        for (int i = 0; i < 100 && !dropped; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    ASSERT_TRUE(session.stub->accept(5000));
    session.stub->set_deadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(300));
    Resume last = session.serve(target);
    dropped = true;
    client_thread.join();
    EXPECT_EQ(last, Resume::TimedOut) << "expected the stub to give up at the deadline";
    ASSERT_FALSE(session.notes.empty());
    EXPECT_EQ(session.notes.back(), "gdb: dropped the connection: the run's time ran out");
}

} // namespace
} // namespace vekos::debug
