// The guest-calling harness's own speed: guest calls per second, fresh guests per second
// (restoring the loaded image into the one engine), and, for comparison, guests per second
// when each is a new engine with the image loaded anew.
#include "guest.h"

#include <chrono>
#include <cstdio>
#include <functional>

namespace {

using vekos::harness::Guest;
using Clock = std::chrono::steady_clock;

// Runs `step` repeatedly for about `seconds` and returns how many times per second it ran.
double rate(double seconds, const std::function<void()> &step) {
    auto start = Clock::now();
    uint64_t count = 0;
    std::chrono::duration<double> elapsed{};
    do {
        for (int i = 0; i < 16; i++) step();
        count += 16;
        elapsed = Clock::now() - start;
    } while (elapsed.count() < seconds);
    return double(count) / elapsed.count();
}

} // namespace

int main() {
    const std::string image = VEKOS_TEST_IMAGE;
    Guest &guest = Guest::fresh(image);
    uint32_t text = guest.put_string("hello, vekos");

    double calls = rate(1.0, [&] { guest.call("strlen", {text}); });
    double fresh = rate(1.0, [&] {
        Guest &g = Guest::fresh(image);
        g.call("strlen", {g.put_string("hello")});
    });
    double engines = rate(1.0, [&] {
        Guest g(image);
        g.call("strlen", {g.put_string("hello")});
    });

    std::printf("guest calls (strlen of 12 bytes):        %9.0f per second\n", calls);
    std::printf("fresh guests (restore, then one call):   %9.0f per second\n", fresh);
    std::printf("new engine per guest (load, one call):   %9.0f per second\n", engines);
    std::printf("restoring is %.0f times faster than a new engine\n", fresh / engines);
    return 0;
}
