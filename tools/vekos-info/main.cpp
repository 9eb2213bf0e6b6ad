// vekos-info IMAGE...: shows the command and package records of vekos images and checks
// them. Exit status: 0 when every record found is sound, 1 when one is damaged or a file is
// not a readable image, 2 for a usage error.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "meta_record.h"

namespace {

using vekos_info::printable;
using vekos_info::RecordKind;

constexpr const char *usage = "usage: vekos-info IMAGE...\n"
                              "Shows and checks the command and package records of vekos images.\n";

// The bytes of the named section, empty optional when there is none; errors in `damage`.
std::optional<std::span<const std::uint8_t>> section_bytes(Elf *elf, std::string_view name,
                                                           std::string &damage) {
    std::size_t names_index;
    if (elf_getshdrstrndx(elf, &names_index) != 0) {
        damage = elf_errmsg(-1);
        return std::nullopt;
    }
    for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr header;
        if (!gelf_getshdr(scn, &header)) continue;
        const char *section_name = elf_strptr(elf, names_index, header.sh_name);
        if (!section_name || name != section_name) continue;
        if (header.sh_type == SHT_NOBITS) {
            damage = "its section holds no bytes in the file";
            return std::nullopt;
        }
        // libelf refuses a section that runs past the end of the file.
        Elf_Data *data = elf_getdata(scn, nullptr);
        if (!data) {
            damage = std::string("its section cannot be read: ") + elf_errmsg(-1);
            return std::nullopt;
        }
        return std::span(static_cast<const std::uint8_t *>(data->d_buf), data->d_size);
    }
    return std::nullopt;
}

// Prints one record of an image; false when it is damaged.
bool show_record(Elf *elf, const RecordKind &kind) {
    std::string damage;
    auto bytes = section_bytes(elf, kind.section, damage);
    if (!bytes) {
        if (damage.empty()) {
            std::printf("  %s: none\n", kind.section.data());
            return true;
        }
        std::printf("  %s: damaged: %s\n", kind.section.data(), damage.c_str());
        return false;
    }
    auto record = vekos_info::read_record(kind, *bytes);
    if (!record.damage.empty()) {
        std::printf("  %s: damaged: %s\n", kind.section.data(), record.damage.c_str());
        return false;
    }
    for (std::size_t i = 0; i < kind.fields.size(); i++) {
        std::printf("  %-8s %s\n", kind.fields[i].data(), printable(record.strings[i]).c_str());
    }
    return true;
}

// Why the section table cannot be trusted, or "" when it can: its headers must have the
// ELF32 size and lie inside the file, the section-name table must be a string table among
// them, and every section's name must lie inside it.
std::string section_table_damage(Elf *elf, off_t file_size) {
    GElf_Ehdr header;
    if (!gelf_getehdr(elf, &header))
        return std::string("its ELF header cannot be read: ") + elf_errmsg(-1);
    if (header.e_shoff == 0 && header.e_shnum == 0) return ""; // no section table at all
    if (header.e_shentsize != sizeof(Elf32_Shdr))
        return "e_shentsize is " + std::to_string(header.e_shentsize) + ", expected " +
               std::to_string(sizeof(Elf32_Shdr));
    // libelf counts no sections in a table it cannot read whole: judge it by e_shnum first.
    // An e_shnum of 0 means the count is section 0's sh_size, so section 0 must be there.
    auto inside = [&](std::uint64_t sections) {
        return header.e_shoff + sections * sizeof(Elf32_Shdr) <=
               static_cast<std::uint64_t>(file_size);
    };
    if (!inside(std::max<std::uint64_t>(header.e_shnum, 1)))
        return "its section headers lie past the end of the file";
    std::size_t count = header.e_shnum, names;
    if (count == 0 && (elf_getshdrnum(elf, &count) != 0 || count == 0))
        return "e_shnum is 0 and section 0 gives no section count";
    if (!inside(count)) return "its section headers lie past the end of the file";
    std::string index_source =
        header.e_shstrndx == SHN_XINDEX ? " (SHN_XINDEX: section 0's sh_link)" : "";
    if (elf_getshdrstrndx(elf, &names) != 0)
        return "the section-name table index" + index_source + " cannot be read: " + elf_errmsg(-1);
    if (names == 0 || names >= count)
        return "the section-name table index" + index_source + " is " + std::to_string(names) +
               ", not one of sections 1 to " + std::to_string(count - 1);
    GElf_Shdr names_header;
    if (!gelf_getshdr(elf_getscn(elf, names), &names_header) || names_header.sh_type != SHT_STRTAB)
        return "the section-name table, section " + std::to_string(names) +
               ", is not a string table";
    for (Elf_Scn *scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr section;
        if (!gelf_getshdr(scn, &section)) return std::string(elf_errmsg(-1));
        if (!elf_strptr(elf, names, section.sh_name))
            return "the name of section " + std::to_string(elf_ndxscn(scn)) + " (at " +
                   std::to_string(section.sh_name) + ") lies outside the section-name table of " +
                   std::to_string(names_header.sh_size) + " bytes";
    }
    return "";
}

bool show_image(const char *path) {
    std::printf("%s\n", printable(path).c_str());
    // Without O_NONBLOCK a FIFO would wait for a writer; only a regular file is read.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf("  cannot open: %s\n", std::strerror(errno));
        return false;
    }
    struct stat file;
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        std::printf("  not a regular file\n");
        close(fd);
        return false;
    }
    bool sound = false;
    Elf *elf = elf_begin(fd, ELF_C_READ, nullptr);
    if (!elf || elf_kind(elf) != ELF_K_ELF || gelf_getclass(elf) != ELFCLASS32) {
        std::printf("  not a vekos image (ELF32)\n");
    } else if (std::string damage = section_table_damage(elf, file.st_size); !damage.empty()) {
        std::printf("  damaged: %s\n", damage.c_str());
    } else {
        bool command = show_record(elf, vekos_info::command_record());
        bool package = show_record(elf, vekos_info::package_record());
        sound = command && package;
    }
    elf_end(elf);
    close(fd);
    return sound;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::string_view first = argv[1];
    if (first == "--help") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (first == "--version") {
        std::printf("vekos-info %s\n", VEKOS_VERSION);
        return 0;
    }
    elf_version(EV_CURRENT);
    bool sound = true;
    for (int i = 1; i < argc; i++) sound = show_image(argv[i]) && sound;
    return sound ? 0 : 1;
}
