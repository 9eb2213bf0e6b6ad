// The engines processes run on. The first program runs on the kernel's first engine; each
// process spawned after it on one of its own while it lives, which is kept for the next
// process when it ends, so that a switch between processes costs no translation.
#pragma once

#include "kernel/process.h"
#include "machine/engine.h"

#include <memory>
#include <vector>

namespace vekos {

class EnginePool {
  public:
    explicit EnginePool(Engine &first) : first_(first) {}
    EnginePool(const EnginePool &) = delete;
    EnginePool &operator=(const EnginePool &) = delete;

    Engine &first() { return first_; }
    // An idle engine, else a new one.
    Engine &take();
    // An engine taken for a program that could not be loaded.
    void give_back(Engine &engine) { idle_.push_back(&engine); }
    // The process has ended: it goes, and the engine it ran on is idle again unless it was
    // borrowed or is the first.
    void release(std::unique_ptr<Process> process, bool borrowed);

  private:
    Engine &first_;
    std::vector<std::unique_ptr<Engine>> engines_;
    std::vector<Engine *> idle_;
    // Goes before the engines.
    std::unique_ptr<Process> first_program_;
};

} // namespace vekos
