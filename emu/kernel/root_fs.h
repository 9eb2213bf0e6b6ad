// The guest's file system: a host folder seen as "/". Guest paths are resolved lexically
// against the guest's current folder, then checked on the host so that no path, ".." or
// symbolic link ever leads outside the root folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vekos {

class RootFs {
  public:
    // Fails (returns nullopt) when `host_root` is not an existing folder.
    static std::optional<RootFs> open(const std::string &host_root);

    // The absolute, normalised guest path: "." and empty parts dropped, ".." at "/" stays.
    static std::string normalize(std::string_view cwd, std::string_view path);

    enum class Final { Follow, NoFollow };
    // The host path for a guest path, or nullopt when it would leave the root. With
    // NoFollow, a symbolic link as the last component names the link itself (for unlink,
    // rmdir, mkdir); otherwise it must resolve inside the root. A missing last component
    // is fine as long as its folder exists inside the root.
    std::optional<std::string> resolve(std::string_view cwd, std::string_view path,
                                       Final final = Final::Follow) const;

    // True when the guest path names a folder inside the root.
    bool is_folder(std::string_view path) const;

    const std::string &host_root() const { return root_; }

  private:
    explicit RootFs(std::string real_root) : root_(std::move(real_root)) {}
    bool contains(const std::string &real) const;

    std::string root_; // real path, no trailing slash (except "/" itself)
};

} // namespace vekos
