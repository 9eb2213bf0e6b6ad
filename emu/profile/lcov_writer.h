// Line and function coverage as lcov tracefiles: built from an image's costs, merged with the
// tracefile already there (under a lock, so that concurrent runs add up), written back.
#pragma once

#include "common/result.h"
#include "profile/image_costs.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace vekos::profile {

struct FunctionCoverage {
    int line = 0;
    uint64_t count = 0;
};

struct FileCoverage {
    std::map<int, uint64_t> lines;
    std::map<std::string, FunctionCoverage> functions;
};

// By source file (SF).
using Coverage = std::map<std::string, FileCoverage>;

// Each line's count is that of its most executed line table row: a loop's line counts the
// tests of its condition, not those plus its start. A function's count is that of its entry.
// Functions without lines (a program built without -g, beside the library's lines) give
// their counts under the image's own name; how many they are.
size_t add_coverage(Coverage &coverage, const ImageCosts &costs);
// Sums counts of the same file and line (and function).
void merge(Coverage &into, const Coverage &from);

std::string format_lcov(const Coverage &coverage, std::string_view test_name);
// Tracefile records; other records and malformed lines are skipped.
Coverage parse_lcov(std::string_view text);

// Writes `coverage` to `path`, merged with what it holds; in a folder, to a file of its own
// ("vekos-PID.info"). The file is locked while it is read and rewritten.
Result<std::string> save_lcov(const std::string &path, const Coverage &coverage,
                              std::string_view test_name);

} // namespace vekos::profile
