// The outcome of something that may fail for a reason worth telling: a value, or why not.
// The reason is a text for what the user named ("no such program", "segment 1 overlaps
// segment 0") or, for host calls made on the guest's behalf, the host's errno (HostError),
// which --trace puts into words. Running out of host memory is an exception instead.
#pragma once

#include <cerrno>
#include <concepts>
#include <string>
#include <utility>
#include <variant>

namespace vekos {

struct Failure {
    std::string reason;
};

// Why a host call failed: its errno value.
struct HostError {
    int code = 0;
};
// What the host call that just failed left in errno.
inline HostError last_host_error() {
    return {errno};
}

template <typename T, typename E = Failure> class Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    explicit operator bool() const { return state_.index() == 0; }
    T &operator*() & { return std::get<0>(state_); }
    const T &operator*() const & { return std::get<0>(state_); }
    T &&operator*() && { return std::get<0>(std::move(state_)); }
    T *operator->() { return &std::get<0>(state_); }
    const T *operator->() const { return &std::get<0>(state_); }
    const E &failure() const { return std::get<1>(state_); }
    const std::string &error() const requires std::same_as<E, Failure> {
        return std::get<1>(state_).reason;
    }

  private:
    std::variant<T, E> state_;
};

} // namespace vekos
