// Host calls that a signal may interrupt (EINTR) are made again, as often as it takes.
#pragma once

#include <cerrno>

namespace vekos {

// Calls `call` until it returns something other than a negative value with errno EINTR, and
// returns that. Safe in a signal handler when `call` is.
template <typename Call> auto retry_on_eintr(Call &&call) {
    decltype(call()) result;
    do result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

} // namespace vekos
