// The outcome of loading something the guest named: a value, or the reason it can't be had
// ("no such program", "segment 1 overlaps segment 0"). Host failures are exceptions instead.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vekos {

struct Failure {
    std::string reason;
};

template <typename T> class Result {
  public:
    Result(T value) : state_(std::move(value)) {}
    Result(Failure failure) : state_(std::move(failure)) {}

    explicit operator bool() const { return state_.index() == 0; }
    T &operator*() { return std::get<T>(state_); }
    const T &operator*() const { return std::get<T>(state_); }
    T *operator->() { return &std::get<T>(state_); }
    const T *operator->() const { return &std::get<T>(state_); }
    const std::string &error() const { return std::get<Failure>(state_).reason; }

  private:
    std::variant<T, Failure> state_;
};

} // namespace vekos
