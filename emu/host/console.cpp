#include "host/console.h"

#include "common/exit_status.h"
#include "common/retry.h"

#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace vekos {
namespace {

constexpr size_t kFlushAt = 64 * 1024;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The pending output lives outside the object so that the signal handler can reach it.
// `busy` is set while the main code changes or writes the buffer; the handler then only
// leaves a note (`flush_due`, `stop_signal`) that the main code acts on when it is done.
struct Pending {
    char *bytes = nullptr;
    size_t start = 0, end = 0, capacity = 0; // [start, end) is not yet written
    bool terminal = false;
    volatile sig_atomic_t busy = 0;
    volatile sig_atomic_t flush_due = 0;
    volatile sig_atomic_t stop_signal = 0;
    volatile sig_atomic_t stopping = 0;
} g_pending;

void set_busy(bool busy) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    g_pending.busy = busy;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// Writes out the pending bytes with plain write(2) calls (safe in a signal handler). A stop
// signal that interrupts it returns early, leaving the rest for the stop to write; a closed
// or failing output drops the rest, as a closed terminal would.
void drain() {
    while (g_pending.start < g_pending.end) {
        ssize_t done =
            ::write(1, g_pending.bytes + g_pending.start, g_pending.end - g_pending.start);
        if (done < 0 && errno == EINTR) {
            if (g_pending.stop_signal != 0 && !g_pending.stopping) return;
            continue;
        }
        if (done <= 0) break;
        g_pending.start += size_t(done);
    }
    g_pending.start = g_pending.end = 0;
}

// Ends vekos-emu for a stop signal, after what the guest wrote. The stop signals are
// unblocked first (this may run inside their handler) so that a second one, now back at its
// default action, ends the process even while this waits on a full pipe.
[[noreturn]] void stop(int signal) {
    g_pending.stopping = 1;
    sigset_t stops;
    sigemptyset(&stops);
    for (int s : kStopSignals) sigaddset(&stops, s);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    drain();
    write_stderr(signal == SIGINT    ? "vekos-emu: stopped by SIGINT\n"
                 : signal == SIGTERM ? "vekos-emu: stopped by SIGTERM\n"
                                     : "vekos-emu: stopped by SIGHUP\n");
    _exit(status_after_signal(signal));
}

void on_signal(int signal) {
    int saved_errno = errno;
    if (signal == SIGALRM) {
        if (g_pending.busy)
            g_pending.flush_due = 1;
        else
            drain();
        errno = saved_errno;
        return;
    }
    for (int s : kStopSignals) ::signal(s, SIG_DFL);
    if (!g_pending.busy) stop(signal);
    g_pending.stop_signal = signal; // the main code stops as soon as it leaves the buffer
    errno = saved_errno;
}

// Carries out what the handler noted while the buffer was busy.
void leave_busy() {
    set_busy(false);
    if (g_pending.stop_signal != 0) stop(g_pending.stop_signal);
    if (g_pending.flush_due) {
        g_pending.flush_due = 0;
        set_busy(true);
        drain();
        leave_busy();
    }
}

void set_hold_timer(bool on) {
    itimerval hold{};
    hold.it_value.tv_usec = on ? HostConsole::kMaxHoldMilliseconds * 1000 : 0;
    setitimer(ITIMER_REAL, &hold, nullptr);
}

} // namespace

void write_stderr(const char *text) {
    for (size_t n = std::strlen(text); n > 0;) {
        ssize_t done = retry_on_eintr([&] { return ::write(2, text, n); });
        if (done <= 0) return;
        text += done;
        n -= size_t(done);
    }
}

void write_pending_console_output() {
    if (g_pending.busy) return;
    g_pending.busy = 1;
    drain();
    g_pending.busy = 0;
}

HostConsole::HostConsole() {
    g_pending.terminal = isatty(1) == 1;
    struct sigaction action {};
    action.sa_handler = &on_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a write blocked on a full pipe returns, so a stop is never held up. The
    // flush may block on a full pipe itself: stop signals must still reach it then.
    sigaction(SIGALRM, &action, nullptr);
    for (int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
    sigaddset(&action.sa_mask, SIGALRM);
    for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
}

HostConsole::~HostConsole() {
    flush();
    set_hold_timer(false);
}

void HostConsole::write(const uint8_t *data, size_t n) {
    if (n == 0) return; // nothing to copy, and the buffer may not exist yet
    set_busy(true);
    if (g_pending.terminal) {
        g_pending.bytes = const_cast<char *>(reinterpret_cast<const char *>(data));
        g_pending.start = 0;
        g_pending.end = n;
        drain();
        leave_busy();
        g_pending.bytes = nullptr;
        return;
    }
    if (g_pending.end + n > g_pending.capacity) {
        size_t capacity = std::max(kFlushAt, g_pending.end + n);
        char *bytes = new char[capacity];
        if (g_pending.end != 0) std::memcpy(bytes, g_pending.bytes, g_pending.end);
        delete[] g_pending.bytes;
        g_pending.bytes = bytes;
        g_pending.capacity = capacity;
    }
    if (g_pending.end == 0) set_hold_timer(true);
    std::memcpy(g_pending.bytes + g_pending.end, data, n);
    g_pending.end += n;
    if (g_pending.end >= kFlushAt) drain();
    leave_busy();
}

// Guests read a byte per trap: input is taken from the host a chunk at a time. A read(2)
// of a pipe or terminal returns what is there without waiting for the rest of the chunk, so
// this never waits for more than the guest asked for. Output is flushed only when the host is
// asked, that is when the guest may wait: bytes already here don't need a prompt shown.
int32_t HostConsole::read(uint8_t *out, size_t n) {
    if (input_at_ == input_end_) {
        flush(); // a prompt must be visible before we wait for the answer
        const bool direct = n >= kInputChunk; // a large read goes straight to the guest
        ssize_t got = retry_on_eintr(
            [&] { return ::read(0, direct ? out : input_, direct ? n : kInputChunk); });
        if (got < 0 || direct) return got < 0 ? -1 : int32_t(got);
        input_at_ = 0;
        input_end_ = size_t(got);
    }
    size_t count = std::min(n, input_end_ - input_at_);
    std::memcpy(out, input_ + input_at_, count);
    input_at_ += count;
    return int32_t(count);
}

bool HostConsole::input_ready() {
    if (input_at_ < input_end_) return true;
    pollfd input{0, POLLIN, 0};
    return retry_on_eintr([&] { return ::poll(&input, 1, 0); }) != 0; // an error: read says so
}

void HostConsole::wait_for_input(int milliseconds) {
    if (input_at_ < input_end_) return;
    flush();
    pollfd input{0, POLLIN, 0};
    ::poll(&input, 1, milliseconds); // interrupted: the caller looks again
}

void HostConsole::flush() {
    set_busy(true);
    drain();
    leave_busy();
}

} // namespace vekos
