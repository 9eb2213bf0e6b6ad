// Limits that hold for a whole run, across every program it starts: one instruction budget
// that all of them spend, and a wall-clock deadline (sleeps included); and, for the test
// harness, a wall-clock limit on each call (TestHooks::Call, testing/test_hooks.h). A watchdog
// thread enforces the times by stopping the engine. The engine's thread only reads and writes
// atomics to arm it, never a lock, so that a child forked from a test, which has no watchdog
// thread, neither waits for one nor deadlocks.
#pragma once

#include "machine/engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace vekos {

// Memory the run's programs hold at one time, in bytes: pages mapped by mmap and the content
// of streamed files not yet ended. What a program ends with goes back.
struct MemoryBudget {
    uint64_t limit = 0; // 0: none
    uint64_t used = 0;
    // Takes `bytes`; false, taking nothing, when that would pass the limit.
    bool take(uint64_t bytes) {
        if (limit != 0 && bytes > limit - std::min(used, limit)) return false;
        used += bytes;
        return true;
    }
    void give_back(uint64_t bytes) { used -= std::min(used, bytes); }
};

class RunLimits {
  public:
    // What a run request or a script line costs of the instruction budget even when no
    // instruction runs: scripts that run themselves end too.
    static constexpr uint64_t kRunCost = 10'000;

    // 0 instructions or 0 seconds: no such limit.
    RunLimits(Engine &engine, uint64_t max_instructions, std::chrono::duration<double> timeout);
    ~RunLimits();
    RunLimits(const RunLimits &) = delete;
    RunLimits &operator=(const RunLimits &) = delete;

    InstructionBudget &instructions() { return budget_; }
    MemoryBudget &memory() { return memory_; }
    // Takes kRunCost from the budget; false, leaving the budget spent, when less is left.
    bool charge_run();
    bool instructions_unlimited() const { return budget_.limit == 0; }
    bool out_of_instructions() const { return budget_.limit != 0 && budget_.used >= budget_.limit; }
    // The deadline has passed, or the current call has run longer than the call timeout.
    bool out_of_time() const {
        return expired_.load(std::memory_order_acquire) ||
               expired_call_.load(std::memory_order_acquire) ==
                   calls_.load(std::memory_order_relaxed);
    }

    // Sleeps for `duration`, or until out of time when that comes first.
    void sleep(std::chrono::microseconds duration);

    // When the run's time ends, if it has a deadline.
    std::optional<std::chrono::steady_clock::time_point> deadline() const { return deadline_; }
    // For a wait outside the engine (console input), as poll() takes it: the milliseconds
    // left until the deadline, rounded up, at most INT_MAX; -1 without a deadline.
    int poll_timeout_ms() const;
    // The deadline has passed: out of time from now on, without waiting for the watchdog to
    // see it.
    bool deadline_passed();

    // The longest a call of the test harness may run (TestHooks::set_call_timeout); 0 seconds,
    // as in every run of vekos-emu: no limit.
    std::chrono::duration<double> call_timeout() const { return call_timeout_.load(); }

    // While it lives, the watchdog stops the engine once the deadline has passed.
    class Running {
      public:
        // The engine runs, one of the run's (each process may have one of its own).
        // A preemptible run may be stopped to let another process run (kernel/slice_timer.h).
        Running(RunLimits &limits, Engine &engine, bool preemptible = false) : limits_(limits) {
            limits_.engine_.store(&engine, std::memory_order_relaxed);
            limits_.preemptible_.store(preemptible, std::memory_order_relaxed);
            limits_.runs_.fetch_add(1, std::memory_order_relaxed);
            limits_.running_.store(true, std::memory_order_release);
        }
        ~Running() { limits_.running_.store(false, std::memory_order_relaxed); }
        Running(const Running &) = delete;
        Running &operator=(const Running &) = delete;

      private:
        RunLimits &limits_;
    };

    // The engine of a preemptible run going on now, or nullptr; and how many runs have begun,
    // so that another thread can tell one long run from several short ones.
    Engine *preemptible_engine() const {
        return running_.load(std::memory_order_acquire) &&
                       preemptible_.load(std::memory_order_relaxed)
                   ? engine_.load(std::memory_order_relaxed)
                   : nullptr;
    }
    uint64_t runs() const { return runs_.load(std::memory_order_relaxed); }

  private:
    friend class TestHooks;
    struct Watchdog;
    Watchdog *watchdog() { return watchdog_.get(); }
    void start_watchdog();
    void watch(Watchdog &w);
    void stop_call(uint64_t call);

    static constexpr uint64_t kNoCall = ~uint64_t(0);

    // The engine that runs, or ran last; engines live as long as the kernel.
    std::atomic<Engine *> engine_;
    InstructionBudget budget_;
    MemoryBudget memory_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    std::atomic<std::chrono::duration<double>> call_timeout_{};
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> runs_{0};
    std::atomic<bool> preemptible_{false};
    std::atomic<bool> expired_{false};
    // Odd while a harness call lives: one more when it starts, one more when it ends.
    std::atomic<uint64_t> calls_{0};
    std::atomic<uint64_t> expired_call_{kNoCall};
    // The watchdog is stopping the engine for a call: the call waits for that before it ends,
    // so that the stop can't land on the next call.
    std::atomic<bool> stopping_{false};
    std::unique_ptr<Watchdog> watchdog_;
};

} // namespace vekos
