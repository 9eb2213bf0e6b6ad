#include "kernel/slice_timer.h"

namespace vekos {

SliceTimer::~SliceTimer() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    quit_changed_.notify_all();
    thread_.join();
}

SliceTimer::Slice::Slice(SliceTimer &timer, Engine &engine) : timer_(timer) {
    timer_.slices_.fetch_add(1, std::memory_order_relaxed);
    timer_.engine_.store(&engine, std::memory_order_release);
    if (!timer_.thread_.joinable()) timer_.thread_ = std::thread([&t = timer_] { t.tick(); });
}

SliceTimer::Slice::~Slice() {
    timer_.engine_.store(nullptr, std::memory_order_release);
}

// A slice seen on two looks a period apart has had its time; it is preempted on every look
// until it ends, as a preemption just before the run starts is lost.
void SliceTimer::tick() {
    std::unique_lock lock(mutex_);
    uint64_t seen = ~uint64_t(0);
    while (!quit_changed_.wait_for(lock, kSlice, [this] { return quit_; })) {
        Engine *engine = engine_.load(std::memory_order_acquire);
        uint64_t slice = slices_.load(std::memory_order_relaxed);
        if (engine != nullptr && slice == seen) engine->preempt();
        seen = slice;
    }
}

} // namespace vekos
