// Time slices: while several processes can run, each runs for at most a slice before the
// next one's turn. A thread preempts the engine of a slice that has lasted a whole period;
// it starts with the first slice, so a run of one program has no such thread.
#pragma once

#include "machine/engine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vekos {

class SliceTimer {
  public:
    static constexpr std::chrono::milliseconds kSlice{10};

    SliceTimer() = default;
    ~SliceTimer();
    SliceTimer(const SliceTimer &) = delete;
    SliceTimer &operator=(const SliceTimer &) = delete;

    // A slice on `engine` begins, and ends when the Slice goes. Engines must outlive the timer.
    class Slice {
      public:
        Slice(SliceTimer &timer, Engine &engine);
        ~Slice();
        Slice(const Slice &) = delete;
        Slice &operator=(const Slice &) = delete;

      private:
        SliceTimer &timer_;
    };

  private:
    void tick();

    std::atomic<Engine *> engine_{nullptr};
    std::atomic<uint64_t> slices_{0}; // slices begun
    std::mutex mutex_;
    std::condition_variable quit_changed_;
    bool quit_ = false;
    std::thread thread_;
};

} // namespace vekos
