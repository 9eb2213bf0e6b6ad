// Program files: which loader a name calls for, and reading a file whole.
#pragma once

#include "common/result.h"

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

// The whole file if it is a regular file of at most `max` bytes; the open never waits (a
// FIFO fails instead). read_host_file takes a host path as the user gave it, links followed;
// read_file_at a name in a folder descriptor, which must not be a link.
Result<std::vector<uint8_t>> read_host_file(const std::string &path, size_t max);
Result<std::vector<uint8_t>> read_file_at(int folder, const std::string &name, size_t max);

} // namespace vekos
