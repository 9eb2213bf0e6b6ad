#include "kernel/limit_values.h"

#include "kernel/process.h"

namespace vekos {

bool valid_instruction_limit(uint64_t count) {
    return count > 0 && count <= 9'999'999'999'999'999'999ull;
}

bool valid_timeout(double seconds) {
    return seconds > 0 && seconds <= 366 * 86400.0;
}

bool valid_stack_size(uint64_t bytes) {
    return bytes % kPageSize == 0 && bytes >= kMinStackSize && bytes <= kMaxStackSize;
}

bool valid_memory_limit(uint64_t bytes) {
    return bytes > 0 && bytes % kPageSize == 0 && bytes <= 9'999'999'999ull << 30;
}

} // namespace vekos
