#include "host/run_limits.h"

#include "testing/test_hooks.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vekos {
namespace {

using Clock = std::chrono::steady_clock;

// uc_emu_stop is lost when it lands while uc_emu_start is still setting up (which clears the
// request): the watchdog repeats it this often until the run or call has ended.
constexpr std::chrono::milliseconds kStopRepeat{10};
// How often the watchdog looks at the running call: a tenth of the call timeout, within these.
constexpr std::chrono::milliseconds kMinCallCheck{10};
constexpr std::chrono::milliseconds kMaxCallCheck{1000};

} // namespace

struct RunLimits::Watchdog {
    std::mutex mutex;
    std::condition_variable changed;
    bool quit = false;
    bool woken = false;       // to look at the call timeout again
    pid_t owner = ::getpid(); // the process its thread runs in (a forked child has none)
    std::thread thread;
};

RunLimits::RunLimits(Engine &engine, uint64_t max_instructions,
                     std::chrono::duration<double> timeout)
    : engine_(&engine) {
    budget_.limit = max_instructions;
    if (timeout.count() > 0) {
        deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
        start_watchdog();
    }
}

RunLimits::~RunLimits() {
    Watchdog *w = watchdog();
    if (w == nullptr) return;
    {
        std::lock_guard lock(w->mutex);
        w->quit = true;
    }
    w->changed.notify_all();
    w->thread.join();
}

void RunLimits::start_watchdog() {
    watchdog_ = std::make_unique<Watchdog>();
    // Signals are for the main thread: the console's handler assumes it runs there, between
    // the main thread's own writes. A thread inherits the mask of the thread that makes it.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    watchdog_->thread = std::thread([this, w = watchdog_.get()] { watch(*w); });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

bool RunLimits::charge_run() {
    if (budget_.limit == 0) return true;
    if (budget_.limit - std::min(budget_.used, budget_.limit) < kRunCost) {
        budget_.used = budget_.limit;
        return false;
    }
    budget_.used += kRunCost;
    return true;
}

void RunLimits::sleep(std::chrono::microseconds duration) {
    Watchdog *w = watchdog();
    if (w == nullptr) {
        std::this_thread::sleep_for(duration);
        return;
    }
    std::unique_lock lock(w->mutex);
    w->changed.wait_for(lock, duration, [this] { return out_of_time(); });
}

int RunLimits::poll_timeout_ms() const {
    if (!deadline_) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
    return int(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

bool RunLimits::deadline_passed() {
    if (deadline_ && Clock::now() >= *deadline_) expired_.store(true, std::memory_order_release);
    return expired_.load(std::memory_order_acquire);
}

// Unicorn's uc_emu_stop is meant to be called from another thread while the engine runs
// (its own timeout thread does so). A call counts as running too long once the watchdog
// has seen the same call on two looks at least the call timeout apart.
void RunLimits::watch(Watchdog &w) {
    std::unique_lock lock(w.mutex);
    uint64_t seen = 0;
    Clock::time_point seen_since{};
    while (!w.quit) {
        Clock::time_point now = Clock::now();
        if (deadline_ && now >= *deadline_ && !expired_) {
            expired_.store(true, std::memory_order_release);
            w.changed.notify_all(); // wakes a sleeping guest
        }
        auto timeout = std::chrono::duration_cast<Clock::duration>(call_timeout_.load());
        uint64_t call = calls_.load(std::memory_order_acquire);
        if (call % 2 == 0 || call != seen) {
            seen = call;
            seen_since = now;
        } else if (timeout.count() > 0 && now - seen_since >= timeout && expired_call_ != call) {
            expired_call_.store(call, std::memory_order_release);
            w.changed.notify_all();
        }
        Clock::time_point wake = Clock::time_point::max();
        if (expired_) {
            if (running_.load(std::memory_order_relaxed)) engine_.load()->stop();
            wake = now + kStopRepeat;
        } else if (call % 2 == 1 && expired_call_ == call) {
            stop_call(call);
            wake = now + kStopRepeat;
        } else {
            if (deadline_) wake = *deadline_;
            if (timeout.count() > 0)
                wake = std::min(wake, now + std::clamp<Clock::duration>(timeout / 10, kMinCallCheck,
                                                                        kMaxCallCheck));
        }
        auto woken = [&w] { return w.quit || w.woken; };
        if (wake == Clock::time_point::max())
            w.changed.wait(lock, woken);
        else
            w.changed.wait_until(lock, wake, woken);
        w.woken = false;
    }
}

// With a harness call's end: either the call has ended before the watchdog looks, or the call
// waits until the stop is done (sequentially consistent on both sides).
void RunLimits::stop_call(uint64_t call) {
    stopping_.store(true);
    if (calls_.load() == call) engine_.load()->stop();
    stopping_.store(false);
}

// The test harness's seams (testing/test_hooks.h).

// Kept reachable, so that it is neither destroyed nor reported lost.
void TestHooks::leave_forked_watchdog(RunLimits &limits) {
    if (!limits.watchdog_ || limits.watchdog_->owner == ::getpid()) return;
    static auto *left_behind = new std::vector<RunLimits::Watchdog *>;
    left_behind->push_back(limits.watchdog_.release());
    limits.stopping_ = false; // the thread that was stopping the engine isn't here
}

void TestHooks::set_call_timeout(RunLimits &limits, std::chrono::duration<double> timeout) {
    leave_forked_watchdog(limits);
    limits.call_timeout_ = timeout;
    if (RunLimits::Watchdog *w = limits.watchdog()) {
        {
            std::lock_guard lock(w->mutex);
            w->woken = true;
        }
        w->changed.notify_all();
    }
}

TestHooks::Call::Call(RunLimits &limits) : limits_(limits) {
    leave_forked_watchdog(limits_);
    bool timed =
        limits_.deadline_ || limits_.call_timeout_.load(std::memory_order_relaxed).count() > 0;
    if (timed && limits_.watchdog() == nullptr) limits_.start_watchdog();
    uint64_t call = limits_.calls_.load(std::memory_order_relaxed) + 1;
    limits_.calls_.store(call, std::memory_order_release);
}

TestHooks::Call::~Call() {
    limits_.calls_.store(limits_.calls_.load(std::memory_order_relaxed) + 1);
    while (limits_.stopping_.load()) std::this_thread::yield();
}

} // namespace vekos
