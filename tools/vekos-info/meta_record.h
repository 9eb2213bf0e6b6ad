// The command and package records of vekos images: magic, format version, a fixed number
// of NUL-terminated strings, and an empty string that ends the record, which fills its
// section exactly.
#pragma once

#include "common/escape.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vekos_info {

struct RecordKind {
    std::string_view section;             // ".vekos.cmdmeta"
    std::string_view magic;               // "VCMD"
    std::vector<std::string_view> fields; // what each string is, in order
};

const RecordKind &command_record();
const RecordKind &package_record();

struct Record {
    std::vector<std::string> strings; // one per field, when the record is sound
    std::string damage;               // why it is not, or empty
};

// Reads a record from its section's bytes; never reads outside them.
Record read_record(const RecordKind &kind, std::span<const std::uint8_t> bytes);

// The text with control and non-ASCII bytes, and the backslash, shown as \xNN: safe to print
// on a terminal.
inline std::string printable(std::string_view text) {
    return vekos::escape_bytes(text, vekos::Escapes::Hex);
}

} // namespace vekos_info
