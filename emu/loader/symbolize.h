// Symbols of a loaded image: lookup by name, and naming an address as "symbol+0xoffset".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

struct Symbol {
    std::string name;
    uint32_t address;
    uint32_t size;
};

class SymbolTable {
  public:
    void add(Symbol symbol);
    // Sorts by address; call once after the last add.
    void finish();
    std::optional<uint32_t> address_of(std::string_view name) const;
    // The nearest symbol at or below addr, as "name" or "name+0x13"; empty when none.
    std::string describe(uint32_t addr) const;
    const std::vector<Symbol> &symbols() const { return by_address_; }

  private:
    std::vector<Symbol> by_address_;
    std::vector<uint32_t> by_name_; // indexes into by_address_, sorted by name
};

} // namespace vekos
