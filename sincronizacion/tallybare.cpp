// tallybare: five worker processes add 1 to a counter in System V shared
// memory N times each, with no guard and a random pause between reading the
// counter and storing the new value.
//
// Run:   tallybare 300
// Watch: the total falls short of 5 x N. Two workers that read the same
//        value both store that value plus one, and one addition is lost.
//        The random generator is never seeded, so every worker draws the
//        same pauses, and so does every run. Like tallylock, it refuses to
//        start while another counter run holds the counter.
#include "counter.hpp"

#include <unistd.h>

#include <cstdlib>

namespace {

constexpr long long rand_max = 2147483647;  // glibc's RAND_MAX
constexpr long long max_delay_us = 100;

}  // namespace

void counter_setup() {}

bool counter_increment(int *shm) {
    const int total = static_cast<int>(static_cast<unsigned>(*shm) + 1U);
    // rand is never seeded, on purpose: the same pauses in every worker and
    // every run, as the opening comment says.
    // NOLINTNEXTLINE(cert-msc30-c,cert-msc50-cpp)
    const int r = rand();
    // 100 * r / 2147483647 microseconds, 0 to 100; the product needs 64 bits.
    usleep(static_cast<useconds_t>(max_delay_us * r / rand_max));
    *shm = total;
    return true;
}

void counter_teardown() {}
