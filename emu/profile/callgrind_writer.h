// Profiles in the callgrind format (callgrind_annotate, kcachegrind): instructions run per
// source line and function, call edges with their counts and inclusive instructions, and the
// host time the kernel spent in traps (event "Kns", at each `int 0x80`).
#pragma once

#include "profile/image_costs.h"

#include <string>
#include <vector>

namespace vekos::profile {

// `command` is the run's command line, for the header.
std::string format_callgrind(const std::vector<const ImageCosts *> &images,
                             const std::string &command);

} // namespace vekos::profile
