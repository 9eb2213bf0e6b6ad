// Reads an ELF32 image on the host for layout checks: headers, sections and symbols.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class ElfFile {
  public:
    explicit ElfFile(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) throw std::runtime_error("cannot open " + path);
        bytes_.assign(std::istreambuf_iterator<char>(in), {});
        if (bytes_.size() < sizeof(Elf32_Ehdr)) throw std::runtime_error(path + ": too short");
        std::memcpy(&header_, bytes_.data(), sizeof header_);
    }

    const Elf32_Ehdr &header() const { return header_; }

    std::vector<Elf32_Phdr> segments() const {
        return table<Elf32_Phdr>(header_.e_phoff, header_.e_phnum);
    }

    std::vector<Elf32_Shdr> sections() const {
        return table<Elf32_Shdr>(header_.e_shoff, header_.e_shnum);
    }

    std::string section_name(const Elf32_Shdr &section) const {
        const Elf32_Shdr names = sections().at(header_.e_shstrndx);
        return c_string(names.sh_offset + section.sh_name);
    }

    std::optional<Elf32_Shdr> section(const std::string &name) const {
        for (const Elf32_Shdr &s : sections())
            if (section_name(s) == name) return s;
        return std::nullopt;
    }

    std::vector<uint8_t> contents(const Elf32_Shdr &section) const {
        auto begin = bytes_.begin() + section.sh_offset;
        return {begin, begin + section.sh_size};
    }

    std::optional<Elf32_Sym> symbol(const std::string &name) const {
        std::optional<Elf32_Shdr> symtab = section(".symtab");
        if (!symtab) return std::nullopt;
        const Elf32_Shdr strtab = sections().at(symtab->sh_link);
        for (const Elf32_Sym &sym :
             table<Elf32_Sym>(symtab->sh_offset, symtab->sh_size / sizeof(Elf32_Sym)))
            if (c_string(strtab.sh_offset + sym.st_name) == name) return sym;
        return std::nullopt;
    }

  private:
    template <typename T> std::vector<T> table(uint32_t offset, uint32_t count) const {
        if (offset + uint64_t(count) * sizeof(T) > bytes_.size())
            throw std::runtime_error("table outside the file");
        std::vector<T> entries(count);
        std::memcpy(entries.data(), bytes_.data() + offset, count * sizeof(T));
        return entries;
    }

    std::string c_string(uint32_t offset) const {
        return std::string(reinterpret_cast<const char *>(bytes_.data()) + offset);
    }

    std::vector<uint8_t> bytes_;
    Elf32_Ehdr header_{};
};
