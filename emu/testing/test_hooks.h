// Every seam that exists only for tests, in one place. Production code never calls these. The
// classes they reach into name TestHooks a friend and keep nothing else for tests; each hook is
// defined beside the state it sets, so production paths cost what they did without it. Only
// those sources include this header (tools/check-rooms): a class's header names TestHooks a
// friend without it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vekos {

class Engine;
class Kernel;
class Process;
class RootFs;
class RunLimits;

class TestHooks {
  public:
    // How guest memory moves pages between host ranges: mremap(2), unless a test puts in
    // another (nullptr puts mremap back) to take the paths of a host that refuses or grants
    // MREMAP_DONTUNMAP. (machine/guest_memory.cpp)
    using HostRemap = void *(*)(void *old_address, size_t old_size, size_t new_size, int flags,
                                void *new_address);
    static void set_host_remap(HostRemap remap);

    // Unicorn's translation buffer for engines opened from now on (at least 1 MiB;
    // unicorn::kTranslationBuffer puts the usual size back); nothing without the tweaks.
    // (machine/unicorn/)
    static void set_translation_buffer(size_t bytes);
    // Bytes of translated code past which attaching another process's memory flushes them.
    // (machine/engine_memory.cpp)
    static void set_translation_limit(Engine &engine, size_t bytes);
    // The engine's window onto its guest's memory (machine/guest_window.h), or nullptr;
    // whether the engine reaches guest memory through it.
    static uint8_t *guest_window(const Engine &engine);
    static bool addresses_directly(const Engine &engine);

    // Process::set_arguments with the whole layout lowered by `misalign` bytes, for start-up
    // alignment tests. (kernel/process.cpp)
    static bool set_arguments(Process &process, const std::vector<std::string> &argv,
                              uint32_t misalign);
    // Another root folder for the kernel's programs from now on: the harness's tests choose
    // theirs. (kernel/kernel.cpp)
    static void set_fs(Kernel &kernel, RootFs fs);

    // The harness's wall-clock limit on each of its calls; 0 seconds: no limit. The watchdog
    // starts with the first call. (host/run_limits.cpp)
    static void set_call_timeout(RunLimits &limits, std::chrono::duration<double> timeout);
    // While it lives, a call of the harness: out of time once it has run longer than the call
    // timeout, when the watchdog stops the engine. In a child forked from a test, the first
    // call leaves the parent's watchdog behind, reachable but untouched (it has no thread
    // there, and its mutex may be held by one that isn't), and starts the child's own.
    class Call {
      public:
        explicit Call(RunLimits &limits);
        ~Call();
        Call(const Call &) = delete;
        Call &operator=(const Call &) = delete;

      private:
        RunLimits &limits_;
    };

  private:
    static void leave_forked_watchdog(RunLimits &limits);
};

} // namespace vekos
