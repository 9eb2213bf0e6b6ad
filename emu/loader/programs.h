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

// The one list of program file extensions, in the order messages name them.
struct ProgramExtension {
    std::string_view extension;
    ProgramKind kind;
};
inline constexpr ProgramExtension kProgramExtensions[] = {{".uelf", ProgramKind::Elf},
                                                          {".vek", ProgramKind::Elf},
                                                          {".bin", ProgramKind::Flat},
                                                          {".flat", ProgramKind::Flat},
                                                          {".shell", ProgramKind::Script}};

// The kind its extension gives a program. Decided from the name the guest used, never from
// the host file it leads to.
std::optional<ProgramKind> program_kind(std::string_view name);

// A program given as a host file (vekos-emu's PROGRAM with a slash): a script by its
// extension, else an ELF image by its content whatever its name (the loader then says what
// is wrong with one that isn't a vekos image), else what its extension gives.
std::optional<ProgramKind> host_program_kind(std::string_view name,
                                             const std::vector<uint8_t> &content);

// The reason a name is refused: "not a program (expected .uelf, .vek, .bin, .flat or
// .shell)"; for images_only, the same without scripts' extension.
std::string not_a_program(bool images_only = false);
// The kinds as the usage text names them: ".uelf .vek .bin .flat, or a .shell script".
std::string program_kinds_summary();

// The whole file if it is a regular file of at most `max` bytes; the open never waits (a
// FIFO fails instead). read_host_file takes a host path as the user gave it, links followed;
// read_file_at a name in a folder descriptor, which must not be a link.
Result<std::vector<uint8_t>> read_host_file(const std::string &path, size_t max);
Result<std::vector<uint8_t>> read_file_at(int folder, const std::string &name, size_t max);

} // namespace vekos
