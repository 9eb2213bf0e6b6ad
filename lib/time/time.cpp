// vekos has no clock a program can read: both answers are ISO C's "not available".
#include <time.h>

extern "C" {

clock_t clock(void) {
    return -1;
}

time_t time(time_t *now) {
    if (now) *now = -1;
    return -1;
}

// In double, so that no difference of two 32-bit times can overflow.
double difftime(time_t end, time_t start) {
    return double(end) - double(start);
}

} // extern "C"
