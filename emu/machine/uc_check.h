// Unicorn calls that must succeed: their failures are the host's (memory, mappings), never the
// guest's, so they are exceptions.
#pragma once

#include <unicorn/unicorn.h>

#include <stdexcept>
#include <string>

namespace vekos {

inline void check(uc_err err, const char *what) {
    if (err != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
}

} // namespace vekos
