// The lcov tracefile that --coverage adds a run's counts to: read back whole (regular files of
// at most kMaxTracefileBytes, opened without waiting), merged with the run's coverage, and
// replaced whole by a new file renamed over it. A lock on the file itself keeps concurrent
// runs (ctest -j) merging one after another, so that their counts add up.
#pragma once

#include "common/result.h"
#include "profile/lcov_writer.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vekos::profile {

// The most a tracefile may hold: a larger one is refused, not read.
constexpr uint64_t kMaxTracefileBytes = uint64_t(64) << 20;
// How long a run waits for another's merge into the same tracefile.
constexpr std::chrono::seconds kTracefileLockWait{60};

// Where --coverage PATH writes: PATH, or in a folder a file of the run's own
// ("vekos-PID.info").
std::string tracefile_path(const std::string &path);

// Why --coverage PATH could not take a run's counts: not a regular file (nor a folder),
// larger than kMaxTracefileBytes, or not a tracefile ("line 3: not an lcov record"). nullopt
// when it can, or isn't there yet. For refusing before the run: the merge checks again.
std::optional<std::string> tracefile_refused(const std::string &path);

struct Merged {
    bool saturated = false; // a count went past the largest and was held there
};
// Adds `coverage` to the tracefile at `file` (tracefile_path's). A failure leaves the file as
// it was (empty when it wasn't there: the lock needs one).
Result<Merged> save_lcov(const std::string &file, const Coverage &coverage,
                         std::string_view test_name);

} // namespace vekos::profile
