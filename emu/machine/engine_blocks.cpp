// The block hook for coverage and profiles: one call per translated block run, to the sink of
// the process attached. Added once and kept: adding or removing a hook retranslates all code.
#include "machine/engine.h"
#include "machine/uc_check.h"

namespace vekos {

void Engine::set_block_sink(BlockSink *sink) {
    block_sink_ = sink;
    if (sink == nullptr || block_hook_ != 0) return;
    check(uc_hook_add(uc_, &block_hook_, UC_HOOK_BLOCK, reinterpret_cast<void *>(&on_block), this,
                      1, 0),
          "block hook");
    // Code translated before the hook existed would run without calling it.
    for (const Slot &s : slots_)
        if (s.prot & kProtExec)
            uc_ctl_remove_cache(uc_, uint64_t(s.base), uint64_t(s.base) + s.size);
}

void Engine::on_block(uc_engine *, uint64_t addr, uint32_t size, void *self) {
    BlockSink *sink = static_cast<Engine *>(self)->block_sink_;
    if (sink != nullptr) sink->on_block(uint32_t(addr), size);
}

} // namespace vekos
