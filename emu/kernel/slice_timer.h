// Time slices: while several processes live, a process that has run for a whole period
// without a break is preempted, so that the next one has its turn. The thread that does it
// starts when a second process does: a run of one program has none.
#pragma once

#include "host/run_limits.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vekos {

class SliceTimer {
  public:
    static constexpr std::chrono::milliseconds kSlice{10};

    explicit SliceTimer(const RunLimits &limits) : limits_(limits) {}
    ~SliceTimer();
    SliceTimer(const SliceTimer &) = delete;
    SliceTimer &operator=(const SliceTimer &) = delete;

    // Whether processes are preempted from now on. Their engines must outlive the timer.
    void set_active(bool active);

  private:
    void tick();

    const RunLimits &limits_;
    std::atomic<bool> active_{false};
    std::mutex mutex_;
    std::condition_variable quit_changed_;
    bool quit_ = false;
    std::thread thread_;
};

} // namespace vekos
