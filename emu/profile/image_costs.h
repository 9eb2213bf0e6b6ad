// What an image's block counts mean in its sources: each instruction's executions, and the
// file, line and function at an address, from the image's line table and symbols.
#pragma once

#include "debug/source_lines.h"
#include "profile/block_counts.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vekos::profile {

// The library's debug information names its files "vekos/lib/..."; they are found below
// `library_root` (the kit's share/vekos/src). Empty: left as they are.
struct SourcePaths {
    std::string library_root;
};

struct SourceLine {
    std::string_view file; // empty without line information
    int line = 0;
};

class ImageCosts {
  public:
    ImageCosts(const ImageProfile &image, const SourcePaths &paths);

    const ImageProfile &image() const { return image_; }
    bool has_lines() const { return !rows_.empty(); }
    // Executions of each instruction run, by address.
    const std::unordered_map<uint32_t, uint64_t> &executions() const { return executions_; }
    uint64_t executions_at(uint32_t address) const;
    // Rows with files as host paths, by address.
    const std::vector<debug::LineRow> &rows() const { return rows_; }
    SourceLine line_at(uint32_t address) const;
    // The symbol covering `address`, demangled, or "???" (callgrind's word) for code outside
    // every one.
    std::string function_at(uint32_t address) const;
    // The same, but "0x00401234" outside every symbol: a call target of its own.
    std::string callee_at(uint32_t address) const;
    // Where the symbol covering `address` starts; `address` itself outside every symbol.
    uint32_t function_entry(uint32_t address) const;
    // The image's function symbols, by address.
    const std::vector<debug::DebugInfo::Symbol> &functions() const { return functions_; }

  private:
    const debug::DebugInfo::Symbol *symbol_at(uint32_t address) const;

    const ImageProfile &image_;
    std::unordered_map<uint32_t, uint64_t> executions_;
    std::vector<debug::LineRow> rows_;
    std::vector<debug::DebugInfo::Symbol> functions_;
};

// A C++ symbol's name as people read it; any other name as it is.
std::string demangled(const std::string &name);

// A line table's file as a host path: `comp_dir` before a relative name, the library's
// installed sources before "vekos/...".
std::string source_path(const debug::LineRow &row, const SourcePaths &paths);

} // namespace vekos::profile
