// -fstack-protector: the canary protected functions keep between their locals and their
// return address, and the end of a function that finds it overwritten.
//
// The canary is fixed: nothing runs before main that could choose it at random, and main
// itself may be protected. Its bytes in memory are 00 0d 0a ff, which string functions stop
// at or cannot copy (a NUL, a carriage return, a newline): it catches overruns by mistake,
// not an attacker who knows it.
#include "checks/report.h"

using namespace vekos::checks;

extern "C" {

uintptr_t __stack_chk_guard = 0xff0a0d00u;

[[noreturn]] void __stack_chk_fail(void) {
    Report("-fstack-protector").text("stack smashing detected").end(__builtin_return_address(0));
}

} // extern "C"
