#include "kernel/slice_timer.h"

#include "machine/unicorn/tweaks.h"

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

// A run stopped from outside resumes soundly only where a block ends at each stop
// (machine/unicorn/fast_path.cpp), and no per-instruction hook (the instruction budget's)
// stops it mid-block: elsewhere a process gives up the CPU only when it waits.
void SliceTimer::set_active(bool active) {
    active = active && unicorn::corrections_linked() && limits_.instructions_unlimited();
    active_.store(active, std::memory_order_relaxed);
    if (active && !thread_.joinable()) thread_ = std::thread([this] { tick(); });
}

// A run seen on two looks a period apart has had its slice. It is preempted on every look
// until it ends, as a preemption just before the run starts is lost.
void SliceTimer::tick() {
    std::unique_lock lock(mutex_);
    uint64_t seen = ~uint64_t(0);
    while (!quit_changed_.wait_for(lock, kSlice, [this] { return quit_; })) {
        const uint64_t run = limits_.runs();
        Engine *engine = limits_.preemptible_engine();
        if (engine != nullptr && run == seen && active_.load(std::memory_order_relaxed))
            engine->preempt();
        seen = run;
    }
}

} // namespace vekos
