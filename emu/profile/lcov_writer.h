// Line and function coverage as lcov tracefiles: built from an image's costs, read back from
// tracefiles, merged, written out (profile/tracefile.h stores them).
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
// Sums counts of the same file and line (and function). A sum past the largest count is held
// there: true when one was.
bool merge(Coverage &into, const Coverage &from);

std::string format_lcov(const Coverage &coverage, std::string_view test_name);
// A tracefile's SF, DA, FN and FNDA records (lcov's other records are skipped), or why it is
// not one: "line 3: malformed DA record". Counts past the largest are held there and set
// `saturated`.
Result<Coverage> parse_lcov(std::string_view text, bool &saturated);

} // namespace vekos::profile
