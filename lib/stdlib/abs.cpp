#include <stdlib.h>

namespace {

// Negated in unsigned arithmetic: the most negative value comes back unchanged.
int absolute(int x) {
    return x < 0 ? static_cast<int>(0u - static_cast<unsigned>(x)) : x;
}

} // namespace

extern "C" {

int abs(int x) {
    return absolute(x);
}

long labs(long x) {
    return absolute(static_cast<int>(x));
}

} // extern "C"
