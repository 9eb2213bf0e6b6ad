#include "machine/guest_window.h"

#include <sys/mman.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace vekos {
namespace {

// Where windows are tried, each as a 32-bit displacement: the first 2 GiB of a 64-bit
// process are usually empty (programs, libraries and the heap lie far above), except for a
// few tools (valgrind keeps itself near 0x58000000).
constexpr uintptr_t kHints[] = {0x10000000, 0x20000000, 0x40000000, 0x60000000, 0x70000000};
constexpr uintptr_t kHighestBase = 0x7fffffff;

struct Windows {
    std::mutex lock;
    std::vector<uint8_t *> bases;
};

Windows &windows() {
    static Windows *all = new Windows; // outlives every static engine
    return *all;
}

void *reserve(void *at, size_t size, int fixed) {
    return mmap(at, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | fixed, -1, 0);
}

bool inside_a_window(const uint8_t *host) {
    Windows &all = windows();
    std::lock_guard guard(all.lock);
    return std::any_of(all.bases.begin(), all.bases.end(), [host](const uint8_t *base) {
        return host >= base && host < base + GuestWindow::kBytes;
    });
}

} // namespace

GuestWindow::GuestWindow() {
    void *at = MAP_FAILED;
    for (uintptr_t hint : kHints) {
        at = reserve(reinterpret_cast<void *>(hint), kBytes, MAP_FIXED_NOREPLACE);
        if (at == MAP_FAILED) continue;
        // A kernel without MAP_FIXED_NOREPLACE takes the address as a hint only.
        if (reinterpret_cast<uintptr_t>(at) <= kHighestBase) break;
        munmap(at, kBytes);
        at = MAP_FAILED;
    }
    if (at == MAP_FAILED) at = reserve(nullptr, kBytes, 0);
    if (at == MAP_FAILED) return;
    base_ = static_cast<uint8_t *>(at);
    Windows &all = windows();
    std::lock_guard guard(all.lock);
    all.bases.push_back(base_);
}

GuestWindow::~GuestWindow() {
    if (base_ == nullptr) return;
    {
        Windows &all = windows();
        std::lock_guard guard(all.lock);
        std::erase(all.bases, base_);
    }
    munmap(base_, kBytes);
}

void release_host_pages(void *host, size_t size) {
    if (size == 0) return;
    if (inside_a_window(static_cast<uint8_t *>(host)))
        reserve(host, size, MAP_FIXED);
    else
        munmap(host, size);
}

} // namespace vekos
