// Limits that hold for a whole run, across every program it starts: one instruction budget
// that all of them spend, and a wall-clock deadline (sleeps included), enforced by a watchdog
// thread that stops the engine.
#pragma once

#include "machine/engine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace vekos {

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
    // Takes kRunCost from the budget; false, leaving the budget spent, when less is left.
    bool charge_run();
    bool out_of_instructions() const { return budget_.limit != 0 && budget_.used >= budget_.limit; }
    bool out_of_time() const { return expired_.load(); }

    // Sleeps for `duration`, or until the deadline when that comes first.
    void sleep(std::chrono::microseconds duration);

    // While it lives, the watchdog stops the engine once the deadline has passed.
    class Running {
      public:
        explicit Running(RunLimits &limits);
        ~Running();
        Running(const Running &) = delete;
        Running &operator=(const Running &) = delete;

      private:
        RunLimits &limits_;
    };

  private:
    void watch(std::chrono::steady_clock::time_point deadline);

    Engine &engine_;
    InstructionBudget budget_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = false;
    bool quit_ = false;
    std::atomic<bool> expired_{false};
    std::thread watchdog_;
};

} // namespace vekos
