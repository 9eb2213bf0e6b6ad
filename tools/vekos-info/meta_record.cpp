#include "meta_record.h"

#include <algorithm>

namespace vekos_info {

namespace {

constexpr std::uint32_t format_version = 1;
constexpr std::size_t header_size = 8; // magic and version

Record damaged(std::string why) {
    return Record{{}, std::move(why)};
}

} // namespace

const RecordKind &command_record() {
    static const RecordKind kind{".vekos.cmdmeta", "VCMD", {"summary", "usage"}};
    return kind;
}

const RecordKind &package_record() {
    static const RecordKind kind{".vekos.pkgmeta", "VPKG", {"package", "version"}};
    return kind;
}

Record read_record(const RecordKind &kind, std::span<const std::uint8_t> bytes) {
    if (bytes.size() < header_size) {
        return damaged(std::to_string(bytes.size()) + " bytes, too short for magic and version");
    }
    std::string_view magic(reinterpret_cast<const char *>(bytes.data()), 4);
    if (magic != kind.magic) {
        return damaged("magic '" + printable(magic) + "', expected '" + std::string(kind.magic) +
                       "'");
    }
    std::uint32_t version =
        bytes[4] | bytes[5] << 8 | bytes[6] << 16 | static_cast<std::uint32_t>(bytes[7]) << 24;
    if (version != format_version) {
        return damaged("format version " + std::to_string(version) + ", expected 1");
    }
    Record record;
    auto at = bytes.begin() + header_size;
    for (std::string_view field : kind.fields) {
        auto end = std::find(at, bytes.end(), 0);
        if (end == bytes.end()) {
            return damaged("the " + std::string(field) + " runs past the section's end");
        }
        record.strings.emplace_back(at, end);
        at = end + 1;
    }
    if (at == bytes.end() || *at != 0) {
        return damaged("no empty string ends the record");
    }
    if (auto extra = bytes.end() - (at + 1); extra > 0) {
        return damaged(std::to_string(extra) + " bytes follow the record in its section");
    }
    return record;
}

} // namespace vekos_info
