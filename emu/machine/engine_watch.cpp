// Watched data accesses (a debugger's watchpoints): one Unicorn memory hook per watched range,
// added and removed with the watch, so that a run without watchpoints carries no memory hook.
#include "machine/engine.h"
#include "machine/uc_check.h"

#include <algorithm>

namespace vekos {
namespace {

// The widest single access an i386 instruction makes (an SSE register); an access that starts
// this far below a range may still reach into it.
constexpr uint32_t kWidestAccess = 16;

} // namespace

Engine::AccessWatchId Engine::watch_accesses(uint32_t begin, uint32_t length, Access kinds,
                                             AccessWatch &watch) {
    auto hook = std::make_unique<AccessHook>(
        AccessHook{this, &watch, begin, uint64_t(begin) + std::max(length, 1u)});
    int types = (uint8_t(kinds) & uint8_t(Access::Read) ? UC_HOOK_MEM_READ : 0) |
                (uint8_t(kinds) & uint8_t(Access::Write) ? UC_HOOK_MEM_WRITE : 0);
    // Unicorn matches a hook by the access's first byte: the hook's range starts lower.
    uint64_t first = begin >= kWidestAccess - 1 ? begin - (kWidestAccess - 1) : 0;
    check(uc_hook_add(uc_, &hook->id, types, reinterpret_cast<void *>(&on_access), hook.get(),
                      first, hook->end - 1),
          "access hook");
    access_hooks_.push_back(std::move(hook));
    hook_instructions();
    // Translated code takes the slow path to memory only if a memory hook existed when it
    // was translated.
    forget_attached_code();
    update_direct();
    return access_hooks_.back()->id;
}

void Engine::unwatch_accesses(AccessWatchId id) {
    auto found = std::find_if(access_hooks_.begin(), access_hooks_.end(),
                              [id](const auto &hook) { return hook->id == id; });
    if (found == access_hooks_.end()) return;
    uc_hook_del(uc_, id);
    access_hooks_.erase(found);
    hook_instructions();
    forget_attached_code(); // back to the fast path once no hook is left
    update_direct();
}

// Stopping here would abandon the instruction half done (Unicorn restarts it): the stop waits
// for the next instruction's hook (on_watched), after this one, or this repetition, is done.
void Engine::on_access(uc_engine *, uc_mem_type type, uint64_t addr, int size, int64_t,
                       void *user) {
    auto *hook = static_cast<AccessHook *>(user);
    uint64_t end = addr + uint64_t(std::max(size, 1));
    if (end <= hook->begin || addr >= hook->end) return;
    if (hook->watch->stop_after(uint32_t(addr), uint32_t(size), type == UC_MEM_WRITE))
        hook->engine->access_stop_ = true;
}

} // namespace vekos
