// Symbols of a loaded image: lookup by name, and naming an address as "symbol+0xoffset".
// Names stay in one copy of the image's string tables, shared by every process that runs the
// image; what a hostile image can make the host hold is capped (kMaxSymbols, kMaxNameBytes).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

struct Symbol {
    std::string_view name; // valid while a SymbolTable holding it lives
    uint32_t address;
    uint32_t size;
};

class SymbolTable {
    struct Entry {
        uint32_t name, length, address, size;
    };

  public:
    static constexpr size_t kMaxSymbols = 1 << 18;
    static constexpr size_t kMaxNameBytes = 16 << 20;
    // Longer names are cut here, which bounds the time spent finding where names end.
    static constexpr size_t kMaxNameLength = 1024;

    // Collects string tables and symbols naming offsets in them.
    class Builder {
      public:
        // Adds a string table; its names are then at the returned base plus their offset in
        // `strings`. Nothing when the names would pass kMaxNameBytes.
        std::optional<uint32_t> add_names(std::string_view strings);
        // A symbol whose name starts at `name` (base plus offset) and ends at a NUL, the end
        // of the names or kMaxNameLength; false when `name` is outside the names added or
        // kMaxSymbols are there already.
        bool add(uint32_t name, uint32_t address, uint32_t size);
        // Sorted by address, ready to share.
        SymbolTable finish();

      private:
        std::string names_;
        std::vector<Entry> entries_;
    };

    size_t size() const { return table_ ? table_->entries.size() : 0; }
    Symbol operator[](size_t i) const;
    std::optional<uint32_t> address_of(std::string_view name) const;
    // The nearest symbol at or below addr, as "name" or "name+0x13"; empty when none.
    std::string describe(uint32_t addr) const;

  private:
    struct Table {
        std::string names;
        std::vector<Entry> entries;    // by address
        std::vector<uint32_t> by_name; // indexes into entries, sorted by name
    };
    std::shared_ptr<const Table> table_; // copies share it
};

} // namespace vekos
