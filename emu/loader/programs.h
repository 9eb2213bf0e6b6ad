// Finding and loading programs by name, as the run request does: relative to the current
// folder, then in /bin; the extension chooses the loader.
#pragma once

#include "elf_image.h"
#include "root_fs.h"

#include <optional>
#include <string>
#include <string_view>

namespace vekos {

enum class ProgramKind { Elf, Flat, Script };

// .uelf and .vek are ELF images, .bin and .flat flat images, .shell scripts.
std::optional<ProgramKind> program_kind(std::string_view name);

// The host path of an existing regular file, or nullopt.
std::optional<std::string> find_program(const RootFs &fs, const std::string &cwd,
                                        std::string_view name);

// The whole file if it is at most `max` bytes; otherwise nullopt and the reason.
std::optional<std::vector<uint8_t>> read_host_file(const std::string &path, size_t max,
                                                   std::string *error);

} // namespace vekos
