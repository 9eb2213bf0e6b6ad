// The guest-calling harness's own speed: guest calls per second, as tests make them (under
// the time limit) and counting instructions (under an instruction limit, with a hook on
// every instruction), fresh guests per second (restoring the loaded image into the one
// engine), and, for comparison, guests per second when each is a new engine with the image
// loaded anew. Rates are per second of this
// process's CPU time, so that other work on the machine weighs less.
//
//   harness_bench            each part for about a second
//   harness_bench ROUNDS     each part ROUNDS times (for valgrind --tool=callgrind)
#include "guest.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>

namespace {

using vekos::harness::Guest;

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Runs `step` in batches of 16 until `rounds` ran (0: for about `seconds` of CPU time) and
// returns how many times per CPU second it ran.
double rate(double seconds, uint64_t rounds, const std::function<void()> &step) {
    double start = cpu_seconds(), elapsed = 0;
    uint64_t count = 0;
    do {
        for (int i = 0; i < 16; i++) step();
        count += 16;
        elapsed = cpu_seconds() - start;
    } while (rounds ? count < rounds : elapsed < seconds);
    return double(count) / elapsed;
}

} // namespace

int main(int argc, char **argv) {
    const uint64_t rounds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 0;
    const std::string image = VEKOS_TEST_IMAGE;
    Guest &guest = Guest::fresh(image);
    uint32_t text = guest.put_string("hello, vekos");

    double calls = rate(1.0, rounds, [&] { guest.call("strlen", {text}); });
    double fresh = rate(1.0, rounds, [&] {
        Guest &g = Guest::fresh(image);
        g.call("strlen", {g.put_string("hello")});
    });
    // Its own engine: once it has counted, an engine keeps its counting hook.
    Guest counting(image);
    counting.set_instruction_limit(50'000'000);
    uint32_t counting_text = counting.put_string("hello, vekos");
    double calls_counting = rate(1.0, rounds, [&] { counting.call("strlen", {counting_text}); });
    double engines = rate(1.0, rounds ? 16 : 0, [&] {
        Guest g(image);
        g.call("strlen", {g.put_string("hello")});
    });

    std::printf("guest calls (strlen of 12 bytes):        %9.0f per second\n", calls);
    std::printf("guest calls counting instructions:       %9.0f per second\n", calls_counting);
    std::printf("fresh guests (restore, then one call):   %9.0f per second\n", fresh);
    std::printf("new engine per guest (load, one call):   %9.0f per second\n", engines);
    std::printf("restoring is %.0f times faster than a new engine\n", fresh / engines);
    return 0;
}
