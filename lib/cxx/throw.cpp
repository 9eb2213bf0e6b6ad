// Where the C++ library's headers throw (std::__throw_length_error and the rest): without
// exceptions, each prints what would have been thrown and ends the program as abort does.
// Their checks under _GLIBCXX_ASSERTIONS end it the same way.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

[[noreturn]] void fail(const char *exception, const char *what) {
    fprintf(stderr, "std::%s: %s\n", exception, what);
    abort();
}

} // namespace

namespace std {

[[noreturn]] void __throw_bad_exception() {
    fail("bad_exception", "std::bad_exception");
}
[[noreturn]] void __throw_bad_alloc() {
    fail("bad_alloc", "out of memory");
}
[[noreturn]] void __throw_bad_array_new_length() {
    fail("bad_array_new_length", "array length out of range");
}
[[noreturn]] void __throw_bad_cast() {
    fail("bad_cast", "std::bad_cast");
}
[[noreturn]] void __throw_bad_typeid() {
    fail("bad_typeid", "std::bad_typeid");
}
[[noreturn]] void __throw_logic_error(const char *what) {
    fail("logic_error", what);
}
[[noreturn]] void __throw_domain_error(const char *what) {
    fail("domain_error", what);
}
[[noreturn]] void __throw_invalid_argument(const char *what) {
    fail("invalid_argument", what);
}
[[noreturn]] void __throw_length_error(const char *what) {
    fail("length_error", what);
}
[[noreturn]] void __throw_out_of_range(const char *what) {
    fail("out_of_range", what);
}
[[noreturn]] void __throw_runtime_error(const char *what) {
    fail("runtime_error", what);
}
[[noreturn]] void __throw_range_error(const char *what) {
    fail("range_error", what);
}
[[noreturn]] void __throw_overflow_error(const char *what) {
    fail("overflow_error", what);
}
[[noreturn]] void __throw_underflow_error(const char *what) {
    fail("underflow_error", what);
}
[[noreturn]] void __throw_ios_failure(const char *what) {
    fail("ios_base::failure", what);
}
[[noreturn]] void __throw_ios_failure(const char *what, int) {
    fail("ios_base::failure", what);
}
[[noreturn]] void __throw_system_error(int) {
    fail("system_error", "system error");
}
[[noreturn]] void __throw_future_error(int) {
    fail("future_error", "future error");
}
[[noreturn]] void __throw_bad_function_call() {
    fail("bad_function_call", "call of an empty std::function");
}

// The headers' formats use %s and %zu, which the library's printf has.
[[noreturn]] void __throw_out_of_range_fmt(const char *format, ...) {
    char what[256];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof what, format, args);
    va_end(args);
    fail("out_of_range", what);
}

// As a failed assert reports itself.
[[noreturn]] void __glibcxx_assert_fail(const char *file, int line, const char *function,
                                        const char *condition) noexcept {
    fprintf(stderr, "%s:%d: %s: assertion '%s' failed\n", file, line, function, condition);
    abort();
}

} // namespace std
