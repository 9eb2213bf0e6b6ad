#include "kernel/run_limits.h"

namespace vekos {
namespace {

// uc_emu_stop is lost when it lands while uc_emu_start is still setting up (which clears the
// request): the watchdog repeats it this often until the run has ended.
constexpr std::chrono::milliseconds kStopRepeat{10};

} // namespace

RunLimits::RunLimits(Engine &engine, uint64_t max_instructions,
                     std::chrono::duration<double> timeout)
    : engine_(engine) {
    budget_.limit = max_instructions;
    if (timeout.count() > 0) {
        auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
        watchdog_ = std::thread([this, deadline] { watch(deadline); });
    }
}

RunLimits::~RunLimits() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
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
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, duration, [this] { return expired_.load(); });
}

// Unicorn's uc_emu_stop is meant to be called from another thread while the engine runs
// (its own timeout thread does so); it is only called while a Running lives.
void RunLimits::watch(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    if (changed_.wait_until(lock, deadline, [this] { return quit_; })) return;
    expired_ = true;
    changed_.notify_all(); // wakes a sleeping guest
    while (!quit_) {
        if (running_) engine_.stop();
        changed_.wait_for(lock, kStopRepeat, [this] { return quit_; });
    }
}

RunLimits::Running::Running(RunLimits &limits) : limits_(limits) {
    std::lock_guard lock(limits_.mutex_);
    limits_.running_ = true;
}

RunLimits::Running::~Running() {
    std::lock_guard lock(limits_.mutex_);
    limits_.running_ = false;
}

} // namespace vekos
