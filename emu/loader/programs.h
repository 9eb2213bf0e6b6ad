// Program files: which loader a name calls for, and reading a file whole.
#pragma once

#include "loader/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vekos {

enum class ProgramKind { Elf, Flat, Script };

// .uelf and .vek are ELF images, .bin and .flat flat images, .shell scripts. Decided from the
// name the guest used, never from the host file it leads to.
std::optional<ProgramKind> program_kind(std::string_view name);

// The whole file if it is at most `max` bytes.
Result<std::vector<uint8_t>> read_host_file(const std::string &path, size_t max);

} // namespace vekos
