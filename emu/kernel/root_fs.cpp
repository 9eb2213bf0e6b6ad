#include "kernel/root_fs.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace vekos {
namespace {

std::optional<std::string> real_path(const std::string &path) {
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer) == nullptr) return std::nullopt;
    return std::string(buffer);
}

} // namespace

std::optional<RootFs> RootFs::open(const std::string &host_root) {
    auto real = real_path(host_root);
    struct stat st;
    if (!real || stat(real->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return RootFs(*real);
}

std::string RootFs::normalize(std::string_view cwd, std::string_view path) {
    std::vector<std::string_view> parts;
    auto add = [&parts](std::string_view text) {
        while (!text.empty()) {
            size_t slash = text.find('/');
            std::string_view part = text.substr(0, slash);
            text = slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                if (!parts.empty()) parts.pop_back(); // ".." at "/" stays at "/"
                continue;
            }
            parts.push_back(part);
        }
    };
    if (path.empty() || path[0] != '/') add(cwd);
    add(path);
    std::string out;
    for (std::string_view part : parts) out.append("/").append(part);
    return out.empty() ? "/" : out;
}

bool RootFs::contains(const std::string &real) const {
    if (root_ == "/") return true;
    return real.compare(0, root_.size(), root_) == 0 &&
           (real.size() == root_.size() || real[root_.size()] == '/');
}

std::optional<std::string> RootFs::resolve(std::string_view cwd, std::string_view path,
                                           Final final) const {
    if (path.empty()) return std::nullopt;
    std::string guest = normalize(cwd, path);
    std::string host = (root_ == "/" ? "" : root_) + guest;
    if (guest == "/") return root_;
    struct stat st;
    bool exists = lstat(host.c_str(), &st) == 0;
    bool follow = final == Final::Follow || (exists && !S_ISLNK(st.st_mode));
    if (exists && follow) {
        // Resolves every link on the way, the last one included.
        auto real = real_path(host);
        if (!real || !contains(*real)) return std::nullopt;
        return real;
    }
    if (!exists && final == Final::Follow && errno != ENOENT) return std::nullopt;
    // The last component is missing, or is a link we must not follow: check its folder.
    size_t slash = host.rfind('/');
    std::string name = host.substr(slash + 1);
    auto folder = real_path(host.substr(0, slash).empty() ? "/" : host.substr(0, slash));
    if (!folder || !contains(*folder)) return std::nullopt;
    return (*folder == "/" ? "" : *folder) + "/" + name;
}

bool RootFs::is_folder(std::string_view path) const {
    auto host = resolve("/", path);
    struct stat st;
    return host && stat(host->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace vekos
