// Feeds arbitrary bytes to the ELF and flat loaders and reads every symbol they keep. Besides
// the sanitizers' checks, an accepted image must keep the promises the kernel relies on when it
// maps it, and must not take more memory than its segments' bytes and the symbol caps; a
// broken promise aborts.
#include "loader/elf_image.h"
#include "machine/guest_memory.h"

#include <sanitizer/allocator_interface.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void require(bool promise) {
    if (!promise) std::abort();
}

// What the symbol table may hold at most, its vectors' spare room included.
constexpr size_t kMaxSymbolBytes =
    vekos::SymbolTable::kMaxNameBytes + 2 * 16 * vekos::SymbolTable::kMaxSymbols;

void check(const vekos::Image &image, size_t allocated) {
    uint64_t total = 0, bytes = 0;
    bool entry_in_code = false;
    for (const vekos::Segment &s : image.segments) {
        uint64_t end = uint64_t(s.vaddr) + s.memsz;
        require(s.bytes.size() <= s.memsz);
        require(s.vaddr >= vekos::kUserBase && end <= vekos::kUserLimit);
        total += s.memsz;
        bytes += s.bytes.size();
        if ((s.prot & vekos::kProtExec) && image.entry >= s.vaddr && image.entry < end)
            entry_in_code = true;
    }
    require(total <= vekos::kMaxImageMemory);
    require(entry_in_code);
    require(allocated <= bytes + kMaxSymbolBytes + (1 << 20));
    const vekos::SymbolTable &symbols = image.symbols;
    require(symbols.size() <= vekos::SymbolTable::kMaxSymbols);
    for (size_t i = 0; i < symbols.size(); i++) {
        vekos::Symbol s = symbols[i];
        require(s.name.size() <= vekos::SymbolTable::kMaxNameLength);
        require(!s.name.empty());
        if (i < 64) require(!symbols.describe(s.address).empty());
    }
    symbols.address_of("main");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> file(data, data + size);
    size_t before = __sanitizer_get_current_allocated_bytes();
    if (auto image = vekos::parse_elf_image(file))
        check(*image, __sanitizer_get_current_allocated_bytes() - before);
    if (auto flat = vekos::parse_flat_image(file))
        check(*flat, __sanitizer_get_current_allocated_bytes() - before);
    return 0;
}
