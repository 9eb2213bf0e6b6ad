#include "temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string make_temp_folder(const char *prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder " + pattern);
    return pattern;
}

TempRoot::TempRoot() : path_(make_temp_folder("vekos-test-root-")) {}

TempRoot::~TempRoot() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempRoot::host(std::string_view guest_path) const {
    while (!guest_path.empty() && guest_path[0] == '/') guest_path.remove_prefix(1);
    return path_ + "/" + std::string(guest_path);
}

void TempRoot::write_file(std::string_view guest_path, std::string_view content) const {
    std::filesystem::path file = host(guest_path);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(content.data(), std::streamsize(content.size()));
}

std::optional<std::string> TempRoot::read_file(std::string_view guest_path) const {
    std::ifstream in(host(guest_path), std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
