// Storing a file's whole content at once: the new content goes to a temporary file in the
// target's folder, which then replaces the target in one rename. Readers see the old content
// or the new, never a part; a failure at any point leaves the old file as it was.
#pragma once

#include "common/result.h"
#include "fs/root_fs.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vekos {

// Why `place` can't take a file's content: it is a folder, or something else that isn't a
// regular file; nullopt when it can.
std::optional<HostError> replace_refused(const RootPlace &place);

// Stores `bytes` as the whole content of the file at `place`; nullopt when done. With
// `unnamed_temp`, the temporary file is unnamed where the file system allows (see
// RootFsOptions), so that a writer killed meanwhile leaves nothing behind.
std::optional<HostError> replace_file(const RootPlace &place, std::span<const uint8_t> bytes,
                                      bool unnamed_temp);

// The same for a host file that vekos-emu writes (a profile, a tracefile), named by a host
// path; a link is followed and the file it leads to replaced. The temporary file is unnamed
// where the file system allows. nullopt when done, else why not in words.
std::optional<std::string> replace_host_file(const std::string &path, std::string_view text);

} // namespace vekos
