// Profiles as folded stacks, one "prog;_start;main;parse 12345" line per distinct stack with
// the instructions run while it was on top, for flame-graph tools; and the summary of the
// most costly functions, exclusive and inclusive.
#pragma once

#include "profile/image_costs.h"

#include <cstddef>
#include <string>
#include <vector>

namespace vekos::profile {

std::string format_folded_stacks(const std::vector<const ImageCosts *> &images);

// The `top` functions by exclusive and by inclusive instructions (inclusive: while the function
// was on the stack, counted once however often it recurs), then each trap's host time.
std::string format_summary(const std::vector<const ImageCosts *> &images, size_t top = 10);

} // namespace vekos::profile
