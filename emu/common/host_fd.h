// The owner of a host file descriptor: closes it when it goes. Move-only.
#pragma once

#include <unistd.h>

#include <utility>

namespace vekos {

class HostFd {
  public:
    HostFd() = default;
    explicit HostFd(int fd) : fd_(fd) {}
    HostFd(HostFd &&other) noexcept : fd_(other.release()) {}
    HostFd &operator=(HostFd &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    HostFd(const HostFd &) = delete;
    HostFd &operator=(const HostFd &) = delete;
    ~HostFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

} // namespace vekos
