// The target description the stub gives gdb: i386 core registers with the x87 ones, laid
// out as gdb's own 32bit-core feature, so stock gdb accepts it as i386.
#pragma once

#include <string_view>

namespace vekos::debug {

std::string_view i386_target_xml();

} // namespace vekos::debug
