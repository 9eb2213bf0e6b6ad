#include "profile/image_costs.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vekos::profile {

std::string source_path(const debug::LineRow &row, const SourcePaths &paths) {
    const std::string &file = row.file;
    if (file.starts_with("/")) return file;
    if (file.starts_with("vekos/") && !paths.library_root.empty())
        return paths.library_root + "/" + file;
    if (!row.comp_dir.empty()) return row.comp_dir + "/" + file;
    return file;
}

ImageCosts::ImageCosts(const ImageProfile &image, const SourcePaths &paths) : image_(image) {
    for (const auto &[key, block] : image.blocks()) {
        if (block.count == 0) continue;
        uint32_t address = block.address;
        for (uint8_t length : block.code.lengths) {
            executions_[address] += block.count;
            address += length;
        }
    }
    for (const ImageProfile::Cut &cut : image.cuts()) {
        uint32_t address = cut.block->address;
        for (uint8_t length : cut.block->code.lengths) {
            if (address >= cut.first_not_run && --executions_[address] == 0)
                executions_.erase(address);
            address += length;
        }
    }
    auto info = debug::DebugInfo::open(image.file());
    if (!info) return; // a flat image: no symbols, no lines
    functions_ = (*info)->functions();
    rows_ = (*info)->line_rows();
    for (debug::LineRow &row : rows_) row.file = source_path(row, paths);
}

uint64_t ImageCosts::executions_at(uint32_t address) const {
    auto it = executions_.find(address);
    return it == executions_.end() ? 0 : it->second;
}

SourceLine ImageCosts::line_at(uint32_t address) const {
    auto after =
        std::upper_bound(rows_.begin(), rows_.end(), address,
                         [](uint32_t a, const debug::LineRow &row) { return a < row.address; });
    if (after == rows_.begin()) return {};
    const debug::LineRow &row = *std::prev(after);
    if (row.end_sequence) return {};
    return {row.file, row.line};
}

const debug::DebugInfo::Symbol *ImageCosts::symbol_at(uint32_t address) const {
    auto after = std::upper_bound(
        functions_.begin(), functions_.end(), address,
        [](uint32_t a, const debug::DebugInfo::Symbol &s) { return a < s.address; });
    if (after == functions_.begin()) return nullptr;
    const auto &symbol = *std::prev(after);
    // An unsized symbol (assembly) runs to the next one.
    if (symbol.size != 0 && address - symbol.address >= symbol.size) return nullptr;
    return &symbol;
}

std::string demangled(const std::string &name) {
    if (!name.starts_with("_Z")) return name;
    int status = 0;
    char *readable = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string result = status == 0 && readable ? readable : name;
    std::free(readable);
    return result;
}

std::string ImageCosts::function_at(uint32_t address) const {
    if (const auto *symbol = symbol_at(address)) return demangled(symbol->name);
    return "???";
}

std::string ImageCosts::callee_at(uint32_t address) const {
    if (const auto *symbol = symbol_at(address)) return demangled(symbol->name);
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", address);
    return text;
}

uint32_t ImageCosts::function_entry(uint32_t address) const {
    const auto *symbol = symbol_at(address);
    return symbol ? symbol->address : address;
}

} // namespace vekos::profile
