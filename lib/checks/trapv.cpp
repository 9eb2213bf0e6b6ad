// -ftrapv: the compiler hands each signed addition, subtraction, multiplication and
// negation (and abs) to these functions, which libgcc also has; there an overflow calls
// abort unexplained. Here it is reported with its operands and the backtrace of the
// operation, and ends the program.
#include "checks/report.h"

using namespace vekos::checks;

namespace {

const char *const kInt = "'int'", *const kLongLong = "'long long int'";

template <typename T>
[[noreturn]] void overflowed(T left, const char *op, T right, const char *type, const void *from) {
    Report report("-ftrapv");
    report.text("signed integer overflow: ")
        .number(left)
        .text(" ")
        .text(op)
        .text(" ")
        .number(right);
    report.text(" cannot be represented in type ").text(type).end(from);
}

template <typename T>
[[noreturn]] void negation_overflowed(T value, const char *type, const void *from) {
    Report report("-ftrapv");
    report.text("negation of ").number(value).text(" cannot be represented in type ").text(type);
    report.end(from);
}

} // namespace

#define CALLER __builtin_return_address(0)

extern "C" {

int __addvsi3(int a, int b) {
    int sum;
    if (__builtin_add_overflow(a, b, &sum)) overflowed(a, "+", b, kInt, CALLER);
    return sum;
}

int __subvsi3(int a, int b) {
    int difference;
    if (__builtin_sub_overflow(a, b, &difference)) overflowed(a, "-", b, kInt, CALLER);
    return difference;
}

int __mulvsi3(int a, int b) {
    int product;
    if (__builtin_mul_overflow(a, b, &product)) overflowed(a, "*", b, kInt, CALLER);
    return product;
}

int __negvsi2(int a) {
    if (a == -__INT_MAX__ - 1) negation_overflowed(a, kInt, CALLER);
    return -a;
}

int __absvsi2(int a) {
    if (a == -__INT_MAX__ - 1) negation_overflowed(a, kInt, CALLER);
    return a < 0 ? -a : a;
}

long long __addvdi3(long long a, long long b) {
    long long sum;
    if (__builtin_add_overflow(a, b, &sum)) overflowed(a, "+", b, kLongLong, CALLER);
    return sum;
}

long long __subvdi3(long long a, long long b) {
    long long difference;
    if (__builtin_sub_overflow(a, b, &difference)) overflowed(a, "-", b, kLongLong, CALLER);
    return difference;
}

long long __mulvdi3(long long a, long long b) {
    long long product;
    if (__builtin_mul_overflow(a, b, &product)) overflowed(a, "*", b, kLongLong, CALLER);
    return product;
}

long long __negvdi2(long long a) {
    if (a == -__LONG_LONG_MAX__ - 1) negation_overflowed(a, kLongLong, CALLER);
    return -a;
}

long long __absvdi2(long long a) {
    if (a == -__LONG_LONG_MAX__ - 1) negation_overflowed(a, kLongLong, CALLER);
    return a < 0 ? -a : a;
}

} // extern "C"
