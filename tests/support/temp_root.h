// Temporary host folders for tests, made in one way: a vekos root, a harness guest's root, a
// folder of files for a program to read.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// A fresh, empty folder under the host's temporary folder, named `prefix` and six random
// characters; throws std::runtime_error when none can be made. The caller removes it.
std::string make_temp_folder(const char *prefix);

// A temporary host folder, removed with everything in it when the object goes. Paths in it are
// given from its top, as guest paths from the root ("/a/b" or "a/b").
class TempRoot {
  public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot &) = delete;
    TempRoot &operator=(const TempRoot &) = delete;
    const std::string &path() const { return path_; }
    std::string host(std::string_view guest_path) const;
    // Makes the folders on the way.
    void write_file(std::string_view guest_path, std::string_view content) const;
    std::optional<std::string> read_file(std::string_view guest_path) const;

  private:
    std::string path_;
};
