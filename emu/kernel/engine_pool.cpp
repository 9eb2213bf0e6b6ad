#include "kernel/engine_pool.h"

#include <utility>

namespace vekos {
namespace {

// The engines of processes after the first are kept for the next ones; their translations
// are dropped when another program comes and more than this is in use, so that up to
// kMaxProcesses of them stay small. The first program keeps the larger buffer.
constexpr size_t kChildTranslationBuffer = 4 << 20;
constexpr size_t kChildTranslationLimit = 1 << 20;

} // namespace

Engine &EnginePool::take() {
    if (!idle_.empty()) {
        Engine *engine = idle_.back();
        idle_.pop_back();
        return *engine;
    }
    engines_.push_back(std::make_unique<Engine>(kChildTranslationBuffer, kChildTranslationLimit));
    return *engines_.back();
}

// The first program's memory stays mapped until the kernel goes: vekos-emu exits soon after
// it, and unmapping costs a translation-cache flush per page.
void EnginePool::release(std::unique_ptr<Process> process, bool borrowed) {
    Engine *engine = &process->engine();
    if (engine == &first_ && process->pid() == 1) {
        process->fds() = FdTable(); // its pipe ends close: a child may read to the end
        first_program_ = std::move(process);
        return;
    }
    process.reset();
    if (engine != &first_ && !borrowed) idle_.push_back(engine);
}

} // namespace vekos
